#include "service/store/SqliteDnsQueueStore.h"

#include <algorithm>
#include <cstdint>

#include "service/store/DnsQueueColumns.h"

namespace {
const std::string kColumns = kDnsQueueColumns;
const std::string kFind = std::string("SELECT ") + kColumns + " FROM dns_queue WHERE name = ?1 AND type = ?2";
const std::string kSave =
    std::string("INSERT OR REPLACE INTO dns_queue(") + kColumns + ") VALUES(?1, ?2, ?3, ?4, ?5, ?6, ?7, ?8, ?9, ?10)";
const std::string kEarliest =
    std::string("SELECT ") + kColumns + " FROM dns_queue WHERE due_ms IS NOT NULL ORDER BY due_ms LIMIT 1";
const std::string kAfter = std::string("SELECT ") + kColumns +
                           " FROM dns_queue WHERE (name, type) > (?1, ?2) ORDER BY name, type LIMIT ?3";
const char kHasSettings[] = "SELECT count(*) FROM sqlite_schema WHERE type = 'table' AND name = 'dns_settings'";
const char kMakeSettings[] =
    "CREATE TABLE IF NOT EXISTS dns_settings(key TEXT PRIMARY KEY, value TEXT NOT NULL) WITHOUT ROWID";
const char kPublishedTo[] = "SELECT value FROM dns_settings WHERE key = 'published_to'";
const char kSetPublishedTo[] = "INSERT OR REPLACE INTO dns_settings(key, value) VALUES('published_to', ?1)";

TDnsQueueEntry ReadEntry(const TSqliteStatement& s) {
  TDnsQueueEntry e;
  e.Name = s.Text(0);
  e.Type = DnsTypeFromText(s.Text(1), e.Name);
  e.Address = s.Text(2);
  e.Version = s.Int(3);
  e.PublishedAddress = s.Text(4);
  e.State = DnsStateFromText(s.Text(5), e.Name);
  e.Reason = s.Text(6);
  e.Since = s.Int(7);
  e.Attempts = static_cast<int>(s.Int(8));
  if (!s.IsNull(9)) e.Due = s.Int(9);
  return e;
}
}  // namespace

namespace {
std::optional<TDnsQueueEntry> FindIn(TSqliteDatabase& db, const std::string& name, TDnsRecordType type) {
  TSqliteUse s(db.Cached(kFind));
  s->Bind(1, name).Bind(2, std::string_view(DnsRecordTypeName(type)));
  if (!s->Step()) return std::nullopt;
  return ReadEntry(*s);
}

void SaveIn(TSqliteDatabase& db, const TDnsQueueEntry& e) {
  TSqliteUse s(db.Cached(kSave));
  s->Bind(1, e.Name)
      .Bind(2, std::string_view(DnsRecordTypeName(e.Type)))
      .Bind(3, e.Address)
      .Bind(4, e.Version)
      .Bind(5, e.PublishedAddress)
      .Bind(6, std::string_view(DnsStateName(e.State)))
      .Bind(7, e.Reason)
      .Bind(8, e.Since)
      .Bind(9, static_cast<std::int64_t>(e.Attempts));
  // Left unbound, the due time is NULL: nothing to send.
  if (e.Due) s->Bind(10, *e.Due);
  s->Run();
}
}  // namespace

std::optional<TDnsQueueEntry> TSqliteDnsQueueStore::Find(const std::string& name, TDnsRecordType type) {
  return store_.WithDatabase([&](TSqliteDatabase& db) { return FindIn(db, name, type); });
}

void TSqliteDnsQueueStore::Save(const TDnsQueueEntry& e) {
  store_.WithDatabase([&](TSqliteDatabase& db) { SaveIn(db, e); }, true);
}

void TSqliteDnsQueueStore::Change(const std::string& name, TDnsRecordType type, const TChange& change) {
  store_.WithDatabase(
      [&](TSqliteDatabase& db) {
        TSqliteTransaction transaction(db);
        std::optional<TDnsQueueEntry> entry = FindIn(db, name, type);
        if (!change(entry) || !entry) return;
        SaveIn(db, *entry);
        transaction.Commit();
      },
      true);
}

std::optional<TDnsQueueEntry> TSqliteDnsQueueStore::Claim(TServiceTime now, TServiceTime leaseEnd) {
  return store_.WithDatabase(
      [&](TSqliteDatabase& db) -> std::optional<TDnsQueueEntry> {
        TSqliteTransaction transaction(db);
        std::optional<TDnsQueueEntry> entry;
        {
          TSqliteUse s(db.Cached(kEarliest));
          if (s->Step()) entry = ReadEntry(*s);
        }
        if (!entry || !entry->Due || *entry->Due > now) return std::nullopt;
        TDnsQueueEntry leased = *entry;
        leased.Due = leaseEnd;
        SaveIn(db, leased);
        transaction.Commit();
        return entry;
      },
      true);
}

std::optional<TDnsQueueEntry> TSqliteDnsQueueStore::Earliest() {
  return store_.WithDatabase([&](TSqliteDatabase& db) -> std::optional<TDnsQueueEntry> {
    TSqliteUse s(db.Cached(kEarliest));
    if (!s->Step()) return std::nullopt;
    return ReadEntry(*s);
  });
}

std::vector<TDnsQueueEntry> TSqliteDnsQueueStore::After(const std::string& name, TDnsRecordType type,
                                                        std::size_t limit) {
  return store_.WithDatabase([&](TSqliteDatabase& db) {
    std::vector<TDnsQueueEntry> page;
    TSqliteUse s(db.Cached(kAfter));
    s->Bind(1, name)
        .Bind(2, std::string_view(DnsRecordTypeName(type)))
        .Bind(3, static_cast<std::int64_t>(std::min<std::size_t>(limit, INT64_MAX)));
    while (s->Step()) page.push_back(ReadEntry(*s));
    return page;
  });
}

std::string TSqliteDnsQueueStore::PublishedTo() {
  return store_.WithDatabase([&](TSqliteDatabase& db) -> std::string {
    if (db.QueryInt(kHasSettings) == 0) return "";
    TSqliteStatement s = db.Prepare(kPublishedTo);
    return s.Step() ? s.Text(0) : "";
  });
}

void TSqliteDnsQueueStore::SetPublishedTo(const std::string& server) {
  store_.WithDatabase(
      [&](TSqliteDatabase& db) {
        db.Exec(kMakeSettings);
        TSqliteStatement s = db.Prepare(kSetPublishedTo);
        s.Bind(1, server);
        s.Run();
      },
      true);
}

TDnsBacklog TSqliteDnsQueueStore::Backlog() {
  return store_.WithDatabase([&](TSqliteDatabase& db) {
    TSqliteUse s(db.Cached("SELECT count(*), min(since_ms) FROM dns_queue WHERE state <> 'published'"));
    TDnsBacklog backlog;
    if (s->Step()) {
      backlog.Waiting = s->Int(0);
      if (!s->IsNull(1)) backlog.OldestSince = s->Int(1);
    }
    return backlog;
  });
}
