#include "service/http/NodePublisher.h"

#include "runtime/ThreadName.h"
#include "service/http/CheckInService.h"

namespace {
// How much a family's state weighs in the node's: the worst one is shown.
int Rank(TDnsState state) { return state == TDnsState::Failing ? 2 : state == TDnsState::Pending ? 1 : 0; }

TDnsRecordType FamilyType(TAddressFamily family) {
  return family == TAddressFamily::IPv4 ? TDnsRecordType::A : TDnsRecordType::AAAA;
}
}  // namespace

TNodePublisher::TNodePublisher(IServiceStore& store, TDnsPublisher& dns, TLog log, TClock clock,
                               TServiceTime staleAfter, std::chrono::milliseconds retryAfter)
    : store_(store),
      dns_(dns),
      log_(std::move(log)),
      clock_(clock ? std::move(clock) : TClock(ServiceClockNow)),
      staleAfter_(staleAfter),
      retryAfter_(retryAfter) {}

TNodePublisher::~TNodePublisher() { Stop(); }

void TNodePublisher::Start() {
  if (thread_.joinable()) return;
  stop_ = false;
  thread_ = std::thread([this] { Run(); });
}

void TNodePublisher::Stop() {
  if (!thread_.joinable()) return;
  {
    std::lock_guard<std::mutex> hold(lock_);
    stop_ = true;
  }
  wake_.notify_all();
  thread_.join();
}

void TNodePublisher::Changed(const TAddressChange& change) {
  {
    std::lock_guard<std::mutex> hold(lock_);
    noted_.emplace(change.NodeId, change.Account);
  }
  wake_.notify_one();
}

bool TNodePublisher::WaitUntilHandedOver(std::chrono::milliseconds limit) {
  std::unique_lock<std::mutex> hold(lock_);
  return handedOver_.wait_for(hold, limit, [this] { return caughtUp_ && !busy_ && noted_.empty(); });
}

void TNodePublisher::HandOver(const TNodeRecord& node, const std::string& account) {
  TDnsOwnerName owner;
  try {
    // Both families of one hand-over are queued at one time.
    const TServiceTime now = clock_();
    for (const TAddressFamily family : {TAddressFamily::IPv4, TAddressFamily::IPv6}) {
      const std::string& address = node.Family(family).Address;
      if (address.empty() || TServiceCore::FamilyLeft(node, family, staleAfter_))
        owner = dns_.Withdraw(node.Name, account, FamilyType(family), now);
      else
        owner = dns_.Publish(node.Name, account, address, now);
    }
  } catch (const EDnsUpdate& e) {
    // Only a damaged store holds an address that is none; trying again cannot mend it.
    if (log_)
      log_(TLogPriority::Error, "event=dns" + TRequestLog::Field("node", node.Name) +
                                    TRequestLog::Field("account", std::string(account)) + " state=not_published" +
                                    TRequestLog::Field("reason", e.Message()));
    return;
  }
  const std::string problem = owner.Valid() ? "" : owner.Reason;
  if (node.PublishedName == owner.Name && node.DnsState == problem) return;
  store_.SetNodeDns(node.Id, owner.Name, problem);
  if (!owner.Valid() && log_)
    log_(TLogPriority::Warning, "event=dns" + TRequestLog::Field("node", node.Name) +
                                    TRequestLog::Field("account", std::string(account)) + " state=not_published" +
                                    TRequestLog::Field("reason", problem));
}

void TNodePublisher::HandOverAll() {
  std::uint64_t removals;
  {
    std::lock_guard<std::mutex> hold(handingOver_);
    removals = removals_;
  }
  for (const TAccountRecord& account : store_.Accounts())
    for (const TNodeRecord& node : store_.Nodes(account.Id)) {
      if (stop_) return;
      std::lock_guard<std::mutex> hold(handingOver_);
      // A node read before a removal may be the one removed.
      if (removals_ != removals && !store_.FindNode(node.Id)) continue;
      HandOver(node, account.Name);
    }
}

bool TNodePublisher::Remove(const TNodeRecord& node, std::string_view account, std::vector<TDnsRecordType>& withdrawn) {
  std::lock_guard<std::mutex> hold(handingOver_);
  ++removals_;
  withdrawn.clear();
  bool removed = false;
  try {
    const std::vector<TDnsQueueEntry> entries = dns_.StateOf(node.Name, account);
    const TServiceTime now = clock_();
    for (const TDnsRecordType type : {TDnsRecordType::A, TDnsRecordType::AAAA}) {
      bool held = false;
      for (const TDnsQueueEntry& e : entries)
        held = held || (e.Type == type && (!e.Address.empty() || !e.PublishedAddress.empty()));
      if (!held) continue;
      dns_.Withdraw(node.Name, account, type, now);
      withdrawn.push_back(type);
    }
    removed = store_.RemoveNode(node.AccountId, node.Id);
  } catch (...) {
    // What was withdrawn of a node that stays is published again by the next turn.
    Changed({std::string(account), node.AccountId, node.Name, node.Id, "", node.Address, 0});
    throw;
  }
  if (!removed) Changed({std::string(account), node.AccountId, node.Name, node.Id, "", node.Address, 0});
  return removed;
}

