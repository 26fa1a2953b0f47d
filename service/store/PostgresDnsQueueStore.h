// The DNS update queue kept in the service's PostgreSQL database (table
// dns_queue, made by the store's migrations), through the store's pool of
// connections. Each call is one statement or one transaction, committed
// whole or not at all, with the store's exceptions; on a thread that must
// not wait each raises EWouldWait before it does anything.
//
// Several service instances may share the queue: Claim locks the row it
// takes with FOR UPDATE SKIP LOCKED, so that concurrent claimers pass over
// it, and leases it by its Due; Change holds the row's lock (or, for a key
// not there yet, a transaction advisory lock of the key) from its read to
// its write.
#pragma once

#include "service/model/DnsQueueStore.h"
#include "service/store/PostgresStore.h"

class TPostgresDnsQueueStore : public IDnsQueueStore {
 public:
  // The store must outlive this one.
  explicit TPostgresDnsQueueStore(TPostgresStore& store) : pool_(store.Pool()) {}

  std::optional<TDnsQueueEntry> Find(const std::string& name, TDnsRecordType type) override;
  void Save(const TDnsQueueEntry& entry) override;
  std::optional<TDnsQueueEntry> Earliest() override;
  std::vector<TDnsQueueEntry> After(const std::string& name, TDnsRecordType type, std::size_t limit) override;
  std::string PublishedTo() override;
  void SetPublishedTo(const std::string& server) override;
  TDnsBacklog Backlog() override;
  std::optional<TDnsQueueEntry> Claim(TServiceTime now, TServiceTime leaseEnd) override;
  void Change(const std::string& name, TDnsRecordType type, const TChange& change) override;
  bool Shared() const override { return true; }
  bool RunAlone(const std::string& task, const std::function<void()>& work) override;

 private:
  TPostgresPool::TLease Take();
  TPostgresPool& pool_;
};
