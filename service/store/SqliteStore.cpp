#include "service/store/SqliteStore.h"

#include <errno.h>
#include <fcntl.h>
#include <sqlite3.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <map>
#include <thread>

namespace {
// The schema, one step per version. A file at version N has had the steps up
// to N applied; a step is never changed once released, only new ones added.
struct TMigration {
  int version;
  const char* sql;
};
const TMigration kMigrations[] = {
    {1,
     "CREATE TABLE accounts("
     "  id INTEGER PRIMARY KEY,"
     "  name TEXT NOT NULL UNIQUE COLLATE NOCASE,"
     "  password_hash TEXT NOT NULL,"
     "  created INTEGER NOT NULL);"
     "CREATE TABLE nodes("
     "  id INTEGER PRIMARY KEY,"
     "  account_id INTEGER NOT NULL REFERENCES accounts(id) ON DELETE CASCADE,"
     "  name TEXT NOT NULL COLLATE NOCASE,"
     "  address TEXT NOT NULL,"
     "  first_check_in INTEGER NOT NULL,"
     "  last_check_in INTEGER NOT NULL,"
     "  check_ins INTEGER NOT NULL,"
     "  published_name TEXT NOT NULL DEFAULT '',"
     "  dns_state TEXT NOT NULL DEFAULT '',"
     "  UNIQUE(account_id, name));"
     "CREATE TABLE history("
     "  id INTEGER PRIMARY KEY,"
     "  node_id INTEGER NOT NULL REFERENCES nodes(id) ON DELETE CASCADE,"
     "  time INTEGER NOT NULL,"
     "  old_address TEXT NOT NULL,"
     "  new_address TEXT NOT NULL);"
     "CREATE INDEX history_by_node ON history(node_id, id);"},
    // The DNS update queue (TSqliteDnsQueueStore): one row per published
    // name and record type; due_ms is NULL when there is nothing to send.
    {2,
     "CREATE TABLE dns_queue("
     "  name TEXT NOT NULL,"
     "  type TEXT NOT NULL CHECK(type IN ('A', 'AAAA')),"
     "  address TEXT NOT NULL,"
     "  version INTEGER NOT NULL,"
     "  published_address TEXT NOT NULL,"
     "  state TEXT NOT NULL CHECK(state IN ('published', 'pending', 'failing')),"
     "  reason TEXT NOT NULL,"
     "  since_ms INTEGER NOT NULL,"
     "  attempts INTEGER NOT NULL,"
     "  due_ms INTEGER,"
     "  PRIMARY KEY(name, type)) WITHOUT ROWID;"
     "CREATE INDEX dns_queue_by_due ON dns_queue(due_ms) WHERE due_ms IS NOT NULL;"},
    // An address and last check-in per family. A node's one address goes to
    // its family, and so does each history entry (by its new address; an old
    // address of the other family was no change of this one's).
    {3,
     "ALTER TABLE nodes ADD COLUMN ipv4_address TEXT NOT NULL DEFAULT '';"
     "ALTER TABLE nodes ADD COLUMN ipv4_check_in INTEGER NOT NULL DEFAULT 0;"
     "ALTER TABLE nodes ADD COLUMN ipv6_address TEXT NOT NULL DEFAULT '';"
     "ALTER TABLE nodes ADD COLUMN ipv6_check_in INTEGER NOT NULL DEFAULT 0;"
     "UPDATE nodes SET ipv4_address = address, ipv4_check_in = last_check_in WHERE instr(address, ':') = 0;"
     "UPDATE nodes SET ipv6_address = address, ipv6_check_in = last_check_in WHERE instr(address, ':') > 0;"
     "ALTER TABLE history ADD COLUMN family INTEGER NOT NULL DEFAULT 4 CHECK(family IN (4, 6));"
     "UPDATE history SET family = 6 WHERE instr(new_address, ':') > 0;"
     "UPDATE history SET old_address = '' WHERE (instr(old_address, ':') > 0) != (family = 6);"
     "CREATE INDEX history_by_family ON history(node_id, family, id);"},
    // Node keys: per account and node name (a key may be made before its
    // node first checks in), only the key's keyed hash; the secret it is
    // keyed with, made on first use; and accounts whose password no longer
    // updates their nodes.
    {4,
     "ALTER TABLE accounts ADD COLUMN keys_only INTEGER NOT NULL DEFAULT 0;"
     "CREATE TABLE node_keys("
     "  account_id INTEGER NOT NULL REFERENCES accounts(id) ON DELETE CASCADE,"
     "  node TEXT NOT NULL COLLATE NOCASE,"
     "  key_hash TEXT NOT NULL,"
     "  made INTEGER NOT NULL,"
     "  PRIMARY KEY(account_id, node));"
     "CREATE TABLE node_key_secret("
     "  id INTEGER PRIMARY KEY CHECK(id = 1),"
     "  secret TEXT NOT NULL);"},
    // Webhooks: an account's URL and signing secret with how its deliveries
    // fare, the events waiting to be delivered, and the check-in each stale
    // node was told stale at (so that it is told once per silence).
    {5,
     "ALTER TABLE accounts ADD COLUMN webhook_url TEXT NOT NULL DEFAULT '';"
     "ALTER TABLE accounts ADD COLUMN webhook_secret TEXT NOT NULL DEFAULT '';"
     "ALTER TABLE accounts ADD COLUMN webhook_failing_since INTEGER NOT NULL DEFAULT 0;"
     "ALTER TABLE accounts ADD COLUMN webhook_paused INTEGER NOT NULL DEFAULT 0;"
     "ALTER TABLE accounts ADD COLUMN webhook_error TEXT NOT NULL DEFAULT '';"
     "CREATE TABLE deliveries("
     "  id INTEGER PRIMARY KEY,"
     "  account_id INTEGER NOT NULL REFERENCES accounts(id) ON DELETE CASCADE,"
     "  event TEXT NOT NULL,"
     "  body TEXT NOT NULL,"
     "  created INTEGER NOT NULL,"
     "  attempts INTEGER NOT NULL DEFAULT 0,"
     "  due INTEGER NOT NULL);"
     "CREATE INDEX deliveries_by_due ON deliveries(due);"
     "CREATE INDEX deliveries_by_account ON deliveries(account_id, id);"
     "CREATE TABLE stale_told("
     "  node_id INTEGER PRIMARY KEY REFERENCES nodes(id) ON DELETE CASCADE,"
     "  last_check_in INTEGER NOT NULL);"},
    // The key remembered password verifications are keyed with, made on
    // first use, so that every process on the file keys them alike.
    {6,
     "CREATE TABLE verification_key("
     "  id INTEGER PRIMARY KEY CHECK(id = 1),"
     "  key TEXT NOT NULL);"},
};

int FamilyNumber(TAddressFamily family) { return family == TAddressFamily::IPv4 ? 4 : 6; }

const char kNodeColumns[] =
    "id, account_id, name, address, first_check_in, last_check_in, check_ins, published_name, dns_state,"
    " ipv4_address, ipv4_check_in, ipv6_address, ipv6_check_in";

TNodeRecord ReadNode(const TSqliteStatement& s) {
  TNodeRecord n;
  n.Id = s.Int(0);
  n.AccountId = s.Int(1);
  n.Name = s.Text(2);
  n.Address = s.Text(3);
  n.FirstCheckIn = s.Int(4);
  n.LastCheckIn = s.Int(5);
  n.CheckIns = s.Int(6);
  n.PublishedName = s.Text(7);
  n.DnsState = s.Text(8);
  n.IPv4 = {s.Text(9), s.Int(10)};
  n.IPv6 = {s.Text(11), s.Int(12)};
  return n;
}
}  // namespace

