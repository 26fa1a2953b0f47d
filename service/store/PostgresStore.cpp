#include "service/store/PostgresStore.h"

#include <map>

#include "runtime/NoWaitScope.h"

namespace {
// The schema, one step per version. A database at version N has had the
// steps up to N applied; a step is never changed once released, only new
// ones added.
struct TMigration {
  int version;
  const char* sql;
};
const TMigration kMigrations[] = {
    {1,
     "CREATE TABLE pinmark_schema("
     "  id integer PRIMARY KEY CHECK (id = 1),"
     "  version integer NOT NULL);"
     "INSERT INTO pinmark_schema VALUES (1, 0);"
     "CREATE TABLE accounts("
     "  id bigint GENERATED ALWAYS AS IDENTITY PRIMARY KEY,"
     "  name text COLLATE \"C\" NOT NULL,"
     "  password_hash text NOT NULL,"
     "  created bigint NOT NULL,"
     "  keys_only boolean NOT NULL DEFAULT false,"
     "  webhook_url text NOT NULL DEFAULT '',"
     "  webhook_secret text NOT NULL DEFAULT '',"
     "  webhook_failing_since bigint NOT NULL DEFAULT 0,"
     "  webhook_paused boolean NOT NULL DEFAULT false,"
     "  webhook_error text NOT NULL DEFAULT '');"
     "CREATE UNIQUE INDEX accounts_by_name ON accounts(lower(name));"
     "CREATE TABLE nodes("
     "  id bigint GENERATED ALWAYS AS IDENTITY PRIMARY KEY,"
     "  account_id bigint NOT NULL REFERENCES accounts(id) ON DELETE CASCADE,"
     "  name text COLLATE \"C\" NOT NULL,"
     "  address text NOT NULL,"
     "  first_check_in bigint NOT NULL,"
     "  last_check_in bigint NOT NULL,"
     "  check_ins bigint NOT NULL,"
     "  published_name text NOT NULL DEFAULT '',"
     "  dns_state text NOT NULL DEFAULT '',"
     "  ipv4_address text NOT NULL DEFAULT '',"
     "  ipv4_check_in bigint NOT NULL DEFAULT 0,"
     "  ipv6_address text NOT NULL DEFAULT '',"
     "  ipv6_check_in bigint NOT NULL DEFAULT 0);"
     "CREATE UNIQUE INDEX nodes_by_name ON nodes(account_id, lower(name));"
     "CREATE TABLE history("
     "  id bigint GENERATED ALWAYS AS IDENTITY PRIMARY KEY,"
     "  node_id bigint NOT NULL REFERENCES nodes(id) ON DELETE CASCADE,"
     "  time bigint NOT NULL,"
     "  old_address text NOT NULL,"
     "  new_address text NOT NULL,"
     "  family smallint NOT NULL CHECK (family IN (4, 6)));"
     "CREATE INDEX history_by_family ON history(node_id, family, id);"
     "CREATE TABLE node_keys("
     "  account_id bigint NOT NULL REFERENCES accounts(id) ON DELETE CASCADE,"
     "  node text COLLATE \"C\" NOT NULL,"
     "  key_hash text NOT NULL,"
     "  made bigint NOT NULL);"
     "CREATE UNIQUE INDEX node_keys_by_node ON node_keys(account_id, lower(node));"
     "CREATE TABLE node_key_secret("
     "  id integer PRIMARY KEY CHECK (id = 1),"
     "  secret text NOT NULL);"
     "CREATE TABLE deliveries("
     "  id bigint GENERATED ALWAYS AS IDENTITY PRIMARY KEY,"
     "  account_id bigint NOT NULL REFERENCES accounts(id) ON DELETE CASCADE,"
     "  event text NOT NULL,"
     "  body text NOT NULL,"
     "  created bigint NOT NULL,"
     "  attempts integer NOT NULL DEFAULT 0,"
     "  due bigint NOT NULL);"
     "CREATE INDEX deliveries_by_due ON deliveries(due, id);"
     "CREATE INDEX deliveries_by_account ON deliveries(account_id, id);"
     "CREATE TABLE stale_told("
     "  node_id bigint PRIMARY KEY REFERENCES nodes(id) ON DELETE CASCADE,"
     "  last_check_in bigint NOT NULL);"
     // The DNS update queue (TPostgresDnsQueueStore): one row per published
     // name and record type; due_ms is NULL when there is nothing to send.
     "CREATE TABLE dns_queue("
     "  name text COLLATE \"C\" NOT NULL,"
     "  type text COLLATE \"C\" NOT NULL CHECK (type IN ('A', 'AAAA')),"
     "  address text NOT NULL,"
     "  version bigint NOT NULL,"
     "  published_address text NOT NULL,"
     "  state text NOT NULL CHECK (state IN ('published', 'pending', 'failing')),"
     "  reason text NOT NULL,"
     "  since_ms bigint NOT NULL,"
     "  attempts integer NOT NULL,"
     "  due_ms bigint,"
     "  PRIMARY KEY (name, type));"
     "CREATE INDEX dns_queue_by_due ON dns_queue(due_ms) WHERE due_ms IS NOT NULL;"
     "CREATE TABLE dns_settings("
     "  key text PRIMARY KEY,"
     "  value text NOT NULL);"},
    // What instances on one database share besides the data: the web page's
    // sessions (TPostgresSessions; key is the SHA-256 of the token, the
    // account as it was at sign-in), failed sign-ins (TPostgresFailureCounts;
    // touched is the server's clock in microseconds, for the instances'
    // mirrors) and the key remembered password verifications are keyed with.
    {2,
     "CREATE TABLE sessions("
     "  key text PRIMARY KEY,"
     "  seq bigint GENERATED ALWAYS AS IDENTITY,"
     "  account_id bigint NOT NULL,"
     "  account_name text NOT NULL,"
     "  password_hash text NOT NULL,"
     "  created bigint NOT NULL,"
     "  keys_only boolean NOT NULL,"
     "  expires bigint NOT NULL);"
     "CREATE INDEX sessions_by_account ON sessions(account_id, seq);"
     "CREATE INDEX sessions_by_expiry ON sessions(expires);"
     "CREATE TABLE failure_counts("
     "  kind text NOT NULL,"
     "  key text NOT NULL,"
     "  allowance bigint NOT NULL,"
     "  since bigint NOT NULL,"
     "  last bigint NOT NULL,"
     "  touched bigint NOT NULL DEFAULT (extract(epoch FROM clock_timestamp()) * 1000000)::bigint,"
     "  PRIMARY KEY (kind, key));"
     "CREATE INDEX failure_counts_by_last ON failure_counts(kind, last);"
     "CREATE INDEX failure_counts_by_touched ON failure_counts(kind, touched);"
     "CREATE TABLE verification_key("
     "  id integer PRIMARY KEY CHECK (id = 1),"
     "  key text NOT NULL);"},
};

int FamilyNumber(TAddressFamily family) { return family == TAddressFamily::IPv4 ? 4 : 6; }

const std::string kNodeColumns =
    "id, account_id, name, address, first_check_in, last_check_in, check_ins, published_name, dns_state,"
    " ipv4_address, ipv4_check_in, ipv6_address, ipv6_check_in";

// The node's columns (kNodeColumns) from column first on.
TNodeRecord ReadNode(const TPostgresResult& r, int row, int first = 0) {
  TNodeRecord n;
  n.Id = r.Int(row, first);
  n.AccountId = r.Int(row, first + 1);
  n.Name = r.Text(row, first + 2);
  n.Address = r.Text(row, first + 3);
  n.FirstCheckIn = r.Int(row, first + 4);
  n.LastCheckIn = r.Int(row, first + 5);
  n.CheckIns = r.Int(row, first + 6);
  n.PublishedName = r.Text(row, first + 7);
  n.DnsState = r.Text(row, first + 8);
  n.IPv4 = {r.Text(row, first + 9), r.Int(row, first + 10)};
  n.IPv6 = {r.Text(row, first + 11), r.Int(row, first + 12)};
  return n;
}

const std::string kWebhookColumns =
    "a.webhook_url, a.webhook_secret, a.webhook_failing_since, a.webhook_paused, a.webhook_error";
TWebhookRecord ReadWebhook(const TPostgresResult& r, int row, int first) {
  return {r.Text(row, first), r.Text(row, first + 1), r.Int(row, first + 2), r.Bool(row, first + 3),
          r.Text(row, first + 4)};
}

const std::string kFindNode =
    "SELECT " + kNodeColumns + " FROM nodes WHERE account_id = $1 AND lower(name) = lower($2) FOR NO KEY UPDATE";
const std::string kUpdateNode =
    "UPDATE nodes SET address = $2, last_check_in = $3, check_ins = check_ins + 1,"
    " ipv4_address = CASE WHEN $4 = 4 THEN $2 ELSE ipv4_address END,"
    " ipv4_check_in = CASE WHEN $4 = 4 THEN $3 ELSE ipv4_check_in END,"
    " ipv6_address = CASE WHEN $4 = 6 THEN $2 ELSE ipv6_address END,"
    " ipv6_check_in = CASE WHEN $4 = 6 THEN $3 ELSE ipv6_check_in END WHERE id = $1";
// Most check-ins find their node at the address it had: counted in one
// statement, one round trip. The row is locked first (old), so the old
// values returned are those this update replaced, whatever other instances
// do; it is counted (done) only when its family's address is the one given.
// The placeholders of the account's id, the node, the address, the time and
// the family are the caller's.
std::string RepeatCheckIn(const std::string& accountId, const std::string& node, const std::string& address,
                          const std::string& now, const std::string& family) {
  return "old AS (SELECT " + kNodeColumns + " FROM nodes WHERE account_id = " + accountId + " AND lower(name) = lower(" +
         node + ") FOR NO KEY UPDATE),"
         " done AS (UPDATE nodes n SET address = " + address + ", last_check_in = " + now +
         ", check_ins = n.check_ins + 1,"
         " ipv4_check_in = CASE WHEN " + family + " = 4 THEN " + now + " ELSE n.ipv4_check_in END,"
         " ipv6_check_in = CASE WHEN " + family + " = 6 THEN " + now + " ELSE n.ipv6_check_in END"
         " FROM old WHERE n.id = old.id"
         " AND (CASE WHEN " + family + " = 4 THEN old.ipv4_address ELSE old.ipv6_address END) = " + address +
         " RETURNING old.id, old.account_id, old.name, old.address, old.first_check_in, old.last_check_in,"
         " old.check_ins, old.published_name, old.dns_state, old.ipv4_address, old.ipv4_check_in, old.ipv6_address,"
         " old.ipv6_check_in)";
}
const std::string kRepeatCheckIn =
    "WITH " + RepeatCheckIn("$1::bigint", "$2::text", "$3::text", "$4::bigint", "$5::integer") + " SELECT * FROM done";
// The account read and its node's repeated check-in in one statement: the
// node is counted only when the account (a) is still the one the caller
// verified ($2 to $4). The account comes back either way, the node's old
// values after it when it was counted.
const std::string kAccountColumns = "id, name, password_hash, created, keys_only";
const std::string kRepeatCheckInAs =
    "WITH a AS (SELECT " + kAccountColumns + " FROM accounts WHERE lower(name) = lower($1::text)), " +
    RepeatCheckIn("(SELECT id FROM a WHERE id = $2::bigint AND password_hash = $3::text AND keys_only = $4::boolean)",
                  "$5::text", "$6::text", "$7::bigint", "$8::integer") +
    " SELECT a.id, a.name, a.password_hash, a.created, a.keys_only, done.* FROM a LEFT JOIN done ON true";

TAccountRecord ReadAccount(const TPostgresResult& r, int row) {
  TAccountRecord a;
  a.Id = r.Int(row, 0);
  a.Name = r.Text(row, 1);
  a.PasswordHash = r.Text(row, 2);
  a.Created = r.Int(row, 3);
  a.KeysOnly = r.Bool(row, 4);
  return a;
}

// The record of a repeated check-in from the node as it was before it
// (ReadNode's columns from first on).
TCheckInRecord Repeated(const TPostgresResult& r, int first, std::string_view address, TServiceTime now) {
  TCheckInRecord record;
  record.Node = ReadNode(r, 0, first);
  TFamilyRecord& mine = record.Node.Family(FamilyOf(address));
  record.PreviousAddress = mine.Address;
  record.PreviousFamilyCheckIn = mine.LastCheckIn;
  mine.LastCheckIn = now;
  record.Node.Address = address;
  record.Node.LastCheckIn = now;
  ++record.Node.CheckIns;
  return record;
}
}  // namespace

