// The service's store in one SQLite file: accounts, nodes and their history.
//
// Opening a file checks it before anything is written: a file that is no
// SQLite database, one of another program, one that is damaged or one made
// by a newer version of the service is refused with EStoreCorrupt or
// EStoreError and left exactly as it was. A new or older file is brought to
// the current schema (user_version) by the migrations, each step in one
// transaction.
//
// The file is kept in WAL mode with synchronous=NORMAL: a committed check-in
// survives the process being killed at any moment; a power loss may lose the
// last moments before a checkpoint, never the file's consistency. A write
// waits up to BusyMilliseconds for another program's lock, then raises
// EStoreUnavailable; on a thread that must not wait, it raises EWouldWait
// at once. A file that could only be opened read-only is served
// for reading; writes raise EStoreUnavailable and retry opening it for
// writing at most every ReopenMilliseconds, so the store recovers once the
// file is writable again.
//
// The file is the one opened, not whatever is at its path later: before each
// write the path's device and inode are compared with those of the file
// opened. A file deleted or replaced under the store raises EStoreUnavailable
// for every write from then on (OnFileReplaced is told once), and is never
// opened anew: the check-ins it answers must not go into a deleted file, nor
// into a stranger's. A file the store makes is readable by its owner only
// (SQLite gives the -wal and -shm files the database's mode), whatever the
// umask.
//
// One connection, used under the store's lock. Check-ins that come in while
// others are being written are written together in one transaction (each in
// a savepoint of its own, so that one that fails takes back only itself);
// each caller still returns only once its own check-in is committed.
#pragma once

#include <sys/types.h>
#include <chrono>

#include <condition_variable>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "runtime/NoWaitScope.h"
#include "service/model/ServiceStore.h"
#include "service/store/SqliteCheckpointer.h"
#include "service/store/SqliteDatabase.h"

class TSqliteStore : public IServiceStore {
 public:
  static constexpr int BusyMilliseconds = 1000;
  static constexpr int ReopenMilliseconds = 5000;
  // "Pmrk": marks the file as this service's (PRAGMA application_id).
  static constexpr int ApplicationId = 0x506d726b;

  // Opens the file and migrates it; with create a missing file is made, else
  // it raises EStoreError.
  explicit TSqliteStore(const std::string& file, bool create = true);
  ~TSqliteStore() override;

  // The schema version this build writes.
  static int SchemaVersion();
  bool ReadOnly();
  // Raises EStoreUnavailable, saying why, when a write could not be made
  // now (the file read-only, deleted or replaced, not to be opened); writes nothing.
  void CheckWritable();

  std::optional<TAccountRecord> FindAccount(std::string_view name) override;
  bool AddAccount(std::string_view name, std::string_view passwordHash, TServiceTime now) override;
  bool SetPasswordHash(std::string_view name, std::string_view passwordHash) override;
  bool RemoveAccount(std::string_view name) override;
  std::vector<TAccountRecord> Accounts() override;
  TCheckInRecord RecordCheckIn(std::int64_t accountId, std::string_view node, std::string_view address,
                               TServiceTime now, std::size_t maxNodes) override;
  void EndGroup() override;
  // For a long-running service: checkpoints of the WAL are made on a thread
  // of their own (TSqliteCheckpointer), never in a commit.
  void CheckpointInBackground();
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

  // Called inside the transaction of a check-in that created a node or
  // changed its address, before it commits: whatever it writes through the
  // connection commits with the check-in or not at all (an exception from it
  // undoes the check-in). For a publisher that queues its work in this file.
  std::function<void(TSqliteDatabase&, const TCheckInRecord&)> InCheckInTransaction;

  // Told once, under the store's lock, when the file at the path is found to
  // be no longer the one opened; with the words to log.
  std::function<void(const std::string&)> OnFileReplaced;

  // Runs fn with the connection under the store's lock, for other tables
  // kept in the same file; with write, only on a connection that may write
  // (else EStoreUnavailable, as for the store's own writes).
  template <class F>
  auto WithDatabase(F&& fn, bool write = false) {
    std::lock_guard<std::mutex> guard(lock_);
    Ready(write);
    return fn(*db_);
  }

 private:
  struct TStatements;
  struct TPendingCheckIn;
  void RecordBatch(const std::vector<TPendingCheckIn*>& batch);
  // For a thread that must not wait: into the open commit group, begun
  // here when there is none (EWouldWait when another program holds the
  // database's write lock).
  TCheckInRecord RecordInGroup(TNoWaitScope& scope, const TPendingCheckIn& p);
  // Under lock_: commits the open group, if any, and ends it.
  void EndGroupLocked();
  TCheckInRecord RecordOne(const TPendingCheckIn& p);
  // Makes the file, empty, when it is absent; true when it did.
  bool MakeFile();
  void Open();
  // Raises EStoreUnavailable when the path no longer leads to the file opened.
  void CheckSameFile();
  void CheckFile();
  void Migrate();
  void Prepare();
  // Makes sure there is a connection (for a write, a writable one), opening
  // the file anew at most every ReopenMilliseconds; raises
  // EStoreUnavailable while there is none. Ends the open commit group
  // first (whatever comes next is not part of it), but for a read on a
  // thread that must not wait, which reads inside the group, opening it
  // when it can.
  void Ready(bool write);
  // Under lock_: begins the commit group; false when it cannot, or raises
  // why when raise.
  bool OpenGroup(bool raise);
  void Connected(bool write);
  // SQLite's busy handler: waits up to BusyMilliseconds, but not at all on a
  // thread that must not wait.
  static int WaitWhileBusy(void* unused, int count);

  std::string file_;
  std::mutex lock_;
  // Outlives every connection it watches.
  std::unique_ptr<TSqliteCheckpointer> checkpointer_;
  std::unique_ptr<TSqliteDatabase> db_;
  std::unique_ptr<TStatements> s_;
  std::chrono::steady_clock::time_point lastReopen_{};
  dev_t device_ = 0;
  ino_t inode_ = 0;
  bool replaced_ = false;
  // The open commit group: its check-ins are written, not yet committed.
  std::shared_ptr<TCommitGroup> group_;
  // Check-ins waiting to be written, and whether a caller is writing some.
  std::mutex queueLock_;
  std::condition_variable written_;
  std::vector<TPendingCheckIn*> queue_;
  bool writing_ = false;
};