struct TSqliteStore::TStatements {
  explicit TStatements(TSqliteDatabase& db)
      : findAccount(db.Prepare("SELECT id, name, password_hash, created, keys_only FROM accounts WHERE name = ?1")),
        addAccount(
            db.Prepare("INSERT INTO accounts(name, password_hash, created) VALUES(?1, ?2, ?3) ON CONFLICT DO NOTHING")),
        setHash(db.Prepare("UPDATE accounts SET password_hash = ?2 WHERE name = ?1")),
        removeAccount(db.Prepare("DELETE FROM accounts WHERE name = ?1")),
        accounts(db.Prepare("SELECT a.id, a.name, a.password_hash, a.created,"
                            " (SELECT count(*) FROM nodes WHERE account_id = a.id), a.keys_only"
                            " FROM accounts a ORDER BY a.name")),
        findNode(db.Prepare(std::string("SELECT ") + kNodeColumns + " FROM nodes WHERE account_id = ?1 AND name = ?2")),
        findNodeById(db.Prepare(std::string("SELECT ") + kNodeColumns + " FROM nodes WHERE id = ?1")),
        countNodes(db.Prepare("SELECT count(*) FROM nodes WHERE account_id = ?1")),
        insertNode(db.Prepare("INSERT INTO nodes(account_id, name, address, first_check_in, last_check_in, check_ins,"
                              " ipv4_address, ipv4_check_in, ipv6_address, ipv6_check_in)"
                              " VALUES(?1, ?2, ?3, ?4, ?4, 1, ?5, ?6, ?7, ?8)")),
        updateNode(db.Prepare("UPDATE nodes SET address = ?2, last_check_in = ?3, check_ins = check_ins + 1,"
                              " ipv4_address = iif(?4 = 4, ?2, ipv4_address),"
                              " ipv4_check_in = iif(?4 = 4, ?3, ipv4_check_in),"
                              " ipv6_address = iif(?4 = 6, ?2, ipv6_address),"
                              " ipv6_check_in = iif(?4 = 6, ?3, ipv6_check_in) WHERE id = ?1")),
        insertHistory(db.Prepare(
            "INSERT INTO history(node_id, time, old_address, new_address, family) VALUES(?1, ?2, ?3, ?4, ?5)")),
        trimHistory(db.Prepare("DELETE FROM history WHERE node_id = ?1 AND family = ?3 AND id <= (SELECT id"
                               " FROM history WHERE node_id = ?1 AND family = ?3 ORDER BY id DESC LIMIT 1 OFFSET ?2)")),
        nodes(db.Prepare(std::string("SELECT ") + kNodeColumns + " FROM nodes WHERE account_id = ?1 ORDER BY name")),
        history(db.Prepare("SELECT h.node_id, h.time, h.old_address, h.new_address, h.family FROM history h"
                           " JOIN nodes n ON n.id = h.node_id WHERE n.account_id = ?1 ORDER BY h.node_id, h.id DESC")),
        setDns(db.Prepare("UPDATE nodes SET published_name = ?2, dns_state = ?3 WHERE id = ?1")),
        savepoint(db.Prepare("SAVEPOINT checkin")),
        release(db.Prepare("RELEASE checkin")),
        rollbackTo(db.Prepare("ROLLBACK TO checkin")),
        keySecret(db.Prepare("SELECT secret FROM node_key_secret WHERE id = 1")),
        makeKeySecret(db.Prepare("INSERT INTO node_key_secret(id, secret) VALUES(1, ?1) ON CONFLICT DO NOTHING")),
        verificationKey(db.Prepare("SELECT key FROM verification_key WHERE id = 1")),
        makeVerificationKey(db.Prepare("INSERT INTO verification_key(id, key) VALUES(1, ?1) ON CONFLICT DO NOTHING")),
        setNodeKey(db.Prepare("INSERT INTO node_keys(account_id, node, key_hash, made) SELECT ?1, ?2, ?3, ?4"
                              " WHERE EXISTS(SELECT 1 FROM accounts WHERE id = ?1) ON CONFLICT(account_id, node)"
                              " DO UPDATE SET node = excluded.node, key_hash = excluded.key_hash, made = excluded.made")),
        removeNodeKey(db.Prepare("DELETE FROM node_keys WHERE account_id = ?1 AND node = ?2")),
        findNodeKey(db.Prepare("SELECT node, key_hash, made FROM node_keys WHERE account_id = ?1 AND node = ?2")),
        nodeKeys(db.Prepare("SELECT node, key_hash, made FROM node_keys WHERE account_id = ?1 ORDER BY node")),
        setKeysOnly(db.Prepare("UPDATE accounts SET keys_only = ?2 WHERE name = ?1")) {}
  TSqliteStatement findAccount, addAccount, setHash, removeAccount, accounts, findNode, findNodeById, countNodes,
      insertNode, updateNode, insertHistory, trimHistory, nodes, history, setDns, savepoint, release, rollbackTo,
      keySecret, makeKeySecret, verificationKey, makeVerificationKey, setNodeKey, removeNodeKey, findNodeKey, nodeKeys,
      setKeysOnly;
};

