#include "service/store/StoreMigration.h"

#include <sqlite3.h>

#include <memory>
#include <utility>
#include <vector>

#include "service/store/PostgresStore.h"
#include "service/store/SqliteDatabase.h"
#include "service/store/SqliteStore.h"

namespace {
// One table's copy: its columns, in the same order and under the same names
// in both schemas. Booleans are 0 and 1 in the file, which PostgreSQL reads
// as false and true.
struct TTable {
  const char* name;
  const char* columns;
  const char* order;     // the file's order, so history stays in order
  bool identity;         // an id PostgreSQL generates, given here
  const char* conflict;  // "" or the ON CONFLICT clause of a single-row table
};
const TTable kTables[] = {
    {"accounts",
     "id, name, password_hash, created, keys_only, webhook_url, webhook_secret, webhook_failing_since,"
     " webhook_paused, webhook_error",
     "id", true, ""},
    {"nodes",
     "id, account_id, name, address, first_check_in, last_check_in, check_ins, published_name, dns_state,"
     " ipv4_address, ipv4_check_in, ipv6_address, ipv6_check_in",
     "id", true, ""},
    {"history", "id, node_id, time, old_address, new_address, family", "id", true, ""},
    {"node_keys", "account_id, node, key_hash, made", "account_id, node", false, ""},
    // A database that an instance has run on may have made its own secrets;
    // with no account in it nothing is keyed with them yet.
    {"node_key_secret", "id, secret", "id", false, " ON CONFLICT (id) DO UPDATE SET secret = EXCLUDED.secret"},
    {"verification_key", "id, key", "id", false, " ON CONFLICT (id) DO UPDATE SET key = EXCLUDED.key"},
    {"deliveries", "id, account_id, event, body, created, attempts, due", "id", true, ""},
    {"stale_told", "node_id, last_check_in", "node_id", false, ""},
    {"dns_queue", "name, type, address, version, published_address, state, reason, since_ms, attempts, due_ms",
     "name, type", false, ""},
    {"dns_settings", "key, value", "key", false, " ON CONFLICT (key) DO UPDATE SET value = EXCLUDED.value"},
};

// Rows per INSERT: few round trips, far below PostgreSQL's 65535 parameters.
constexpr int kBatch = 200;

class TReadOnlyFile {
 public:
  explicit TReadOnlyFile(const std::string& file) {
    // Read only: never the file's writer, never its creator.
    const int rc = sqlite3_open_v2(file.c_str(), &db_, SQLITE_OPEN_READONLY | SQLITE_OPEN_NOMUTEX, nullptr);
    if (rc != SQLITE_OK) {
      // A handle is made even when opening fails; it goes with the error.
      const std::unique_ptr<sqlite3, int (*)(sqlite3*)> failed(std::exchange(db_, nullptr), sqlite3_close_v2);
      RaiseSqliteError(failed.get(), rc, "opening " + file);
    }
    sqlite3_busy_timeout(db_, 5000);
  }
  ~TReadOnlyFile() { sqlite3_close_v2(db_); }
  TReadOnlyFile(const TReadOnlyFile&) = delete;
  TReadOnlyFile& operator=(const TReadOnlyFile&) = delete;

  TSqliteStatement Prepare(const std::string& sql) { return TSqliteStatement(db_, sql); }
  std::int64_t Int(const std::string& sql) {
    TSqliteStatement s = Prepare(sql);
    return s.Step() ? s.Int(0) : 0;
  }

