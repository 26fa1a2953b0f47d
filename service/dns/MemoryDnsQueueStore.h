// The DNS update queue's entries in memory: for tests, benchmarks, and a
// service run without a database. Nothing survives the process.
#pragma once

#include <map>
#include <set>
#include <tuple>
#include <utility>

#include "service/model/DnsQueueStore.h"

class TMemoryDnsQueueStore : public IDnsQueueStore {
 public:
  std::optional<TDnsQueueEntry> Find(const std::string& name, TDnsRecordType type) override;
  void Save(const TDnsQueueEntry& entry) override;
  std::optional<TDnsQueueEntry> Earliest() override;
  std::vector<TDnsQueueEntry> After(const std::string& name, TDnsRecordType type, std::size_t limit) override;
  std::string PublishedTo() override { return publishedTo_; }
  void SetPublishedTo(const std::string& server) override { publishedTo_ = server; }
  TDnsBacklog Backlog() override;

  std::size_t Size() const { return entries_.size(); }

 private:
  using TKey = std::pair<std::string, TDnsRecordType>;
  std::map<TKey, TDnsQueueEntry> entries_;
  std::set<std::tuple<TServiceTime, std::string, TDnsRecordType>> due_;  // the index on Due
  std::string publishedTo_;
};