TPostgresStore::TPostgresStore(const std::string& uri, std::size_t connections)
    : pool_(uri, connections), sessions_(pool_), pipe_(uri) {
  TPostgresPool::TLease c = pool_.Take();
  Migrate(*c);
}

TPostgresStore::~TPostgresStore() = default;

std::string TPostgresStore::VerificationKey(std::string_view candidate) {
  auto c = Take();
  // Only the first caller of all writes, whichever instance it is.
  c->Run("INSERT INTO verification_key(id, key) VALUES(1, $1) ON CONFLICT DO NOTHING", TPostgresParams(candidate));
  const TPostgresResult r = c->Run("SELECT key FROM verification_key WHERE id = 1");
  if (r.Rows() != 1) throw EStoreCorrupt("the " + c->Where() + " keeps no key for remembered verifications");
  return r.Text(0, 0);
}

ISessionStore* TPostgresStore::SharedSessions() { return &sessions_; }

IFailureCounts* TPostgresStore::SharedFailureCounts(std::string_view kind, const TFailureRule& rule) {
  std::lock_guard<std::mutex> guard(failureLock_);
  auto it = failures_.find(kind);
  if (it == failures_.end())
    it = failures_.emplace(std::string(kind), std::make_unique<TPostgresFailureCounts>(pool_, std::string(kind), rule))
             .first;
  return it->second.get();
}

