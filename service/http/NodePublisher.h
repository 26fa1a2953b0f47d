// Hands the service's nodes to the DNS publisher, and tells the page and
// the JSON how each node stands in DNS.
//
// Each family of a node is handed over by itself: its address is published
// (an A or an AAAA set), and the set of a family the node has left
// (TServiceCore::FamilyLeft: staleAfter of check-ins over the other family
// alone) or never had is withdrawn.
//
// A check-in that created a node or moved it is reported here (Changed) on
// the check-in's thread, before its answer goes out; all Changed does is
// note the node under a short lock. A thread of this unit then reads the
// node as the store has it now and hands that address to the publisher: two
// check-ins of one node answered in either order publish the address the
// store kept last, and a node that moves often is handed over once a turn.
// It also records on the node the name it is published under, or why it
// cannot be published (IServiceStore::SetNodeDns), and logs the latter once.
//
// When it starts, it first goes through every node in the store, so that
// nodes that checked in before DNS was set up, or whose hand-over the end of
// the process cut off, are published too; a node already queued with its
// address costs a look-up and sends nothing.
//
// A node removed by its owner (Remove) has its sets withdrawn and is then
// removed from the store, with no hand-over of it in between: once Remove
// returns, nothing of this unit publishes it again (a later check-in of the
// same name makes a new node, which is published as any new node is).
//
// Guarantees: Changed never waits for the store, the queue or the network,
// and keeps at most one note per node; a node noted is handed over however
// long the store fails meanwhile (tried again every RetryAfter, with one log
// line when that starts and one when it ends).
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <map>
#include <mutex>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "runtime/JournalLog.h"
#include "service/core/ServiceCore.h"
#include "service/dns/DnsPublisher.h"

class TNodePublisher {
 public:
  using TLog = std::function<void(TLogPriority, const std::string&)>;
  // The time each hand-over and withdrawal is queued at: the service's own
  // clock, so that the queue agrees with the rest of the service (and with
  // a test that holds the time still). An empty one reads the system clock.
  using TClock = std::function<TServiceTime()>;

  // store and dns must outlive this one.
  TNodePublisher(IServiceStore& store, TDnsPublisher& dns, TLog log, TClock clock,
                 TServiceTime staleAfter = TServiceRules{}.StaleAfter,
                 std::chrono::milliseconds retryAfter = std::chrono::seconds(1));
  ~TNodePublisher();
  TNodePublisher(const TNodePublisher&) = delete;
  TNodePublisher& operator=(const TNodePublisher&) = delete;

  // Starts the thread, which goes through every stored node first.
  void Start();
  // Stops it; what is still noted is handed over by the next start's pass.
  void Stop();

  // A check-in created change.Node or changed its address.
  void Changed(const TAddressChange& change);
  // Waits until the first pass and every node noted so far were handed
  // over; false when that took longer than limit (the store failing).
  bool WaitUntilHandedOver(std::chrono::milliseconds limit);

  // Withdraws node's sets (A, AAAA) and removes it from the store; the
  // record types withdrawn (what was ever queued for it) in withdrawn.
  // False when the store had no such node of node.AccountId. When it raises
  // the store's exceptions or answers false, a node still stored is handed
  // over again as it is. Blocks on the
  // store: not for the connections' threads.
  bool Remove(const TNodeRecord& node, std::string_view account, std::vector<TDnsRecordType>& withdrawn);

  // How the node of account stands in DNS now. Raises the store's
  // exceptions.
  TNodeDnsView View(const TNodeRecord& node, std::string_view account);

 private:
  void Run();
  void HandOver(const TNodeRecord& node, const std::string& account);
  // Every stored node, until stop_; raises the store's exceptions.
  void HandOverAll();

  IServiceStore& store_;
  TDnsPublisher& dns_;
  TLog log_;
  TClock clock_;
  TServiceTime staleAfter_;
  std::chrono::milliseconds retryAfter_;
  std::mutex lock_;
  std::condition_variable wake_, handedOver_;
  std::map<std::int64_t, std::string> noted_;  // node id -> its account's name
  // Held through each hand-over and each removal, so that none publishes a
  // node another removes meanwhile; removals_ counts those done, so that the
  // first pass, which read its nodes before, looks again after one.
  std::mutex handingOver_;
  std::uint64_t removals_ = 0;
  bool caughtUp_ = false, busy_ = false;
  std::atomic<bool> stop_{false};
  std::thread thread_;
};
