// The service's store in memory: accounts given on the command line (the
// demo, the tests), and every node they check in until the service ends.
// Nothing is written anywhere, so nothing here ever raises
// EStoreUnavailable.
#pragma once

#include <map>
#include <mutex>

#include "service/model/ServiceStore.h"

class TMemoryStore : public IServiceStore {
 public:
  std::optional<TAccountRecord> FindAccount(std::string_view name) override;
  bool AddAccount(std::string_view name, std::string_view passwordHash, TServiceTime now) override;
  bool SetPasswordHash(std::string_view name, std::string_view passwordHash) override;
  bool RemoveAccount(std::string_view name) override;
  std::vector<TAccountRecord> Accounts() override;
  TCheckInRecord RecordCheckIn(std::int64_t accountId, std::string_view node, std::string_view address,
                               TServiceTime now, std::size_t maxNodes) override;
  std::vector<TNodeRecord> Nodes(std::int64_t accountId) override;
  bool SetNodeDns(std::int64_t nodeId, std::string_view publishedName, std::string_view dnsState) override;
  std::optional<TNodeRecord> FindNode(std::int64_t nodeId) override;
  bool RemoveNode(std::int64_t accountId, std::int64_t nodeId) override;
  bool SetWebhook(std::string_view account, std::string_view url, std::string_view secret) override;
  std::optional<TWebhookRecord> Webhook(std::int64_t accountId) override;
  bool AddDelivery(std::int64_t accountId, std::string_view event, std::string_view body, TServiceTime now,
                   std::int64_t staleNodeId = 0, TServiceTime staleCheckIn = 0) override;
  std::optional<TDeliveryRecord> NextDelivery() override;
  void DeliveryDone(std::int64_t deliveryId) override;
  void DeliveryFailed(std::int64_t deliveryId, TServiceTime due, std::string_view error, TServiceTime now,
                      bool pause) override;
  std::vector<TStaleNode> UntoldStaleNodes(TServiceTime before, std::size_t limit) override;
  std::string NodeKeySecret(std::string_view candidate) override;
  std::string VerificationKey(std::string_view candidate) override;
  bool SetNodeKey(std::int64_t accountId, std::string_view node, std::string_view keyHash, TServiceTime now) override;
  bool RemoveNodeKey(std::int64_t accountId, std::string_view node) override;
  std::optional<TNodeKeyRecord> FindNodeKey(std::int64_t accountId, std::string_view node) override;
  std::vector<TNodeKeyRecord> NodeKeys(std::int64_t accountId) override;
  bool SetKeysOnly(std::string_view name, bool keysOnly) override;
  TNodeCounts CountNodes(TServiceTime staleBefore) override;

 private:
  // Names as keys in ASCII lower case: they compare without regard to case.
  std::mutex lock_;
  std::int64_t lastId_ = 0;
  std::map<std::string, TAccountRecord, std::less<>> accounts_;
  // Per account id, its nodes by lower-case name; History newest first.
  std::map<std::int64_t, std::map<std::string, TNodeRecord, std::less<>>> nodes_;
  // Per account id its webhook; the deliveries waiting by id; per node id the check-in it was told stale at.
  std::map<std::int64_t, TWebhookRecord> webhooks_;
  std::map<std::int64_t, TDeliveryRecord> deliveries_;
  std::map<std::int64_t, TServiceTime> staleTold_;
  std::string keySecret_;
  std::string verificationKey_;
  // Per account id, its node keys by lower-case node name.
  std::map<std::int64_t, std::map<std::string, TNodeKeyRecord, std::less<>>> keys_;
};