 private:
  sqlite3* db_ = nullptr;
};

int CountColumns(const char* columns) {
  int n = 1;
  for (const char* c = columns; *c; ++c) n += *c == ',';
  return n;
}

std::string InsertText(const TTable& t, int rows) {
  const int columns = CountColumns(t.columns);
  std::string sql = std::string("INSERT INTO ") + t.name + " (" + t.columns + ")" +
                    (t.identity ? " OVERRIDING SYSTEM VALUE" : "") + " VALUES ";
  for (int r = 0, p = 1; r < rows; ++r) {
    sql += r ? ", (" : "(";
    for (int c = 0; c < columns; ++c, ++p) sql += (c ? ", $" : "$") + std::to_string(p);
    sql += ")";
  }
  return sql + t.conflict;
}

std::int64_t CopyTable(TReadOnlyFile& from, TPostgresConnection& to, const TTable& t) {
  const int columns = CountColumns(t.columns);
  TSqliteStatement rows = from.Prepare(std::string("SELECT ") + t.columns + " FROM " + t.name + " ORDER BY " + t.order);
  TPostgresParams batch;
  int inBatch = 0;
  std::int64_t copied = 0;
  const auto flush = [&] {
    if (inBatch == 0) return;
    to.Run(InsertText(t, inBatch), batch);
    copied += inBatch;
    batch = TPostgresParams();
    inBatch = 0;
  };
  while (rows.Step()) {
    for (int c = 0; c < columns; ++c) rows.IsNull(c) ? batch.AddNull() : batch.Add(rows.Text(c));
    if (++inBatch == kBatch) flush();
  }
  flush();
  if (t.identity)
    to.Exec(std::string("SELECT setval(pg_get_serial_sequence('") + t.name +
            "', 'id'), COALESCE(MAX(id), 0) + 1, false) FROM " + t.name);
  return copied;
}
}  // namespace

TStoreMigrationCounts TStoreMigration::Copy(const std::string& sqliteFile, const std::string& uri) {
  TReadOnlyFile from(sqliteFile);
  // One snapshot of the file for every table, however a running service writes meanwhile.
  TSqliteStatement begin = from.Prepare("BEGIN");
  begin.Run();
  // The first read finds a file that is no database at all.
  const std::int64_t version = from.Int("PRAGMA user_version");
  if (version == 0 || from.Int("SELECT count(*) FROM sqlite_schema WHERE type = 'table' AND name = 'accounts'") == 0)
    throw EStoreError(sqliteFile + " holds no service database");
  if (version != TSqliteStore::SchemaVersion())
    throw EStoreError(sqliteFile + " is of schema version " + std::to_string(version) + ", this build reads " +
                      std::to_string(TSqliteStore::SchemaVersion()) +
                      (version < TSqliteStore::SchemaVersion()
                           ? "; start this version of pinmark-service on it once (it upgrades the file), then migrate"
                           : "; migrate with the pinmark-service that wrote it"));
  const bool hasDnsSettings =
      from.Int("SELECT count(*) FROM sqlite_schema WHERE type = 'table' AND name = 'dns_settings'") > 0;

  TPostgresStore store(uri, 1);
  TPostgresPool::TLease c = store.Pool().Take();
  TPostgresTransaction transaction(*c);
  // No instance adds an account or queues an update while the copy goes in.
  c->Exec("LOCK TABLE accounts, dns_queue IN EXCLUSIVE MODE");
  if (c->Run("SELECT EXISTS (SELECT 1 FROM accounts)").Bool(0, 0))
    throw EStoreError(c->Where() + " has accounts already; migrate into an empty database only");
  if (c->Run("SELECT EXISTS (SELECT 1 FROM dns_queue)").Bool(0, 0))
    throw EStoreError(c->Where() + " has queued DNS updates already; migrate into an empty database only");

  TStoreMigrationCounts counts;
  for (const TTable& t : kTables) {
    if (std::string_view(t.name) == "dns_settings" && !hasDnsSettings) continue;
    const std::int64_t copied = CopyTable(from, *c, t);
    const std::string_view name = t.name;
    if (name == "accounts") counts.Accounts = copied;
    if (name == "nodes") counts.Nodes = copied;
    if (name == "history") counts.History = copied;
    if (name == "node_keys") counts.NodeKeys = copied;
    if (name == "deliveries") counts.Deliveries = copied;
    if (name == "dns_queue") counts.DnsQueue = copied;
  }
  transaction.Commit();
  return counts;
}