bool TPostgresStore::IsUri(const std::string& db) {
  return db.rfind("postgresql://", 0) == 0 || db.rfind("postgres://", 0) == 0;
}

int TPostgresStore::SchemaVersion() { return std::end(kMigrations)[-1].version; }

void TPostgresStore::Migrate(TPostgresConnection& c) {
  // Held for the session, not a transaction: the steps each commit on their own.
  c.Run("SELECT pg_advisory_lock($1)", TPostgresParams(MigrationLock));
  try {
    int version = 0;
    if (c.Run("SELECT to_regclass('pinmark_schema') IS NOT NULL").Bool(0, 0)) {
      const TPostgresResult v = c.Run("SELECT version FROM pinmark_schema WHERE id = 1");
      if (v.Rows() != 1) throw EStoreCorrupt("the " + c.Where() + " keeps no schema version; it was left as it is");
      version = static_cast<int>(v.Int(0, 0));
    } else if (c.Run("SELECT count(*) FROM pg_tables WHERE schemaname = current_schema()").Int(0, 0) > 0) {
      throw EStoreError("the " + c.Where() +
                        " holds tables of another program, not of pinmark-service; it was left as it is");
    }
    if (version > SchemaVersion())
      throw EStoreError("the " + c.Where() + " was written by a newer pinmark-service (schema " +
                        std::to_string(version) + ", this one knows up to " + std::to_string(SchemaVersion()) +
                        "); it was left as it is");
    for (const TMigration& m : kMigrations) {
      if (m.version <= version) continue;
      TPostgresTransaction t(c);
      c.Exec(m.sql);
      c.Exec("UPDATE pinmark_schema SET version = " + std::to_string(m.version));
      t.Commit();
    }
  } catch (...) {
    if (!c.Broken()) {
      try {
        c.Run("SELECT pg_advisory_unlock($1)", TPostgresParams(MigrationLock));
      } catch (const EStoreError&) {
        // Gone with the connection.
      }
    }
    throw;
  }
  c.Run("SELECT pg_advisory_unlock($1)", TPostgresParams(MigrationLock));
}

