#include "service/store/PostgresDnsQueueStore.h"

#include <algorithm>
#include <cstdint>

#include "service/store/DnsQueueColumns.h"

#include "runtime/NoWaitScope.h"

namespace {
const std::string kColumns = kDnsQueueColumns;

TDnsQueueEntry ReadEntry(const TPostgresResult& r, int row) {
  TDnsQueueEntry e;
  e.Name = r.Text(row, 0);
  e.Type = DnsTypeFromText(r.Text(row, 1), e.Name);
  e.Address = r.Text(row, 2);
  e.Version = r.Int(row, 3);
  e.PublishedAddress = r.Text(row, 4);
  e.State = DnsStateFromText(r.Text(row, 5), e.Name);
  e.Reason = r.Text(row, 6);
  e.Since = r.Int(row, 7);
  e.Attempts = static_cast<int>(r.Int(row, 8));
  if (!r.IsNull(row, 9)) e.Due = r.Int(row, 9);
  return e;
}

std::optional<TDnsQueueEntry> FindOn(TPostgresConnection& c, const std::string& name, TDnsRecordType type,
                                     const char* lock) {
  const TPostgresResult r =
      c.Run("SELECT " + kColumns + " FROM dns_queue WHERE name = $1 AND type = $2" + lock,
            TPostgresParams(name, DnsRecordTypeName(type)));
  if (r.Rows() == 0) return std::nullopt;
  return ReadEntry(r, 0);
}

void SaveOn(TPostgresConnection& c, const TDnsQueueEntry& e) {
  TPostgresParams params(e.Name, DnsRecordTypeName(e.Type), e.Address, e.Version, e.PublishedAddress,
                         DnsStateName(e.State), e.Reason, e.Since, e.Attempts);
  if (e.Due)
    params.Add(*e.Due);
  else
    params.AddNull();
  c.Run("INSERT INTO dns_queue(" + kColumns +
             ") VALUES($1, $2, $3, $4, $5, $6, $7, $8, $9, $10) ON CONFLICT (name, type) DO UPDATE SET"
             " address = excluded.address, version = excluded.version,"
             " published_address = excluded.published_address, state = excluded.state, reason = excluded.reason,"
             " since_ms = excluded.since_ms, attempts = excluded.attempts, due_ms = excluded.due_ms",
         params);
}
}  // namespace

TPostgresPool::TLease TPostgresDnsQueueStore::Take() {
  TNoWaitScope::MayWait("a PostgreSQL query");
  return pool_.Take();
}

std::optional<TDnsQueueEntry> TPostgresDnsQueueStore::Find(const std::string& name, TDnsRecordType type) {
  auto c = Take();
  return FindOn(*c, name, type, "");
}

void TPostgresDnsQueueStore::Save(const TDnsQueueEntry& e) {
  auto c = Take();
  SaveOn(*c, e);
}

std::optional<TDnsQueueEntry> TPostgresDnsQueueStore::Earliest() {
  auto c = Take();
  const TPostgresResult r =
      c->Run("SELECT " + kColumns + " FROM dns_queue WHERE due_ms IS NOT NULL ORDER BY due_ms LIMIT 1");
  if (r.Rows() == 0) return std::nullopt;
  return ReadEntry(r, 0);
}

std::vector<TDnsQueueEntry> TPostgresDnsQueueStore::After(const std::string& name, TDnsRecordType type,
                                                          std::size_t limit) {
  auto c = Take();
  const TPostgresResult r =
      c->Run("SELECT " + kColumns + " FROM dns_queue WHERE (name, type) > ($1, $2) ORDER BY name, type LIMIT $3",
             TPostgresParams(name, DnsRecordTypeName(type), std::min<std::size_t>(limit, INT64_MAX)));
  std::vector<TDnsQueueEntry> page;
  for (int i = 0; i < r.Rows(); ++i) page.push_back(ReadEntry(r, i));
  return page;
}

std::string TPostgresDnsQueueStore::PublishedTo() {
  auto c = Take();
  const TPostgresResult r = c->Run("SELECT value FROM dns_settings WHERE key = 'published_to'");
  return r.Rows() == 0 ? "" : r.Text(0, 0);
}

void TPostgresDnsQueueStore::SetPublishedTo(const std::string& server) {
  auto c = Take();
  c->Run("INSERT INTO dns_settings(key, value) VALUES('published_to', $1)"
         " ON CONFLICT (key) DO UPDATE SET value = excluded.value",
         TPostgresParams(server));
}

TDnsBacklog TPostgresDnsQueueStore::Backlog() {
  auto c = Take();
  const TPostgresResult r = c->Run("SELECT count(*), min(since_ms) FROM dns_queue WHERE state <> 'published'");
  TDnsBacklog backlog;
  backlog.Waiting = r.Int(0, 0);
  if (!r.IsNull(0, 1)) backlog.OldestSince = r.Int(0, 1);
  return backlog;
}

std::optional<TDnsQueueEntry> TPostgresDnsQueueStore::Claim(TServiceTime now, TServiceTime leaseEnd) {
  auto c = Take();
  // The row is locked as it is chosen, and rows another claimer holds are
  // passed over; the answer is the row as it was, its Due before the lease.
  const TPostgresResult r = c->Run(
      "WITH next AS (SELECT " + kColumns +
          " FROM dns_queue WHERE due_ms <= $1 ORDER BY due_ms LIMIT 1 FOR UPDATE SKIP LOCKED),"
          " leased AS (UPDATE dns_queue q SET due_ms = $2 FROM next WHERE q.name = next.name AND q.type = next.type"
          " RETURNING q.name, q.type)"
          " SELECT " + kColumns + " FROM next JOIN leased USING (name, type)",
      TPostgresParams(now, leaseEnd));
  if (r.Rows() == 0) return std::nullopt;
  return ReadEntry(r, 0);
}

void TPostgresDnsQueueStore::Change(const std::string& name, TDnsRecordType type, const TChange& change) {
  auto c = Take();
  TPostgresTransaction t(*c);
  std::optional<TDnsQueueEntry> entry = FindOn(*c, name, type, " FOR UPDATE");
  if (!entry) {
    // No row to lock: two instances would both find none and the second's
    // write would undo the first's. A lock of the key, held to the commit,
    // makes the second wait and then read what the first wrote.
    c->Run("SELECT pg_advisory_xact_lock($1)",
           TPostgresParams(PostgresLockKey("dns_queue " + name + " " + DnsRecordTypeName(type))));
    entry = FindOn(*c, name, type, " FOR UPDATE");
  }
  if (change(entry) && entry) SaveOn(*c, *entry);
  t.Commit();
}

bool TPostgresDnsQueueStore::RunAlone(const std::string& task, const std::function<void()>& work) {
  TNoWaitScope::MayWait("a PostgreSQL lock");
  return PostgresRunAlone(pool_, task, work);
}