TSqliteStore::TSqliteStore(const std::string& file, bool create) : file_(file) {
  const bool made = create && MakeFile();
  try {
    Open();
    struct stat st {};
    if (::lstat(file_.c_str(), &st) != 0)
      throw EStoreUnavailable("cannot look at " + file_ + ": " + std::strerror(errno));
    device_ = st.st_dev;
    inode_ = st.st_ino;
    CheckFile();
    Migrate();
    Prepare();
  } catch (const EStoreError&) {
    // A database made just now that never got its schema would pass for an
    // existing one on the next start: it goes again.
    if (made) {
      s_.reset();
      db_.reset();
      for (const char* suffix : {"", "-wal", "-shm"}) ::unlink((file_ + suffix).c_str());
    }
    throw;
  }
}

int TSqliteStore::WaitWhileBusy(void*, int count) {
  // Where waiting is not allowed, not at all: the caller gets SQLITE_BUSY.
  if (TNoWaitScope::Current()) return 0;
  // Else as SQLite's own busy timeout waits: short sleeps first, up to BusyMilliseconds.
  static const int kDelays[] = {1, 2, 5, 10, 15, 20, 25, 25, 25, 50, 50, 100};
  constexpr int kSteps = sizeof kDelays / sizeof kDelays[0];
  int waited = 0;
  for (int i = 0; i < count; ++i) waited += kDelays[std::min(i, kSteps - 1)];
  if (waited >= BusyMilliseconds) return 0;
  const int delay = std::min(kDelays[std::min(count, kSteps - 1)], BusyMilliseconds - waited);
  std::this_thread::sleep_for(std::chrono::milliseconds(delay));
  return 1;
}

TSqliteStore::~TSqliteStore() {
  std::lock_guard<std::mutex> guard(lock_);
  EndGroupLocked();
}

int TSqliteStore::SchemaVersion() { return std::end(kMigrations)[-1].version; }

