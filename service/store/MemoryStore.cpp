#include "service/store/MemoryStore.h"

#include "runtime/SysUtils.h"

std::optional<TAccountRecord> TMemoryStore::FindAccount(std::string_view name) {
  std::lock_guard<std::mutex> guard(lock_);
  auto it = accounts_.find(LowerCase(name));
  if (it == accounts_.end()) return std::nullopt;
  return it->second;
}

bool TMemoryStore::AddAccount(std::string_view name, std::string_view passwordHash, TServiceTime now) {
  std::lock_guard<std::mutex> guard(lock_);
  TAccountRecord account{lastId_ + 1, std::string(name), std::string(passwordHash), now, 0};
  if (!accounts_.emplace(LowerCase(name), account).second) return false;
  ++lastId_;
  return true;
}

bool TMemoryStore::SetPasswordHash(std::string_view name, std::string_view passwordHash) {
  std::lock_guard<std::mutex> guard(lock_);
  auto it = accounts_.find(LowerCase(name));
  if (it == accounts_.end()) return false;
  it->second.PasswordHash = passwordHash;
  return true;
}

bool TMemoryStore::RemoveAccount(std::string_view name) {
  std::lock_guard<std::mutex> guard(lock_);
  auto it = accounts_.find(LowerCase(name));
  if (it == accounts_.end()) return false;
  nodes_.erase(it->second.Id);
  accounts_.erase(it);
  return true;
}

std::vector<TAccountRecord> TMemoryStore::Accounts() {
  std::lock_guard<std::mutex> guard(lock_);
  std::vector<TAccountRecord> all;
  for (const auto& [key, account] : accounts_) {
    all.push_back(account);
    auto nodes = nodes_.find(account.Id);
    all.back().Nodes = nodes == nodes_.end() ? 0 : static_cast<std::int64_t>(nodes->second.size());
  }
  return all;
}

TCheckInRecord TMemoryStore::RecordCheckIn(std::int64_t accountId, std::string_view node, std::string_view address,
                                           TServiceTime now, std::size_t maxNodes) {
  std::lock_guard<std::mutex> guard(lock_);
  TCheckInRecord r;
  auto& nodes = nodes_[accountId];
  const std::string key = LowerCase(node);
  auto it = nodes.find(key);
  const TAddressFamily family = FamilyOf(address);
  if (it == nodes.end()) {
    if (nodes.size() >= maxNodes) {
      r.Outcome = TCheckInRecord::TooManyNodes;
      return r;
    }
    TNodeRecord n;
    n.Id = ++lastId_;
    n.AccountId = accountId;
    n.Name = node;
    n.Address = address;
    n.FirstCheckIn = n.LastCheckIn = now;
    n.CheckIns = 1;
    n.Family(family) = {std::string(address), now};
    it = nodes.emplace(key, std::move(n)).first;
    r.FirstCheckIn = true;
  } else {
    TNodeRecord& n = it->second;
    TFamilyRecord& mine = n.Family(family);
    r.PreviousAddress = mine.Address;
    r.PreviousFamilyCheckIn = mine.LastCheckIn;
    if (mine.Address != address) {
      r.AddressChanged = true;
      n.History.insert(n.History.begin(), {now, mine.Address, std::string(address), family});
      // Each family keeps HistoryKept of its own: drop this family's oldest beyond that.
      std::size_t kept = 0;
      for (auto e = n.History.begin(); e != n.History.end();)
        e = e->Family == family && ++kept > HistoryKept ? n.History.erase(e) : e + 1;
    }
    mine = {std::string(address), now};
    n.Address = address;
    n.LastCheckIn = now;
    ++n.CheckIns;
  }
  r.Node = it->second;
  r.Node.History.clear();
  return r;
}

std::vector<TNodeRecord> TMemoryStore::Nodes(std::int64_t accountId) {
  std::lock_guard<std::mutex> guard(lock_);
  std::vector<TNodeRecord> all;
  auto nodes = nodes_.find(accountId);
  if (nodes != nodes_.end())
    for (const auto& [key, node] : nodes->second) all.push_back(node);
  return all;
}

bool TMemoryStore::SetNodeDns(std::int64_t nodeId, std::string_view publishedName, std::string_view dnsState) {
  std::lock_guard<std::mutex> guard(lock_);
  for (auto& [account, nodes] : nodes_)
    for (auto& [key, node] : nodes)
      if (node.Id == nodeId) {
        node.PublishedName = publishedName;
        node.DnsState = dnsState;
        return true;
      }
  return false;
}

std::optional<TNodeRecord> TMemoryStore::FindNode(std::int64_t nodeId) {
  std::lock_guard<std::mutex> guard(lock_);
  for (const auto& [account, nodes] : nodes_)
    for (const auto& [key, node] : nodes)
      if (node.Id == nodeId) {
        TNodeRecord found = node;
        found.History.clear();
        return found;
      }
  return std::nullopt;
}

TNodeCounts TMemoryStore::CountNodes(TServiceTime staleBefore) {
  std::lock_guard<std::mutex> guard(lock_);
  TNodeCounts counts;
  for (const auto& [account, nodes] : nodes_)
    for (const auto& [key, node] : nodes) {
      ++counts.Nodes;
      if (node.LastCheckIn < staleBefore) ++counts.Stale;
    }
  return counts;
}
