// The service's store in memory: accounts given on the command line (the
// demo, the tests), and every node they check in until the service ends.
// Nothing is written anywhere, so nothing here ever raises
// EStoreUnavailable.
#pragma once

#include <map>
#include <mutex>

#include "service/store/ServiceStore.h"

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
  TNodeCounts CountNodes(TServiceTime staleBefore) override;

 private:
  // Names as keys in ASCII lower case: they compare without regard to case.
  std::mutex lock_;
  std::int64_t lastId_ = 0;
  std::map<std::string, TAccountRecord, std::less<>> accounts_;
  // Per account id, its nodes by lower-case name; History newest first.
  std::map<std::int64_t, std::map<std::string, TNodeRecord, std::less<>>> nodes_;
};