TPostgresPool::TLease TPostgresStore::Take() {
  TNoWaitScope::MayWait("a PostgreSQL query");
  return pool_.Take();
}

std::optional<TAccountRecord> TPostgresStore::FindAccount(std::string_view name) {
  auto c = Take();
  const TPostgresResult r =
      c->Run("SELECT " + kAccountColumns + " FROM accounts WHERE lower(name) = lower($1)", TPostgresParams(name));
  if (r.Rows() == 0) return std::nullopt;
  return ReadAccount(r, 0);
}

bool TPostgresStore::AddAccount(std::string_view name, std::string_view passwordHash, TServiceTime now) {
  auto c = Take();
  return c->Run("INSERT INTO accounts(name, password_hash, created) VALUES($1, $2, $3) ON CONFLICT DO NOTHING",
                TPostgresParams(name, passwordHash, now))
             .Changed() == 1;
}

bool TPostgresStore::SetPasswordHash(std::string_view name, std::string_view passwordHash) {
  auto c = Take();
  return c->Run("UPDATE accounts SET password_hash = $2 WHERE lower(name) = lower($1)",
                TPostgresParams(name, passwordHash))
             .Changed() == 1;
}

bool TPostgresStore::RemoveAccount(std::string_view name) {
  auto c = Take();
  // Nodes, history, keys and deliveries go with it (ON DELETE CASCADE), in the same statement.
  return c->Run("DELETE FROM accounts WHERE lower(name) = lower($1)", TPostgresParams(name)).Changed() == 1;
}

std::vector<TAccountRecord> TPostgresStore::Accounts() {
  auto c = Take();
  const TPostgresResult r =
      c->Run("SELECT a.id, a.name, a.password_hash, a.created, (SELECT count(*) FROM nodes WHERE account_id = a.id),"
             " a.keys_only FROM accounts a ORDER BY lower(a.name)");
  std::vector<TAccountRecord> all;
  for (int i = 0; i < r.Rows(); ++i)
    all.push_back({r.Int(i, 0), r.Text(i, 1), r.Text(i, 2), r.Int(i, 3), r.Int(i, 4), r.Bool(i, 5)});
  return all;
}

