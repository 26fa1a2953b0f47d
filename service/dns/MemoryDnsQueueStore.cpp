#include "service/dns/MemoryDnsQueueStore.h"

std::optional<TDnsQueueEntry> TMemoryDnsQueueStore::Find(const std::string& name, TDnsRecordType type) {
  const auto it = entries_.find({name, type});
  if (it == entries_.end()) return std::nullopt;
  return it->second;
}

void TMemoryDnsQueueStore::Save(const TDnsQueueEntry& entry) {
  auto [it, inserted] = entries_.try_emplace({entry.Name, entry.Type}, entry);
  if (!inserted) {
    if (it->second.Due) due_.erase({*it->second.Due, entry.Name, entry.Type});
    it->second = entry;
  }
  if (entry.Due) due_.insert({*entry.Due, entry.Name, entry.Type});
}

std::optional<TDnsQueueEntry> TMemoryDnsQueueStore::Earliest() {
  if (due_.empty()) return std::nullopt;
  const auto& [due, name, type] = *due_.begin();
  return entries_.at({name, type});
}

std::vector<TDnsQueueEntry> TMemoryDnsQueueStore::After(const std::string& name, TDnsRecordType type,
                                                        std::size_t limit) {
  std::vector<TDnsQueueEntry> page;
  for (auto it = entries_.upper_bound({name, type}); it != entries_.end() && page.size() < limit; ++it)
    page.push_back(it->second);
  return page;
}

TDnsBacklog TMemoryDnsQueueStore::Backlog() {
  TDnsBacklog backlog;
  for (const auto& [key, entry] : entries_) {
    if (entry.State == TDnsState::Published) continue;
    ++backlog.Waiting;
    if (!backlog.OldestSince || entry.Since < *backlog.OldestSince) backlog.OldestSince = entry.Since;
  }
  return backlog;
}