bool TSqliteStore::MakeFile() {
  // Made here rather than by SQLite, so that it is the owner's alone from
  // its first byte; an empty file is an empty database to SQLite.
  const int fd = ::open(file_.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
  if (fd < 0) {
    if (errno == EEXIST) return false;
    throw EStoreError("cannot make " + file_ + ": " + std::strerror(errno));
  }
  ::fchmod(fd, 0600);  // a umask that took the owner's own bits would leave a file nobody may write
  ::close(fd);
  return true;
}

void TSqliteStore::Open() {
  db_ = std::make_unique<TSqliteDatabase>(file_, false);
  sqlite3_busy_handler(db_->Handle(), &TSqliteStore::WaitWhileBusy, nullptr);
  // Reading the header is the first thing that finds a file that is no database.
  try {
    db_->QueryInt("PRAGMA application_id");
  } catch (const EStoreCorrupt& e) {
    throw EStoreCorrupt(file_ + " is not a pinmark-service database (" + e.Message() + "); it was left as it is");
  }
  db_->Exec("PRAGMA foreign_keys = ON");
  if (checkpointer_) checkpointer_->Watch(db_->Handle());
}

void TSqliteStore::CheckpointInBackground() {
  std::lock_guard<std::mutex> guard(lock_);
  if (checkpointer_) return;
  checkpointer_ = std::make_unique<TSqliteCheckpointer>(file_);
  if (db_) checkpointer_->Watch(db_->Handle());
}

void TSqliteStore::CheckSameFile() {
  struct stat st {};
  const bool gone = ::lstat(file_.c_str(), &st) != 0;
  if (!gone && st.st_dev == device_ && st.st_ino == inode_) return;
  if (!replaced_) {
    replaced_ = true;
    if (OnFileReplaced)
      OnFileReplaced(file_ + (gone ? " was deleted" : " was replaced") +
                     " under the service: check-ins are answered 503 until it is restarted with its database");
  }
  throw EStoreUnavailable(file_ + " is not the database the service opened");
}

void TSqliteStore::CheckFile() {
  const std::int64_t id = db_->QueryInt("PRAGMA application_id");
  const std::int64_t version = db_->QueryInt("PRAGMA user_version");
  const std::int64_t objects = db_->QueryInt("SELECT count(*) FROM sqlite_schema");
  if (id != ApplicationId && (id != 0 || objects != 0))
    throw EStoreError(file_ + " is a database of another program; it was left as it is");
  if (version > SchemaVersion())
    throw EStoreError(file_ + " was written by a newer pinmark-service (schema " + std::to_string(version) +
                      ", this one knows up to " + std::to_string(SchemaVersion()) + "); it was left as it is");
  std::string check;
  try {
    check = db_->QueryText("PRAGMA quick_check(1)");
  } catch (const EStoreCorrupt& e) {
    check = e.Message();
  }
  if (check != "ok") throw EStoreCorrupt(file_ + " is damaged (" + check + "); it was left as it is");
}

void TSqliteStore::Migrate() {
  const std::int64_t version = db_->QueryInt("PRAGMA user_version");
  if (db_->ReadOnly()) {
    if (version < SchemaVersion())
      throw EStoreUnavailable(file_ + " is read-only and needs its schema brought up to date; make it writable");
    return;
  }
  if (db_->QueryText("PRAGMA journal_mode = WAL") != "wal")
    throw EStoreUnavailable("cannot keep " + file_ + " in WAL mode");
  db_->Exec("PRAGMA synchronous = NORMAL");
  for (const TMigration& m : kMigrations) {
    if (m.version <= version) continue;
    TSqliteTransaction t(*db_);
    db_->Exec(m.sql);
    db_->Exec("PRAGMA application_id = " + std::to_string(ApplicationId));
    db_->Exec("PRAGMA user_version = " + std::to_string(m.version));
    t.Commit();
  }
}

void TSqliteStore::Prepare() { s_ = std::make_unique<TStatements>(*db_); }

bool TSqliteStore::ReadOnly() {
  std::lock_guard<std::mutex> guard(lock_);
  return !db_ || db_->ReadOnly();
}

void TSqliteStore::CheckWritable() {
  std::lock_guard<std::mutex> guard(lock_);
  Ready(true);
}

void TSqliteStore::Ready(bool write) {
  // A thread that must not wait reads inside the group (a check-in's reads
  // come before its write joins it), and the first such read opens it: a
  // read transaction of its own would cost as many locks as the group's.
  // Anything else ends the group first.
  if (!write && TNoWaitScope::Current()) {
    if (group_) return;
    // Not on a file that cannot take the group's write: reads go on there.
    if (db_ && !db_->ReadOnly() && !replaced_ && OpenGroup(false)) return;
  }
  EndGroupLocked();
  Connected(write);
}

bool TSqliteStore::OpenGroup(bool raise) {
  try {
    Connected(true);
  } catch (const EStoreError&) {
    if (raise) throw;
    return false;
  }
  // Another program writing would keep this thread waiting: a check-in is
  // then written where waiting is allowed (RaiseSqliteError), a read reads
  // outside the group.
  sqlite3* h = db_->Handle();
  const int rc = sqlite3_exec(h, "BEGIN IMMEDIATE", nullptr, nullptr, nullptr);
  if (rc != SQLITE_OK) {
    if (raise) RaiseSqliteError(h, rc, "beginning a transaction");
    return false;
  }
  group_ = std::make_shared<TCommitGroup>();
  return true;
}

void TSqliteStore::Connected(bool write) {
  if (write || !db_) CheckSameFile();
  if (db_ && !(write && db_->ReadOnly())) return;
  const auto now = std::chrono::steady_clock::now();
  if (now - lastReopen_ >= std::chrono::milliseconds(ReopenMilliseconds)) {
    TNoWaitScope::MayWait("opening the database");  // checking the file reads all of it
    lastReopen_ = now;
    // A file that became writable again is only seen so by a new
    // connection, and only once no connection of this process holds the
    // file's shared-memory index any more: the old one goes first.
    s_.reset();
    db_.reset();
    // SQLite made the -wal and -shm files with the database's mode of the
    // time: read-only ones would keep the file read-only for this process.
    struct stat st {};
    if (::stat(file_.c_str(), &st) == 0)
      for (const char* suffix : {"-wal", "-shm"}) ::chmod((file_ + suffix).c_str(), st.st_mode & 0777);
    try {
      Open();
      CheckSameFile();
      CheckFile();
      Migrate();
      Prepare();
    } catch (const EStoreError&) {
      s_.reset();
      db_.reset();
    }
    if (db_ && !(write && db_->ReadOnly())) return;
  }
  throw EStoreUnavailable(file_ + (db_ ? " is read-only" : " cannot be opened"));
}

std::optional<TAccountRecord> TSqliteStore::FindAccount(std::string_view name) {
  std::lock_guard<std::mutex> guard(lock_);
  Ready(false);
  TSqliteUse s(s_->findAccount);
  s->Bind(1, name);
  if (!s->Step()) return std::nullopt;
  return TAccountRecord{s->Int(0), s->Text(1), s->Text(2), s->Int(3), 0, s->Int(4) != 0};
}

bool TSqliteStore::AddAccount(std::string_view name, std::string_view passwordHash, TServiceTime now) {
  std::lock_guard<std::mutex> guard(lock_);
  Ready(true);
  TSqliteUse s(s_->addAccount);
  s->Bind(1, name).Bind(2, passwordHash).Bind(3, now).Run();
  return db_->Changes() == 1;
}

bool TSqliteStore::SetPasswordHash(std::string_view name, std::string_view passwordHash) {
  std::lock_guard<std::mutex> guard(lock_);
  Ready(true);
  TSqliteUse s(s_->setHash);
  s->Bind(1, name).Bind(2, passwordHash).Run();
  return db_->Changes() == 1;
}

bool TSqliteStore::RemoveAccount(std::string_view name) {
  std::lock_guard<std::mutex> guard(lock_);
  Ready(true);
  // The nodes and their history go with it (ON DELETE CASCADE), in the same statement.
  TSqliteUse s(s_->removeAccount);
  s->Bind(1, name).Run();
  return db_->Changes() == 1;
}

std::vector<TAccountRecord> TSqliteStore::Accounts() {
  std::lock_guard<std::mutex> guard(lock_);
  Ready(false);
  std::vector<TAccountRecord> all;
  TSqliteUse s(s_->accounts);
  while (s->Step()) all.push_back({s->Int(0), s->Text(1), s->Text(2), s->Int(3), s->Int(4), s->Int(5) != 0});
  return all;
}

struct TSqliteStore::TPendingCheckIn {
  std::int64_t accountId;
  std::string_view node, address;
  TServiceTime now;
  std::size_t maxNodes;
  TCheckInRecord result;
  std::exception_ptr error;
  bool done = false;
};

TCheckInRecord TSqliteStore::RecordCheckIn(std::int64_t accountId, std::string_view node, std::string_view address,
                                           TServiceTime now, std::size_t maxNodes) {
  // Check-ins that arrive while others are being written wait and are then
  // written together, in one transaction: one commit's cost for them all.
  TPendingCheckIn me{accountId, node, address, now, maxNodes, {}, nullptr};
  if (TNoWaitScope* scope = TNoWaitScope::Current()) return RecordInGroup(*scope, me);
  std::unique_lock<std::mutex> queue(queueLock_);
  queue_.push_back(&me);
  while (!me.done) {
    if (writing_) {
      written_.wait(queue);
      continue;
    }
    writing_ = true;
    std::vector<TPendingCheckIn*> batch;
    batch.swap(queue_);
    queue.unlock();
    RecordBatch(batch);
    queue.lock();
    writing_ = false;
    for (TPendingCheckIn* p : batch) p->done = true;
    written_.notify_all();
  }
  if (me.error) std::rethrow_exception(me.error);
  return me.result;
}

void TSqliteStore::RecordBatch(const std::vector<TPendingCheckIn*>& batch) {
  std::lock_guard<std::mutex> guard(lock_);
  try {
    Ready(true);
    TSqliteTransaction t(*db_);
    for (TPendingCheckIn* p : batch) {
      // Each in a savepoint of its own: one that fails takes back only itself.
      TSqliteUse(s_->savepoint)->Run();
      try {
        p->result = RecordOne(*p);
        TSqliteUse(s_->release)->Run();
      } catch (...) {
        // A failure that ended the whole transaction took every check-in of it along.
        if (sqlite3_get_autocommit(db_->Handle())) throw;
        p->error = std::current_exception();
        TSqliteUse(s_->rollbackTo)->Run();
        TSqliteUse(s_->release)->Run();
      }
    }
    t.Commit();
  } catch (...) {
    // Nothing of the batch was committed, whatever each one's own outcome.
    for (TPendingCheckIn* p : batch) p->error = std::current_exception();
  }
}

TCheckInRecord TSqliteStore::RecordInGroup(TNoWaitScope& scope, const TPendingCheckIn& p) {
  std::lock_guard<std::mutex> guard(lock_);
  if (!group_) OpenGroup(true);
  sqlite3* h = db_->Handle();
  TCheckInRecord r;
  TSqliteUse(s_->savepoint)->Run();
  try {
    r = RecordOne(p);
    TSqliteUse(s_->release)->Run();
  } catch (...) {
    if (sqlite3_get_autocommit(h)) {
      // The failure ended the whole transaction: the group's check-ins went with it.
      std::shared_ptr<TCommitGroup> lost = std::move(group_);
      lost->End(false);
      throw;
    }
    TSqliteUse(s_->rollbackTo)->Run();
    TSqliteUse(s_->release)->Run();
    throw;
  }
  scope.Joined(group_);
  return r;
}

void TSqliteStore::EndGroup() {
  std::lock_guard<std::mutex> guard(lock_);
  EndGroupLocked();
}

void TSqliteStore::EndGroupLocked() {
  if (!group_) return;
  std::shared_ptr<TCommitGroup> group = std::move(group_);
  sqlite3* h = db_->Handle();
  bool committed = sqlite3_exec(h, "COMMIT", nullptr, nullptr, nullptr) == SQLITE_OK;
  if (!committed && !sqlite3_get_autocommit(h)) sqlite3_exec(h, "ROLLBACK", nullptr, nullptr, nullptr);
  group->End(committed);
}

TCheckInRecord TSqliteStore::RecordOne(const TPendingCheckIn& p) {
  TCheckInRecord r;
  const TAddressFamily family = FamilyOf(p.address);
  {
    TSqliteUse find(s_->findNode);
    find->Bind(1, p.accountId).Bind(2, p.node);
    if (find->Step()) r.Node = ReadNode(*find);
  }
  if (r.Node.Id == 0) {
    TSqliteUse count(s_->countNodes);
    count->Bind(1, p.accountId).Step();
    if (static_cast<std::size_t>(count->Int(0)) >= p.maxNodes) {
      r.Outcome = TCheckInRecord::TooManyNodes;
      return r;
    }
    TSqliteUse insert(s_->insertNode);
    r.Node.Family(family) = {std::string(p.address), p.now};
    insert->Bind(1, p.accountId).Bind(2, p.node).Bind(3, p.address).Bind(4, p.now);
    insert->Bind(5, r.Node.IPv4.Address).Bind(6, r.Node.IPv4.LastCheckIn);
    insert->Bind(7, r.Node.IPv6.Address).Bind(8, r.Node.IPv6.LastCheckIn).Run();
    r.FirstCheckIn = true;
    r.Node.Id = db_->LastInsertId();
    r.Node.AccountId = p.accountId;
    r.Node.Name = p.node;
    r.Node.Address = p.address;
    r.Node.FirstCheckIn = r.Node.LastCheckIn = p.now;
    r.Node.CheckIns = 1;
  } else {
    TSqliteUse update(s_->updateNode);
    update->Bind(1, r.Node.Id).Bind(2, p.address).Bind(3, p.now).Bind(4, FamilyNumber(family)).Run();
    TFamilyRecord& mine = r.Node.Family(family);
    r.PreviousAddress = mine.Address;
    r.PreviousFamilyCheckIn = mine.LastCheckIn;
    if (mine.Address != p.address) {
      r.AddressChanged = true;
      TSqliteUse history(s_->insertHistory);
      history->Bind(1, r.Node.Id).Bind(2, p.now).Bind(3, r.PreviousAddress).Bind(4, p.address);
      history->Bind(5, FamilyNumber(family)).Run();
      TSqliteUse trim(s_->trimHistory);
      trim->Bind(1, r.Node.Id).Bind(2, static_cast<std::int64_t>(HistoryKept)).Bind(3, FamilyNumber(family)).Run();
    }
    mine = {std::string(p.address), p.now};
    r.Node.Address = p.address;
    r.Node.LastCheckIn = p.now;
    ++r.Node.CheckIns;
  }
  if ((r.FirstCheckIn || r.AddressChanged) && InCheckInTransaction) InCheckInTransaction(*db_, r);
  return r;
}

std::vector<TNodeRecord> TSqliteStore::Nodes(std::int64_t accountId) {
  std::lock_guard<std::mutex> guard(lock_);
  Ready(false);
  std::vector<TNodeRecord> nodes;
  std::map<std::int64_t, std::size_t> index;
  {
    TSqliteUse s(s_->nodes);
    s->Bind(1, accountId);
    while (s->Step()) {
      index[s->Int(0)] = nodes.size();
      nodes.push_back(ReadNode(*s));
    }
  }
  TSqliteUse h(s_->history);
  h->Bind(1, accountId);
  while (h->Step()) {
    auto it = index.find(h->Int(0));
    if (it != index.end())
      nodes[it->second].History.push_back(
          {h->Int(1), h->Text(2), h->Text(3), h->Int(4) == 6 ? TAddressFamily::IPv6 : TAddressFamily::IPv4});
  }
  return nodes;
}

bool TSqliteStore::SetNodeDns(std::int64_t nodeId, std::string_view publishedName, std::string_view dnsState) {
  std::lock_guard<std::mutex> guard(lock_);
  Ready(true);
  TSqliteUse s(s_->setDns);
  s->Bind(1, nodeId).Bind(2, publishedName).Bind(3, dnsState).Run();
  return db_->Changes() == 1;
}

std::optional<TNodeRecord> TSqliteStore::FindNode(std::int64_t nodeId) {
  std::lock_guard<std::mutex> guard(lock_);
  Ready(false);
  TSqliteUse s(s_->findNodeById);
  s->Bind(1, nodeId);
  if (!s->Step()) return std::nullopt;
  return ReadNode(*s);
}

bool TSqliteStore::RemoveNode(std::int64_t accountId, std::int64_t nodeId) {
  std::lock_guard<std::mutex> guard(lock_);
  Ready(true);
  // Its history goes with it (ON DELETE CASCADE), in the same statement.
  TSqliteUse s(db_->Cached("DELETE FROM nodes WHERE id = ?1 AND account_id = ?2"));
  s->Bind(1, nodeId).Bind(2, accountId).Run();
  return db_->Changes() == 1;
}

namespace {
TWebhookRecord ReadWebhook(TSqliteStatement& s, int first) {
  return {s.Text(first), s.Text(first + 1), s.Int(first + 2), s.Int(first + 3) != 0, s.Text(first + 4)};
}
const char kWebhookColumns[] = "a.webhook_url, a.webhook_secret, a.webhook_failing_since, a.webhook_paused, a.webhook_error";
}  // namespace

bool TSqliteStore::SetWebhook(std::string_view account, std::string_view url, std::string_view secret) {
  std::lock_guard<std::mutex> guard(lock_);
  Ready(true);
  TSqliteTransaction t(*db_);
  {
    TSqliteUse s(db_->Cached(
        "UPDATE accounts SET webhook_url = ?2, webhook_secret = iif(?3 = '', webhook_secret, ?3),"
        " webhook_failing_since = 0, webhook_paused = 0, webhook_error = '' WHERE name = ?1"));
    s->Bind(1, account).Bind(2, url).Bind(3, secret).Run();
  }
  if (db_->Changes() != 1) return false;
  TSqliteUse drop(db_->Cached("DELETE FROM deliveries WHERE account_id = (SELECT id FROM accounts WHERE name = ?1)"));
  drop->Bind(1, account).Run();
  t.Commit();
  return true;
}

std::optional<TWebhookRecord> TSqliteStore::Webhook(std::int64_t accountId) {
  std::lock_guard<std::mutex> guard(lock_);
  Ready(false);
  TSqliteUse s(db_->Cached(std::string("SELECT ") + kWebhookColumns + " FROM accounts a WHERE a.id = ?1"));
  s->Bind(1, accountId);
  if (!s->Step()) return std::nullopt;
  return ReadWebhook(*s, 0);
}

bool TSqliteStore::AddDelivery(std::int64_t accountId, std::string_view event, std::string_view body,
                               TServiceTime now, std::int64_t staleNodeId, TServiceTime staleCheckIn) {
  std::lock_guard<std::mutex> guard(lock_);
  Ready(false);
  {
    // Most accounts have no webhook: they cost a read, never the write lock.
    TSqliteUse has(db_->Cached("SELECT 1 FROM accounts WHERE id = ?1 AND webhook_url <> '' AND webhook_paused = 0"));
    has->Bind(1, accountId);
    if (!has->Step()) return false;
  }
  Ready(true);
  TSqliteTransaction t(*db_);
  {
    TSqliteUse s(db_->Cached(
        "INSERT INTO deliveries(account_id, event, body, created, due) SELECT id, ?2, ?3, ?4, ?4 FROM accounts"
        " WHERE id = ?1 AND webhook_url <> '' AND webhook_paused = 0"));
    s->Bind(1, accountId).Bind(2, event).Bind(3, body).Bind(4, now).Run();
  }
  if (db_->Changes() != 1) return false;
  {
    TSqliteUse trim(db_->Cached(
        "DELETE FROM deliveries WHERE account_id = ?1 AND id <= (SELECT id FROM deliveries WHERE account_id = ?1"
        " ORDER BY id DESC LIMIT 1 OFFSET ?2)"));
    trim->Bind(1, accountId).Bind(2, static_cast<std::int64_t>(DeliveriesKept)).Run();
  }
  if (staleNodeId != 0) {
    TSqliteUse told(db_->Cached("INSERT OR REPLACE INTO stale_told(node_id, last_check_in) VALUES(?1, ?2)"));
    told->Bind(1, staleNodeId).Bind(2, staleCheckIn).Run();
  }
  t.Commit();
  return true;
}

std::optional<TDeliveryRecord> TSqliteStore::NextDelivery() {
  std::lock_guard<std::mutex> guard(lock_);
  Ready(false);
  TSqliteUse s(db_->Cached(std::string("SELECT d.id, d.account_id, a.name, d.event, d.body, d.created, d.due,"
                                       " d.attempts, ") +
                           kWebhookColumns +
                           " FROM deliveries d JOIN accounts a ON a.id = d.account_id"
                           " WHERE a.webhook_url <> '' AND a.webhook_paused = 0 ORDER BY d.due, d.id LIMIT 1"));
  if (!s->Step()) return std::nullopt;
  TDeliveryRecord d{s->Int(0), s->Int(1), s->Text(2), s->Text(3), s->Text(4), s->Int(5), s->Int(6),
                    static_cast<int>(s->Int(7)), ReadWebhook(*s, 8)};
  return d;
}

void TSqliteStore::DeliveryDone(std::int64_t deliveryId) {
  std::lock_guard<std::mutex> guard(lock_);
  Ready(true);
  TSqliteTransaction t(*db_);
  {
    TSqliteUse s(db_->Cached("UPDATE accounts SET webhook_failing_since = 0, webhook_error = ''"
                             " WHERE id = (SELECT account_id FROM deliveries WHERE id = ?1)"));
    s->Bind(1, deliveryId).Run();
  }
  TSqliteUse s(db_->Cached("DELETE FROM deliveries WHERE id = ?1"));
  s->Bind(1, deliveryId).Run();
  t.Commit();
}

void TSqliteStore::DeliveryFailed(std::int64_t deliveryId, TServiceTime due, std::string_view error,
                                  TServiceTime now, bool pause) {
  std::lock_guard<std::mutex> guard(lock_);
  Ready(true);
  TSqliteTransaction t(*db_);
  {
    TSqliteUse s(db_->Cached(
        "UPDATE accounts SET webhook_failing_since = iif(webhook_failing_since = 0, ?3, webhook_failing_since),"
        " webhook_error = ?2, webhook_paused = max(webhook_paused, ?4)"
        " WHERE id = (SELECT account_id FROM deliveries WHERE id = ?1)"));
    s->Bind(1, deliveryId).Bind(2, error).Bind(3, now).Bind(4, pause ? 1 : 0).Run();
  }
  TSqliteUse s(db_->Cached("UPDATE deliveries SET attempts = attempts + 1, due = ?2 WHERE id = ?1"));
  s->Bind(1, deliveryId).Bind(2, due).Run();
  t.Commit();
}

std::vector<TStaleNode> TSqliteStore::UntoldStaleNodes(TServiceTime before, std::size_t limit) {
  std::lock_guard<std::mutex> guard(lock_);
  Ready(false);
  TSqliteUse s(db_->Cached(
      std::string("SELECT ") + kNodeColumns +
      ", (SELECT name FROM accounts WHERE accounts.id = nodes.account_id) FROM nodes"
      " WHERE account_id IN (SELECT id FROM accounts WHERE webhook_url <> '' AND webhook_paused = 0)"
      " AND last_check_in < ?1 AND NOT EXISTS (SELECT 1 FROM stale_told t WHERE t.node_id = nodes.id"
      " AND t.last_check_in = nodes.last_check_in) LIMIT ?2"));
  s->Bind(1, before).Bind(2, static_cast<std::int64_t>(limit));
  std::vector<TStaleNode> stale;
  while (s->Step()) {
    TNodeRecord node = ReadNode(*s);
    stale.push_back({node.AccountId, s->Text(13), std::move(node)});
  }
  return stale;
}

std::string TSqliteStore::NodeKeySecret(std::string_view candidate) {
  std::lock_guard<std::mutex> guard(lock_);
  Ready(false);
  {
    TSqliteUse s(s_->keySecret);
    if (s->Step()) return s->Text(0);
  }
  // Only the first caller of all writes; another process may have been first.
  Ready(true);
  TSqliteUse(s_->makeKeySecret)->Bind(1, candidate).Run();
  TSqliteUse s(s_->keySecret);
  if (!s->Step()) throw EStoreCorrupt(file_ + " keeps no secret for node keys");
  return s->Text(0);
}

std::string TSqliteStore::VerificationKey(std::string_view candidate) {
  std::lock_guard<std::mutex> guard(lock_);
  Ready(false);
  {
    TSqliteUse s(s_->verificationKey);
    if (s->Step()) return s->Text(0);
  }
  // As the node key secret: only the first of all processes writes.
  Ready(true);
  TSqliteUse(s_->makeVerificationKey)->Bind(1, candidate).Run();
  TSqliteUse s(s_->verificationKey);
  if (!s->Step()) throw EStoreCorrupt(file_ + " keeps no key for remembered verifications");
  return s->Text(0);
}

bool TSqliteStore::SetNodeKey(std::int64_t accountId, std::string_view node, std::string_view keyHash,
                              TServiceTime now) {
  std::lock_guard<std::mutex> guard(lock_);
  Ready(true);
  TSqliteUse s(s_->setNodeKey);
  s->Bind(1, accountId).Bind(2, node).Bind(3, keyHash).Bind(4, now).Run();
  return db_->Changes() == 1;
}

bool TSqliteStore::RemoveNodeKey(std::int64_t accountId, std::string_view node) {
  std::lock_guard<std::mutex> guard(lock_);
  Ready(true);
  TSqliteUse s(s_->removeNodeKey);
  s->Bind(1, accountId).Bind(2, node).Run();
  return db_->Changes() == 1;
}

std::optional<TNodeKeyRecord> TSqliteStore::FindNodeKey(std::int64_t accountId, std::string_view node) {
  std::lock_guard<std::mutex> guard(lock_);
  Ready(false);
  TSqliteUse s(s_->findNodeKey);
  s->Bind(1, accountId).Bind(2, node);
  if (!s->Step()) return std::nullopt;
  return TNodeKeyRecord{s->Text(0), s->Text(1), s->Int(2)};
}

std::vector<TNodeKeyRecord> TSqliteStore::NodeKeys(std::int64_t accountId) {
  std::lock_guard<std::mutex> guard(lock_);
  Ready(false);
  std::vector<TNodeKeyRecord> all;
  TSqliteUse s(s_->nodeKeys);
  s->Bind(1, accountId);
  while (s->Step()) all.push_back({s->Text(0), s->Text(1), s->Int(2)});
  return all;
}

bool TSqliteStore::SetKeysOnly(std::string_view name, bool keysOnly) {
  std::lock_guard<std::mutex> guard(lock_);
  Ready(true);
  TSqliteUse s(s_->setKeysOnly);
  s->Bind(1, name).Bind(2, static_cast<std::int64_t>(keysOnly ? 1 : 0)).Run();
  return db_->Changes() == 1;
}

TNodeCounts TSqliteStore::CountNodes(TServiceTime staleBefore) {
  std::lock_guard<std::mutex> guard(lock_);
  Ready(false);
  // One pass over the nodes table (no index helps a count of all of it):
  // about a millisecond for ten thousand nodes.
  TSqliteUse s(db_->Cached("SELECT count(*), coalesce(sum(last_check_in < ?1), 0) FROM nodes"));
  s->Bind(1, staleBefore);
  TNodeCounts counts;
  if (s->Step()) counts = {s->Int(0), s->Int(1)};
  return counts;
}