TCheckInRecord TPostgresStore::RecordCheckIn(std::int64_t accountId, std::string_view node, std::string_view address,
                                             TServiceTime now, std::size_t maxNodes) {
  auto c = Take();
  const TPostgresResult same =
      c->Run(kRepeatCheckIn, TPostgresParams(accountId, node, address, now, FamilyNumber(FamilyOf(address))));
  if (same.Rows() == 1) return Repeated(same, 0, address, now);
  return RecordChange(*c, accountId, node, address, now, maxNodes);
}

const std::string& TPostgresStore::RepeatCheckInAs() { return kRepeatCheckInAs; }

TPostgresParams TPostgresStore::RepeatCheckInAsParams(const TAccountRecord& expected, std::string_view node,
                                                      std::string_view address, TServiceTime now) {
  return TPostgresParams(expected.Name, expected.Id, expected.PasswordHash, expected.KeysOnly, node, address, now,
                         FamilyNumber(FamilyOf(address)));
}

TCheckInAs TPostgresStore::ReadRepeatCheckInAs(const TPostgresResult& r, const TAccountRecord& expected,
                                               std::string_view address, TServiceTime now) {
  TCheckInAs as;
  if (r.Rows() == 0) return as;
  as.Account = ReadAccount(r, 0);
  const int nodeColumns = 5;
  if (SameAccount(*as.Account, expected) && !r.IsNull(0, nodeColumns)) as.Record = Repeated(r, nodeColumns, address, now);
  return as;
}

TCheckInAs TPostgresStore::RecordCheckInAs(const TAccountRecord& expected, std::string_view node,
                                           std::string_view address, TServiceTime now, std::size_t maxNodes) {
  auto c = Take();
  TCheckInAs as =
      ReadRepeatCheckInAs(c->Run(kRepeatCheckInAs, RepeatCheckInAsParams(expected, node, address, now)), expected,
                          address, now);
  if (as.Account && SameAccount(*as.Account, expected) && !as.Record)
    as.Record = RecordChange(*c, as.Account->Id, node, address, now, maxNodes);
  return as;
}

TCheckInRecord TPostgresStore::RecordChange(TPostgresConnection& c, std::int64_t accountId, std::string_view node,
                                            std::string_view address, TServiceTime now, std::size_t maxNodes) {
  TCheckInRecord r;
  const TAddressFamily family = FamilyOf(address);
  // A new node, or a new address: what it changes is written in one transaction.
  TPostgresTransaction t(c);
  // The node's row stays locked to the end: check-ins of one node, from any
  // instance, follow one another, and so does its history.
  TPostgresResult found = c.Run(kFindNode, TPostgresParams(accountId, node));
  if (found.Rows() == 0) {
    // New nodes of an account are made one at a time, so that two made at
    // once do not both pass the limit.
    if (c.Run("SELECT 1 FROM accounts WHERE id = $1 FOR NO KEY UPDATE", TPostgresParams(accountId)).Rows() == 0)
      throw EStoreError("there is no account " + std::to_string(accountId) + " to check in to");
    r.Node.Family(family) = {std::string(address), now};
    // A statement of its own after the lock: its count sees every node made
    // before the lock was taken.
    const TPostgresResult made = c.Run(
        "INSERT INTO nodes(account_id, name, address, first_check_in, last_check_in, check_ins,"
        " ipv4_address, ipv4_check_in, ipv6_address, ipv6_check_in)"
        " SELECT $1::bigint, $2::text, $3::text, $4::bigint, $4::bigint, 1, $5::text, $6::bigint, $7::text, $8::bigint"
        " WHERE (SELECT count(*) FROM nodes WHERE account_id = $1::bigint) < $9::bigint"
        " ON CONFLICT (account_id, lower(name)) DO NOTHING RETURNING id",
        TPostgresParams(accountId, node, address, now, r.Node.IPv4.Address, r.Node.IPv4.LastCheckIn,
                        r.Node.IPv6.Address, r.Node.IPv6.LastCheckIn, maxNodes));
    if (made.Rows() == 1) {
      r.FirstCheckIn = true;
      r.Node.Id = made.Int(0, 0);
      r.Node.AccountId = accountId;
      r.Node.Name = node;
      r.Node.Address = address;
      r.Node.FirstCheckIn = r.Node.LastCheckIn = now;
      r.Node.CheckIns = 1;
      t.Commit();
      return r;
    }
    // Another check-in made the node meanwhile, or the account has maxNodes.
    found = c.Run(kFindNode, TPostgresParams(accountId, node));
    if (found.Rows() == 0) {
      TCheckInRecord refused;
      refused.Outcome = TCheckInRecord::TooManyNodes;
      return refused;
    }
  }
  r.Node = ReadNode(found, 0);
  c.Run(kUpdateNode, TPostgresParams(r.Node.Id, address, now, FamilyNumber(family)));
  TFamilyRecord& mine = r.Node.Family(family);
  r.PreviousAddress = mine.Address;
  r.PreviousFamilyCheckIn = mine.LastCheckIn;
  if (mine.Address != address) {
    r.AddressChanged = true;
    c.Run("INSERT INTO history(node_id, time, old_address, new_address, family) VALUES($1, $2, $3, $4, $5)",
          TPostgresParams(r.Node.Id, now, r.PreviousAddress, address, FamilyNumber(family)));
    c.Run("DELETE FROM history WHERE node_id = $1 AND family = $3 AND id <= (SELECT id FROM history"
          " WHERE node_id = $1 AND family = $3 ORDER BY id DESC LIMIT 1 OFFSET $2)",
          TPostgresParams(r.Node.Id, HistoryKept, FamilyNumber(family)));
  }
  mine = {std::string(address), now};
  r.Node.Address = address;
  r.Node.LastCheckIn = now;
  ++r.Node.CheckIns;
  t.Commit();
  return r;
}

