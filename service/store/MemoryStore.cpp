#include "service/store/MemoryStore.h"

#include <algorithm>

#include "runtime/SysUtils.h"

std::optional<TAccountRecord> TMemoryStore::FindAccount(std::string_view name) {
  std::lock_guard<std::mutex> guard(lock_);
  auto it = accounts_.find(LowerCase(name));
  if (it == accounts_.end()) return std::nullopt;
  return it->second;
}

bool TMemoryStore::AddAccount(std::string_view name, std::string_view passwordHash, TServiceTime now) {
  std::lock_guard<std::mutex> guard(lock_);
  TAccountRecord account{lastId_ + 1, std::string(name), std::string(passwordHash), now, 0, false};
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
  const std::int64_t id = it->second.Id;
  auto nodes = nodes_.find(id);
  if (nodes != nodes_.end())
    for (const auto& [key, node] : nodes->second) staleTold_.erase(node.Id);
  nodes_.erase(id);
  keys_.erase(id);
  // Its webhook and what waited for it go too, rather than wait unseen for good.
  webhooks_.erase(id);
  std::erase_if(deliveries_, [id](const auto& d) { return d.second.AccountId == id; });
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

bool TMemoryStore::RemoveNode(std::int64_t accountId, std::int64_t nodeId) {
  std::lock_guard<std::mutex> guard(lock_);
  auto account = nodes_.find(accountId);
  if (account == nodes_.end()) return false;
  return std::erase_if(account->second, [nodeId](const auto& entry) { return entry.second.Id == nodeId; }) == 1;
}

namespace {
template <class TAccounts>
const TAccountRecord* AccountById(const TAccounts& accounts, std::int64_t id) {
  for (const auto& [key, account] : accounts)
    if (account.Id == id) return &account;
  return nullptr;
}
}  // namespace

bool TMemoryStore::SetWebhook(std::string_view account, std::string_view url, std::string_view secret) {
  std::lock_guard<std::mutex> guard(lock_);
  auto it = accounts_.find(LowerCase(account));
  if (it == accounts_.end()) return false;
  TWebhookRecord& hook = webhooks_[it->second.Id];
  hook.Url = url;
  if (!secret.empty()) hook.Secret = secret;
  hook.FailingSince = 0;
  hook.Paused = false;
  hook.LastError.clear();
  std::erase_if(deliveries_, [&](const auto& d) { return d.second.AccountId == it->second.Id; });
  return true;
}

std::optional<TWebhookRecord> TMemoryStore::Webhook(std::int64_t accountId) {
  std::lock_guard<std::mutex> guard(lock_);
  if (!AccountById(accounts_, accountId)) return std::nullopt;
  auto it = webhooks_.find(accountId);
  return it == webhooks_.end() ? TWebhookRecord{} : it->second;
}

bool TMemoryStore::AddDelivery(std::int64_t accountId, std::string_view event, std::string_view body,
                               TServiceTime now, std::int64_t staleNodeId, TServiceTime staleCheckIn) {
  std::lock_guard<std::mutex> guard(lock_);
  auto hook = webhooks_.find(accountId);
  if (!AccountById(accounts_, accountId) || hook == webhooks_.end() || hook->second.Url.empty() ||
      hook->second.Paused)
    return false;
  TDeliveryRecord d;
  d.Id = ++lastId_;
  d.AccountId = accountId;
  d.Event = event;
  d.Body = body;
  d.Created = d.Due = now;
  deliveries_.emplace(d.Id, std::move(d));
  if (staleNodeId != 0) staleTold_[staleNodeId] = staleCheckIn;
  // The newest DeliveriesKept of the account stay: ids grow, so the first ones found are the oldest.
  std::size_t count = 0;
  for (const auto& [id, kept] : deliveries_) count += kept.AccountId == accountId;
  for (auto it = deliveries_.begin(); it != deliveries_.end() && count > DeliveriesKept;)
    if (it->second.AccountId == accountId)
      it = deliveries_.erase(it), --count;
    else
      ++it;
  return true;
}

std::optional<TDeliveryRecord> TMemoryStore::NextDelivery() {
  std::lock_guard<std::mutex> guard(lock_);
  const TDeliveryRecord* first = nullptr;
  for (const auto& [id, d] : deliveries_) {
    auto hook = webhooks_.find(d.AccountId);
    if (hook == webhooks_.end() || hook->second.Url.empty() || hook->second.Paused ||
        !AccountById(accounts_, d.AccountId))
      continue;
    if (!first || d.Due < first->Due) first = &d;
  }
  if (!first) return std::nullopt;
  TDeliveryRecord d = *first;
  d.Account = AccountById(accounts_, d.AccountId)->Name;
  d.Webhook = webhooks_[d.AccountId];
  return d;
}

void TMemoryStore::DeliveryDone(std::int64_t deliveryId) {
  std::lock_guard<std::mutex> guard(lock_);
  auto it = deliveries_.find(deliveryId);
  if (it == deliveries_.end()) return;
  TWebhookRecord& hook = webhooks_[it->second.AccountId];
  hook.FailingSince = 0;
  hook.LastError.clear();
  deliveries_.erase(it);
}

void TMemoryStore::DeliveryFailed(std::int64_t deliveryId, TServiceTime due, std::string_view error,
                                  TServiceTime now, bool pause) {
  std::lock_guard<std::mutex> guard(lock_);
  auto it = deliveries_.find(deliveryId);
  if (it == deliveries_.end()) return;
  ++it->second.Attempts;
  it->second.Due = due;
  TWebhookRecord& hook = webhooks_[it->second.AccountId];
  if (hook.FailingSince == 0) hook.FailingSince = now;
  hook.LastError = error;
  hook.Paused = hook.Paused || pause;
}

std::vector<TStaleNode> TMemoryStore::UntoldStaleNodes(TServiceTime before, std::size_t limit) {
  std::lock_guard<std::mutex> guard(lock_);
  std::vector<TStaleNode> stale;
  for (const auto& [accountId, hook] : webhooks_) {
    const TAccountRecord* account = AccountById(accounts_, accountId);
    auto nodes = nodes_.find(accountId);
    if (!account || hook.Url.empty() || hook.Paused || nodes == nodes_.end()) continue;
    for (const auto& [key, node] : nodes->second) {
      if (stale.size() >= limit) return stale;
      auto told = staleTold_.find(node.Id);
      if (node.LastCheckIn >= before || (told != staleTold_.end() && told->second == node.LastCheckIn)) continue;
      stale.push_back({accountId, account->Name, node});
      stale.back().Node.History.clear();
    }
  }
  return stale;
}

std::string TMemoryStore::NodeKeySecret(std::string_view candidate) {
  std::lock_guard<std::mutex> guard(lock_);
  if (keySecret_.empty()) keySecret_ = candidate;
  return keySecret_;
}

std::string TMemoryStore::VerificationKey(std::string_view candidate) {
  std::lock_guard<std::mutex> guard(lock_);
  if (verificationKey_.empty()) verificationKey_ = candidate;
  return verificationKey_;
}

bool TMemoryStore::SetNodeKey(std::int64_t accountId, std::string_view node, std::string_view keyHash,
                              TServiceTime now) {
  std::lock_guard<std::mutex> guard(lock_);
  if (!AccountById(accounts_, accountId)) return false;
  keys_[accountId][LowerCase(node)] = {std::string(node), std::string(keyHash), now};
  return true;
}

bool TMemoryStore::RemoveNodeKey(std::int64_t accountId, std::string_view node) {
  std::lock_guard<std::mutex> guard(lock_);
  auto keys = keys_.find(accountId);
  return keys != keys_.end() && keys->second.erase(LowerCase(node)) == 1;
}

std::optional<TNodeKeyRecord> TMemoryStore::FindNodeKey(std::int64_t accountId, std::string_view node) {
  std::lock_guard<std::mutex> guard(lock_);
  auto keys = keys_.find(accountId);
  if (keys == keys_.end()) return std::nullopt;
  auto it = keys->second.find(LowerCase(node));
  if (it == keys->second.end()) return std::nullopt;
  return it->second;
}

std::vector<TNodeKeyRecord> TMemoryStore::NodeKeys(std::int64_t accountId) {
  std::lock_guard<std::mutex> guard(lock_);
  std::vector<TNodeKeyRecord> all;
  auto keys = keys_.find(accountId);
  if (keys != keys_.end())
    for (const auto& [key, record] : keys->second) all.push_back(record);
  return all;
}

bool TMemoryStore::SetKeysOnly(std::string_view name, bool keysOnly) {
  std::lock_guard<std::mutex> guard(lock_);
  auto it = accounts_.find(LowerCase(name));
  if (it == accounts_.end()) return false;
  it->second.KeysOnly = keysOnly;
  return true;
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
