// Publishing nodes in DNS: what the service sets up once and calls on each
// check-in.
//
// Made from the service's options (--dns-zone, --dns-server, --dns-key,
// --dns-ttl), it reads the key, checks the zone and finds the server, so a
// service with an unusable setup refuses to start with the reason. Publish
// is called on every check-in; it records the node's address in the queue
// and returns at once. The worker thread sends the updates.
//
// Guarantees: Publish never waits for the network, and never sends a name
// that is not made of host labels (it returns the reason instead); what it
// recorded in the store is sent even if the service restarts first.
#pragma once

#include <chrono>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "service/dns/DnsKey.h"
#include "service/dns/DnsQueue.h"
#include "service/dns/DnsServer.h"
#include "service/dns/DnsVerifier.h"
#include "service/dns/DnsWorker.h"
#include "service/dns/DnsZone.h"

struct TDnsSettings {
  std::string Zone;     // --dns-zone ZONE
  std::string Server;   // --dns-server HOST[:PORT]
  std::string KeyFile;  // --dns-key FILE
  uint32_t Ttl = 60;    // --dns-ttl SECONDS
  // --dns-verify DURATION: how often every published name is checked at the server.
  std::chrono::milliseconds VerifyEvery{std::chrono::hours(1)};
};

class TDnsPublisher {
 public:
  static constexpr uint32_t MaxTtl = 2147483647;

  // Throws EDnsKey, EDnsZone, EDnsServer or EDnsUpdate (a TTL over MaxTtl)
  // with a message for the operator. The store must outlive the publisher.
  TDnsPublisher(const TDnsSettings& settings, IDnsQueueStore& store, TDnsQueueOptions queueOptions = {},
                TDnsWorkerOptions workerOptions = {}, TDnsQueue::TLog log = {}, TDnsWorker::TClock clock = {});
  ~TDnsPublisher();

  // Starts and stops the worker thread and the verification pass (Stop also
  // comes with destruction). Start first resumes the queue a previous
  // process left (TDnsQueue::Resume): an error of the store there is logged,
  // and the names wait for their leases instead.
  void Start();
  void Stop();

  // The node's name in DNS; when it has one, address is queued to be
  // published there, and the worker woken. A name that cannot be published
  // comes back with its Reason and nothing is queued. Throws EDnsUpdate when
  // address is not an IP address, and what the store throws.
  TDnsOwnerName Publish(std::string_view node, std::string_view account, const std::string& address, TServiceTime now);

  // The node's record of type is to go (its family left, or has no
  // address): queues the deletion of that set when anything was ever queued
  // for it, and wakes the worker. The name as Publish gives it.
  TDnsOwnerName Withdraw(std::string_view node, std::string_view account, TDnsRecordType type, TServiceTime now);

  // The node's entries (A, AAAA) with their state, for the web page and the
  // JSON; empty when nothing was ever queued for it.
  std::vector<TDnsQueueEntry> StateOf(std::string_view node, std::string_view account);

  // Parses --dns-ttl: whole seconds from 0 to MaxTtl. Throws EDnsUpdate.
  static uint32_t ParseTtl(const std::string& text);

  const TDnsZone& Zone() const { return zone_; }
  const TDnsServer& Server() const { return server_; }
  TDnsQueue& Queue() { return queue_; }
  TDnsVerifier& Verifier() { return verifier_; }

 private:
  // The worker's and the verifier's clock, and the time the queue resumes
  // at (declared before them: they are given it).
  TDnsWorker::TClock clock_;
  TDnsZone zone_;
  TDnsServer server_;
  TDnsKey key_;
  TDnsQueue queue_;
  TDnsWorker worker_;
  TDnsVerifier verifier_;
};