std::vector<TNodeRecord> TPostgresStore::Nodes(std::int64_t accountId) {
  auto c = Take();
  // Both reads see one moment.
  TPostgresTransaction t(*c, "BEGIN ISOLATION LEVEL REPEATABLE READ READ ONLY");
  const TPostgresResult n =
      c->Run("SELECT " + kNodeColumns + " FROM nodes WHERE account_id = $1 ORDER BY lower(name)",
             TPostgresParams(accountId));
  std::vector<TNodeRecord> nodes;
  std::map<std::int64_t, std::size_t> index;
  for (int i = 0; i < n.Rows(); ++i) {
    index[n.Int(i, 0)] = nodes.size();
    nodes.push_back(ReadNode(n, i));
  }
  const TPostgresResult h =
      c->Run("SELECT h.node_id, h.time, h.old_address, h.new_address, h.family FROM history h"
             " JOIN nodes n ON n.id = h.node_id WHERE n.account_id = $1 ORDER BY h.node_id, h.id DESC",
             TPostgresParams(accountId));
  for (int i = 0; i < h.Rows(); ++i) {
    auto it = index.find(h.Int(i, 0));
    if (it != index.end())
      nodes[it->second].History.push_back({h.Int(i, 1), h.Text(i, 2), h.Text(i, 3),
                                           h.Int(i, 4) == 6 ? TAddressFamily::IPv6 : TAddressFamily::IPv4});
  }
  t.Commit();
  return nodes;
}

bool TPostgresStore::SetNodeDns(std::int64_t nodeId, std::string_view publishedName, std::string_view dnsState) {
  auto c = Take();
  return c->Run("UPDATE nodes SET published_name = $2, dns_state = $3 WHERE id = $1",
                TPostgresParams(nodeId, publishedName, dnsState))
             .Changed() == 1;
}

std::optional<TNodeRecord> TPostgresStore::FindNode(std::int64_t nodeId) {
  auto c = Take();
  const TPostgresResult r = c->Run("SELECT " + kNodeColumns + " FROM nodes WHERE id = $1", TPostgresParams(nodeId));
  if (r.Rows() == 0) return std::nullopt;
  return ReadNode(r, 0);
}

bool TPostgresStore::RemoveNode(std::int64_t accountId, std::int64_t nodeId) {
  auto c = Take();
  return c->Run("DELETE FROM nodes WHERE id = $1 AND account_id = $2", TPostgresParams(nodeId, accountId))
             .Changed() == 1;
}

bool TPostgresStore::SetWebhook(std::string_view account, std::string_view url, std::string_view secret) {
  auto c = Take();
  TPostgresTransaction t(*c);
  const TPostgresResult r = c->Run(
      "UPDATE accounts SET webhook_url = $2, webhook_secret = CASE WHEN $3::text = '' THEN webhook_secret ELSE $3::text END,"
      " webhook_failing_since = 0, webhook_paused = false, webhook_error = '' WHERE lower(name) = lower($1)"
      " RETURNING id",
      TPostgresParams(account, url, secret));
  if (r.Rows() != 1) return false;
  c->Run("DELETE FROM deliveries WHERE account_id = $1", TPostgresParams(r.Int(0, 0)));
  t.Commit();
  return true;
}

std::optional<TWebhookRecord> TPostgresStore::Webhook(std::int64_t accountId) {
  auto c = Take();
  const TPostgresResult r = c->Run("SELECT " + kWebhookColumns + " FROM accounts a WHERE a.id = $1",
                                   TPostgresParams(accountId));
  if (r.Rows() == 0) return std::nullopt;
  return ReadWebhook(r, 0, 0);
}

