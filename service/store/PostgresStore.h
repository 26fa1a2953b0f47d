// The service's store in a PostgreSQL database, which several instances of
// the service may share.
//
// Opening it brings the database to the current schema: numbered steps,
// each in one transaction with the version it reaches (table
// pinmark_schema), all under a session advisory lock (MigrationLock) so
// that instances starting together migrate once and the others find the
// work done. A database of a newer schema, or one that holds tables of
// another program, is refused and left as it is.
//
// Every call is one transaction on a connection of a small pool
// (TPostgresPool): a check-in is committed when RecordCheckIn (or
// RecordCheckInAs) returns. A server that cannot be reached, restarts or
// kills the connection raises EStoreUnavailable with nothing half written;
// the pool makes a new connection on a later call, waiting longer after
// each failed attempt.
// Every call may wait on the network: on a thread in a TNoWaitScope each
// raises EWouldWait before it does anything, so that the work is done on a
// thread that may wait. There is no commit group; repeated check-ins may
// instead go through the store's TPostgresCheckInPipe, those of a turn of
// the caller's loop in one transaction (EndGroup ends the turn).
//
// Instances on one database also share the web page's sessions, the
// failed sign-in counts (one TPostgresFailureCounts per kind, owned here)
// and the key remembered verifications are keyed with.
//
// Names compare without ASCII case through unique indexes on lower(name)
// (columns in the "C" collation, so lower() touches ASCII only).
#pragma once

#include <map>
#include <memory>
#include <mutex>
#include <string>

#include "service/model/ServiceStore.h"
#include "service/store/PostgresCheckInPipe.h"
#include "service/store/PostgresConnection.h"
#include "service/store/PostgresFailureCounts.h"
#include "service/store/PostgresSessions.h"

class TPostgresStore : public IServiceStore {
 public:
  // pg_advisory_lock's key while migrating: "Pmrk".
  static constexpr std::int64_t MigrationLock = 0x506d726b;
  static constexpr std::size_t Connections = 6;

  // Connects to uri and migrates the database; raises EStoreUnavailable when
  // the server cannot be reached, EStoreError when the database is refused.
  explicit TPostgresStore(const std::string& uri, std::size_t connections = Connections);
  ~TPostgresStore() override;

  // Whether db names a PostgreSQL database (a postgresql:// or postgres:// URI).
  static bool IsUri(const std::string& db);
  // The schema version this build writes.
  static int SchemaVersion();
  // Shared with the DNS queue's store (and whatever else keeps its tables here).
  TPostgresPool& Pool() { return pool_; }
  bool EveryCallWaits() const override { return true; }

  std::optional<TAccountRecord> FindAccount(std::string_view name) override;
  bool AddAccount(std::string_view name, std::string_view passwordHash, TServiceTime now) override;
  bool SetPasswordHash(std::string_view name, std::string_view passwordHash) override;
  bool RemoveAccount(std::string_view name) override;
  std::vector<TAccountRecord> Accounts() override;
  TCheckInRecord RecordCheckIn(std::int64_t accountId, std::string_view node, std::string_view address,
                               TServiceTime now, std::size_t maxNodes) override;
  // The account read and a repeated check-in in one statement; a new node
  // or address then costs what it costs in RecordCheckIn.
  TCheckInAs RecordCheckInAs(const TAccountRecord& expected, std::string_view node, std::string_view address,
                             TServiceTime now, std::size_t maxNodes) override;
  // Repeated check-ins of the moment in one transaction, on a connection of its own.
  ICheckInPipe* CheckInPipe() override { return &pipe_; }
  // The end of the caller's turn: the pipe's check-ins go.
  void EndGroup() override { pipe_.Flush(); }
  // RecordCheckInAs's one statement: the account read and, when it is the
  // one expected and the node checks in from the address it had, the
  // check-in recorded. Its parameters, and what its result says: Record
  // empty when nothing was recorded.
  static const std::string& RepeatCheckInAs();
  static TPostgresParams RepeatCheckInAsParams(const TAccountRecord& expected, std::string_view node,
                                               std::string_view address, TServiceTime now);
  static TCheckInAs ReadRepeatCheckInAs(const TPostgresResult& r, const TAccountRecord& expected,
                                        std::string_view address, TServiceTime now);
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
  bool SetNodeKey(std::int64_t accountId, std::string_view node, std::string_view keyHash, TServiceTime now) override;
  bool RemoveNodeKey(std::int64_t accountId, std::string_view node) override;
  std::optional<TNodeKeyRecord> FindNodeKey(std::int64_t accountId, std::string_view node) override;
  std::vector<TNodeKeyRecord> NodeKeys(std::int64_t accountId) override;
  bool SetKeysOnly(std::string_view name, bool keysOnly) override;
  TNodeCounts CountNodes(TServiceTime staleBefore) override;
  // Locks the delivery it takes with FOR UPDATE SKIP LOCKED, so that
  // instances claiming at once take different ones.
  std::optional<TDeliveryRecord> ClaimDelivery(TServiceTime now, TServiceTime leaseEnd) override;
  // Under a session advisory lock of the task's name (PostgresRunAlone).
  bool RunAlone(std::string_view task, const std::function<void()>& work) override;
  // Shared by every instance on the database.
  std::string VerificationKey(std::string_view candidate) override;
  ISessionStore* SharedSessions() override;
  IFailureCounts* SharedFailureCounts(std::string_view kind, const TFailureRule& rule) override;

 private:
  void Migrate(TPostgresConnection& c);
  // A check-in that is not a repeated one (a new node or a new address), in a transaction of its own on c.
  TCheckInRecord RecordChange(TPostgresConnection& c, std::int64_t accountId, std::string_view node,
                              std::string_view address, TServiceTime now, std::size_t maxNodes);
  // A connection for one call: EWouldWait first on a thread that must not wait.
  TPostgresPool::TLease Take();

  TPostgresPool pool_;
  TPostgresSessions sessions_;
  TPostgresCheckInPipe pipe_;
  std::mutex failureLock_;
  // One per kind, made by its first caller with its rule.
  std::map<std::string, std::unique_ptr<TPostgresFailureCounts>, std::less<>> failures_;
};
