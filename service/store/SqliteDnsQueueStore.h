// The DNS update queue kept in the service's SQLite file, beside the nodes
// (table dns_queue), so that an update not yet sent when the service stops
// is sent after it starts again.
//
// It works through the store's own connection and lock (TSqliteStore::
// WithDatabase): one writer for the whole file, and no second connection
// waiting on the first one's locks. Its statements are prepared once per
// connection and kept with it (TSqliteDatabase::Cached): when the store
// opens its file anew (after it was read-only), they go with the old
// connection and are prepared again on the new one.
//
// Guarantees: each Save is one statement, committed whole or not at all;
// every failure raises the store's exceptions (EStoreUnavailable while the
// file cannot be written, EStoreCorrupt for a row no queue could have
// written) and leaves the table as it was.
#pragma once

#include "service/model/DnsQueueStore.h"
#include "service/store/SqliteStore.h"

class TSqliteDnsQueueStore : public IDnsQueueStore {
 public:
  // The store must outlive this one.
  explicit TSqliteDnsQueueStore(TSqliteStore& store) : store_(store) {}

  std::optional<TDnsQueueEntry> Find(const std::string& name, TDnsRecordType type) override;
  void Save(const TDnsQueueEntry& entry) override;
  std::optional<TDnsQueueEntry> Earliest() override;
  std::vector<TDnsQueueEntry> After(const std::string& name, TDnsRecordType type, std::size_t limit) override;
  // Kept in a table of its own (dns_settings), made when first written: a
  // file without it is read as "" and stays readable by older services.
  std::string PublishedTo() override;
  void SetPublishedTo(const std::string& server) override;
  TDnsBacklog Backlog() override;
  // Each in one write transaction: the account commands withdraw names from
  // the same queue while the service runs.
  void Change(const std::string& name, TDnsRecordType type, const TChange& change) override;
  std::optional<TDnsQueueEntry> Claim(TServiceTime now, TServiceTime leaseEnd) override;

 private:
  TSqliteStore& store_;
};