bool TPostgresStore::AddDelivery(std::int64_t accountId, std::string_view event, std::string_view body,
                                 TServiceTime now, std::int64_t staleNodeId, TServiceTime staleCheckIn) {
  auto c = Take();
  TPostgresTransaction t(*c);
  if (c->Run("INSERT INTO deliveries(account_id, event, body, created, due) SELECT id, $2::text, $3::text, $4::bigint, $4::bigint FROM accounts"
             " WHERE id = $1 AND webhook_url <> '' AND NOT webhook_paused",
             TPostgresParams(accountId, event, body, now))
          .Changed() != 1)
    return false;
  c->Run("DELETE FROM deliveries WHERE account_id = $1 AND id <= (SELECT id FROM deliveries WHERE account_id = $1"
         " ORDER BY id DESC LIMIT 1 OFFSET $2)",
         TPostgresParams(accountId, DeliveriesKept));
  if (staleNodeId != 0)
    c->Run("INSERT INTO stale_told(node_id, last_check_in) VALUES($1, $2)"
           " ON CONFLICT (node_id) DO UPDATE SET last_check_in = excluded.last_check_in",
           TPostgresParams(staleNodeId, staleCheckIn));
  t.Commit();
  return true;
}

std::optional<TDeliveryRecord> TPostgresStore::NextDelivery() {
  auto c = Take();
  const TPostgresResult r =
      c->Run("SELECT d.id, d.account_id, a.name, d.event, d.body, d.created, d.due, d.attempts, " + kWebhookColumns +
             " FROM deliveries d JOIN accounts a ON a.id = d.account_id"
             " WHERE a.webhook_url <> '' AND NOT a.webhook_paused ORDER BY d.due, d.id LIMIT 1");
  if (r.Rows() == 0) return std::nullopt;
  return TDeliveryRecord{r.Int(0, 0), r.Int(0, 1), r.Text(0, 2), r.Text(0, 3),
                         r.Text(0, 4), r.Int(0, 5), r.Int(0, 6), static_cast<int>(r.Int(0, 7)),
                         ReadWebhook(r, 0, 8)};
}

void TPostgresStore::DeliveryDone(std::int64_t deliveryId) {
  auto c = Take();
  TPostgresTransaction t(*c);
  c->Run("UPDATE accounts SET webhook_failing_since = 0, webhook_error = ''"
         " WHERE id = (SELECT account_id FROM deliveries WHERE id = $1)",
         TPostgresParams(deliveryId));
  c->Run("DELETE FROM deliveries WHERE id = $1", TPostgresParams(deliveryId));
  t.Commit();
}

void TPostgresStore::DeliveryFailed(std::int64_t deliveryId, TServiceTime due, std::string_view error,
                                    TServiceTime now, bool pause) {
  auto c = Take();
  TPostgresTransaction t(*c);
  c->Run("UPDATE accounts SET webhook_failing_since = CASE WHEN webhook_failing_since = 0 THEN $3::bigint"
         " ELSE webhook_failing_since END, webhook_error = $2, webhook_paused = webhook_paused OR $4::boolean"
         " WHERE id = (SELECT account_id FROM deliveries WHERE id = $1)",
         TPostgresParams(deliveryId, error, now, pause));
  c->Run("UPDATE deliveries SET attempts = attempts + 1, due = $2 WHERE id = $1", TPostgresParams(deliveryId, due));
  t.Commit();
}

std::vector<TStaleNode> TPostgresStore::UntoldStaleNodes(TServiceTime before, std::size_t limit) {
  auto c = Take();
  const TPostgresResult r = c->Run(
      "SELECT " + kNodeColumns +
          ", (SELECT name FROM accounts WHERE accounts.id = nodes.account_id) FROM nodes"
          " WHERE account_id IN (SELECT id FROM accounts WHERE webhook_url <> '' AND NOT webhook_paused)"
          " AND last_check_in < $1 AND NOT EXISTS (SELECT 1 FROM stale_told t WHERE t.node_id = nodes.id"
          " AND t.last_check_in = nodes.last_check_in) ORDER BY id LIMIT $2",
      TPostgresParams(before, limit));
  std::vector<TStaleNode> stale;
  for (int i = 0; i < r.Rows(); ++i) {
    TNodeRecord node = ReadNode(r, i);
    stale.push_back({node.AccountId, r.Text(i, 13), std::move(node)});
  }
  return stale;
}