void TNodePublisher::Run() {
  NameThreadForDebugging("dns-nodes");
  bool failing = false;
  std::unique_lock<std::mutex> hold(lock_);
  while (!stop_) {
    std::map<std::int64_t, std::string> batch;
    batch.swap(noted_);
    const bool catchUp = !caughtUp_;
    busy_ = true;
    hold.unlock();

    std::string error;
    try {
      if (catchUp) {
        // Instances sharing the database hand every node over one at a time;
        // one that finds another doing it leaves the pass to it.
        dns_.Queue().RunAlone("dns-handover", [this] { HandOverAll(); });
        // Each note was taken after its check-in was stored, so the pass read
        // that node as it is now: handing it over again would only look it up.
        if (!stop_) batch.clear();
      }
    } catch (const std::exception& e) {
      error = e.what();
    }
    for (auto it = batch.begin(); it != batch.end() && error.empty() && !stop_;) {
      try {
        // A node removed since (with its account) has nothing to publish.
        std::lock_guard<std::mutex> hold(handingOver_);
        if (const std::optional<TNodeRecord> node = store_.FindNode(it->first)) HandOver(*node, it->second);
        it = batch.erase(it);
      } catch (const std::exception& e) {
        error = e.what();
      }
    }
    if (error.empty() == failing && log_) {
      failing = !error.empty();
      if (failing)
        log_(TLogPriority::Error, "event=dns state=handover_failing" + TRequestLog::Field("reason", error) +
                                      " retry_ms=" + std::to_string(retryAfter_.count()));
      else
        log_(TLogPriority::Info, "event=dns state=handover_resumed");
    }

    hold.lock();
    if (catchUp && error.empty() && !stop_) caughtUp_ = true;
    // What was not handed over waits for the next turn (a newer note of the same node is the same).
    for (auto& [id, account] : batch) noted_.emplace(id, std::move(account));
    busy_ = false;
    handedOver_.notify_all();
    if (failing)
      wake_.wait_for(hold, retryAfter_, [this] { return stop_.load(); });
    else
      wake_.wait(hold, [this] { return stop_ || !noted_.empty(); });
  }
}

TNodeDnsView TNodePublisher::View(const TNodeRecord& node, std::string_view account) {
  TNodeDnsView view;
  view.Shown = true;
  const TDnsOwnerName owner = dns_.Zone().OwnerName(node.Name, account);
  if (!owner.Valid()) {
    view.State = "not published";
    view.Reason = owner.Reason;
    return view;
  }
  view.Name = owner.Name.substr(0, owner.Name.size() - 1);
  // Published only when every family the node publishes is; pending while
  // any waits for an address the queue has not been given or sent; failing
  // when any fails.
  view.State = DnsStateName(TDnsState::Published);
  const std::vector<TDnsQueueEntry> entries = dns_.Queue().StateOf(owner.Name);
  for (const TDnsQueueEntry& entry : entries)
    if (!entry.PublishedAddress.empty()) view.Addresses.push_back(entry.PublishedAddress);
  bool any = false;
  int worst = Rank(TDnsState::Published);
  for (const TAddressFamily family : {TAddressFamily::IPv4, TAddressFamily::IPv6}) {
    std::string address;
    try {
      if (!TServiceCore::FamilyLeft(node, family, staleAfter_))
        address = TDnsQueue::CanonicalAddress(node.Family(family).Address);
    } catch (const EDnsUpdate&) {
    }
    if (address.empty()) continue;
    any = true;
    const TDnsQueueEntry* found = nullptr;
    for (const TDnsQueueEntry& entry : entries)
      if (entry.Type == FamilyType(family) && entry.Address == address) found = &entry;
    // An address the queue has not been given yet is pending, whatever came before it.
    const TDnsState state = found ? found->State : TDnsState::Pending;
    const TServiceTime since = found ? found->Since : 0;
    const int rank = Rank(state);
    if (rank < worst) continue;
    if (rank > worst) {
      worst = rank;
      view.State = DnsStateName(state);
      view.Reason = state == TDnsState::Failing ? found->Reason : "";
      view.Since = since;
    } else {
      view.Since = std::max(view.Since, since);
    }
  }
  if (!any) view.State = DnsStateName(TDnsState::Pending);
  return view;
}