std::string TPostgresStore::NodeKeySecret(std::string_view candidate) {
  auto c = Take();
  // Only the first caller of all writes, whichever instance it is.
  c->Run("INSERT INTO node_key_secret(id, secret) VALUES(1, $1) ON CONFLICT DO NOTHING", TPostgresParams(candidate));
  const TPostgresResult r = c->Run("SELECT secret FROM node_key_secret WHERE id = 1");
  if (r.Rows() != 1) throw EStoreCorrupt("the " + c->Where() + " keeps no secret for node keys");
  return r.Text(0, 0);
}

bool TPostgresStore::SetNodeKey(std::int64_t accountId, std::string_view node, std::string_view keyHash,
                                TServiceTime now) {
  auto c = Take();
  return c->Run("INSERT INTO node_keys(account_id, node, key_hash, made) SELECT id, $2::text, $3::text, $4::bigint FROM accounts"
                " WHERE id = $1 ON CONFLICT (account_id, lower(node))"
                " DO UPDATE SET node = excluded.node, key_hash = excluded.key_hash, made = excluded.made",
                TPostgresParams(accountId, node, keyHash, now))
             .Changed() == 1;
}

bool TPostgresStore::RemoveNodeKey(std::int64_t accountId, std::string_view node) {
  auto c = Take();
  return c->Run("DELETE FROM node_keys WHERE account_id = $1 AND lower(node) = lower($2)",
                TPostgresParams(accountId, node))
             .Changed() == 1;
}

std::optional<TNodeKeyRecord> TPostgresStore::FindNodeKey(std::int64_t accountId, std::string_view node) {
  auto c = Take();
  const TPostgresResult r =
      c->Run("SELECT node, key_hash, made FROM node_keys WHERE account_id = $1 AND lower(node) = lower($2)",
             TPostgresParams(accountId, node));
  if (r.Rows() == 0) return std::nullopt;
  return TNodeKeyRecord{r.Text(0, 0), r.Text(0, 1), r.Int(0, 2)};
}

std::vector<TNodeKeyRecord> TPostgresStore::NodeKeys(std::int64_t accountId) {
  auto c = Take();
  const TPostgresResult r = c->Run(
      "SELECT node, key_hash, made FROM node_keys WHERE account_id = $1 ORDER BY lower(node)", TPostgresParams(accountId));
  std::vector<TNodeKeyRecord> all;
  for (int i = 0; i < r.Rows(); ++i) all.push_back({r.Text(i, 0), r.Text(i, 1), r.Int(i, 2)});
  return all;
}

bool TPostgresStore::SetKeysOnly(std::string_view name, bool keysOnly) {
  auto c = Take();
  return c->Run("UPDATE accounts SET keys_only = $2 WHERE lower(name) = lower($1)", TPostgresParams(name, keysOnly))
             .Changed() == 1;
}

TNodeCounts TPostgresStore::CountNodes(TServiceTime staleBefore) {
  auto c = Take();
  const TPostgresResult r =
      c->Run("SELECT count(*), count(*) FILTER (WHERE last_check_in < $1) FROM nodes", TPostgresParams(staleBefore));
  return {r.Int(0, 0), r.Int(0, 1)};
}

std::optional<TDeliveryRecord> TPostgresStore::ClaimDelivery(TServiceTime now, TServiceTime leaseEnd) {
  auto c = Take();
  // Only the delivery's row is locked (FOR UPDATE OF d): the account's row
  // stays free for check-ins. The answer carries the Due it had before.
  const TPostgresResult r = c->Run(
      "WITH next AS (SELECT d.id, d.due FROM deliveries d JOIN accounts a ON a.id = d.account_id"
      " WHERE a.webhook_url <> '' AND NOT a.webhook_paused AND d.due <= $1 ORDER BY d.due, d.id LIMIT 1"
      " FOR UPDATE OF d SKIP LOCKED),"
      " leased AS (UPDATE deliveries d SET due = $2 FROM next WHERE d.id = next.id"
      " RETURNING d.id, d.account_id, d.event, d.body, d.created, next.due, d.attempts)"
      " SELECT l.id, l.account_id, a.name, l.event, l.body, l.created, l.due, l.attempts, " +
          kWebhookColumns + " FROM leased l JOIN accounts a ON a.id = l.account_id",
      TPostgresParams(now, leaseEnd));
  if (r.Rows() == 0) return std::nullopt;
  return TDeliveryRecord{r.Int(0, 0), r.Int(0, 1), r.Text(0, 2), r.Text(0, 3),
                         r.Text(0, 4), r.Int(0, 5), r.Int(0, 6), static_cast<int>(r.Int(0, 7)),
                         ReadWebhook(r, 0, 8)};
}

bool TPostgresStore::RunAlone(std::string_view task, const std::function<void()>& work) {
  TNoWaitScope::MayWait("a PostgreSQL lock");
  return PostgresRunAlone(pool_, task, work);
}
