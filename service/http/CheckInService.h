// The check-in service's HTTP front (Boost.Beast): the program's check-in,
// the dyndns2 update, the web page with its sign-in sessions, and the JSON
// of /api/nodes, all onto one TServiceCore and its store.
//
//   GET|POST /includes/r_update.php   the program's check-in (TCheckInDoor)
//   GET /nic/update       the dyndns2 update (TDynDns2Door)
//   GET /                 the home page
//   GET /nodes            the account's nodes, or the sign-in form
//   POST /signin, /signout    begin and end a session (cookie), then 303 to /nodes
//   GET /account, POST /account/password, /account/signout-everywhere
//                         a new password, every session ended (signed in)
//   GET|POST /nodes/remove?node=NAME    asks, then removes a node (signed in)
//   POST /webhook         set the signed-in account's webhook URL, then 303 to /nodes
//   POST /nodekey         make or remove a node's own key (signed in)
//   GET /api/nodes        the nodes as JSON (Basic); 401 without credentials
//   GET /metrics, /healthz    for the service's admins, from allowed addresses only (TAdminDoor)
//
// With PublishInDns, every node is also published in DNS as
// NODE.ACCOUNT.ZONE (TNodePublisher, TDnsPublisher): a check-in is answered
// from the store as before and never waits for DNS, and the page and the
// JSON show each node's name, its address in DNS and the state of its last
// update.
//
// The caller is the connection's address, or for a trusted proxy the
// address it forwards for (TTrustedProxies). Nothing changes on a GET but
// check-ins and updates, which the protocols make GETs.
//
// Facing the open internet it holds its ground (TServiceFront): connections
// cost no thread, heads and bodies have deadlines, connections have caps, and
// requests are read strictly; values that reach the log are escaped, so no
// request can write a line of its own there. Each door is a unit of its own
// (TCheckInDoor, TDynDns2Door, TPageDoors, TApiDoor, THomeDoor); this class
// builds them and routes to them.
#pragma once

#include <atomic>
#include <cstddef>
#include <functional>
#include <memory>
#include <string>
#include <system_error>
#include <thread>

#include "runtime/JournalLog.h"
#include "service/core/ServiceCore.h"
#include "service/dns/DnsPublisher.h"
#include "service/http/AdminDoor.h"
#include "service/http/Answers.h"
#include "service/http/DoorContext.h"
#include "service/http/RequestCheck.h"
#include "service/http/ServiceFront.h"
#include "service/http/TrustedProxies.h"
#include "service/http/WebhookSender.h"

class TNodePublisher;
class TCheckInDoor;
class TDynDns2Door;
class TPageDoors;
class TApiDoor;
class THomeDoor;

class TCheckInService {
 public:
  static constexpr std::size_t MaxRequestBody = TRequestCheck::MaxBodyBytes;
  static constexpr int RetryAfterSeconds = TAnswers::RetryAfterSeconds;  // told with a 503
  static constexpr const char* SessionCookie = TAnswers::SessionCookie;

  // Accounts in memory (AddAccount, LoadAccounts), nodes remembered until
  // the service ends.
  TCheckInService();
  // The same over HTTPS (TLS 1.2 or newer) with the certificate chain and
  // private key of these PEM files; raises ETlsSetup when they cannot be used.
  TCheckInService(const std::string& certFile, const std::string& keyFile);
  // Onto a store of the caller's (an SQLite file), with its rules and
  // proxies; over HTTPS when certFile is given.
  TCheckInService(std::unique_ptr<IServiceStore> store, TServiceRules rules, TTrustedProxies proxies,
                  const std::string& certFile = "", const std::string& keyFile = "");
  ~TCheckInService();
  TCheckInService(const TCheckInService&) = delete;
  TCheckInService& operator=(const TCheckInService&) = delete;

  // Account name -> MD5 hex digest of its password (either case), kept in
  // memory; replaces an account of that name.
  void AddAccount(const std::string& name, const std::string& digest);
  // Publishes the nodes in the zone of settings from now on, with the
  // update queue in queueStore (the SQLite store's file, or memory); starts
  // the threads that send the updates. Call before Start or Serve, once.
  // Throws what TDnsPublisher throws for settings it cannot use (the key,
  // the zone, the server), with a message for the operator.
  void PublishInDns(const TDnsSettings& settings, std::unique_ptr<IDnsQueueStore> queueStore,
                    TDnsQueueOptions queueOptions = {}, TDnsWorkerOptions workerOptions = {});
  // The publisher, when PublishInDns was called.
  TDnsPublisher* Dns() { return dns_.get(); }
  TNodePublisher* NodePublisher() { return nodePublisher_.get(); }

  // Tells account owners of their nodes' events through their webhooks
  // from now on (TWebhookSender); starts the sender's thread. Call before
  // PublishInDns and before Start or Serve, once.
  void NotifyByWebhook(TWebhookOptions options);
  TWebhookSender* Webhooks() { return webhooks_.get(); }

  // Adds the accounts of an accounts file (service/core/AccountList.h).
  // Raises EAccountList when the file cannot be read or a line is
  // malformed; then no account of it was added.
  void LoadAccounts(const std::string& file);

  // Where each check-in, update, refusal and failure is logged, one line a
  // call, with its priority (Info for what was answered, Warning for
  // refusals, Error for what the service could not do). Values from
  // requests are escaped by LogValue. Called from the service's threads.
  std::function<void(TLogPriority, const std::string&)> OnLog;
  // The time now; tests may move it.
  std::function<TServiceTime()> Clock;

  // A value as it goes into the log: every byte outside printable ASCII, and
  // the blank and "%" that would make a line ambiguous, as %XX.
  static std::string LogValue(const std::string& value);
  bool Tls() const { return tls_; }
  // The front's limits; before Serve or Start.
  void SetLimits(const TFrontLimits& limits) { front_->SetLimits(limits); }
  const TFrontLimits& Limits() const { return front_->Limits(); }
  // Open connections now.
  std::size_t Connections() const { return front_->Connections(); }
  TServiceCore& Core() { return *core_; }

  // Binds to host:port (port 0 picks a free one) and returns the port, or
  // raises EBindFailed; once more for each further address to listen on
  // (ipv6Only as TServiceFront::Bind).
  int Bind(const std::string& host, int port, bool ipv6Only = false);
  // Serves until Stop; blocks. Connections made after Bind wait until then.
  void Serve();
  // Serves on a thread of its own.
  void Start();
  void Stop();
  // Check-ins answered with an address.
  int CheckIns() const { return checkIns_; }
  // Who may read /metrics and /healthz, and when DNS is unhealthy; before Serve or Start.
  void SetAdmin(TAdminOptions options) { adminDoor_.SetOptions(std::move(options)); }
  // The counters every door keeps; other parts of the service count theirs here too.
  TMetrics& Metrics() { return context_.Metrics; }

 private:
  // Which door answers the request; on the front's workers.
  TFrontAnswer Route(const TFrontRequest& req);
  TServiceTime Now() const;
  // A check-in created a node, moved it, or found a family left or back.
  void AddressChanged(const TAddressChange& change);

  bool tls_ = false;
  std::unique_ptr<IServiceStore> store_;
  std::unique_ptr<TServiceCore> core_;
  TTrustedProxies proxies_;
  std::atomic<int> checkIns_{0};
  TRequestLog log_{OnLog};
  TDoorContext context_;
  std::unique_ptr<TCheckInDoor> checkInDoor_;
  std::unique_ptr<TDynDns2Door> dynDns2Door_;
  std::unique_ptr<TPageDoors> pageDoors_;
  std::unique_ptr<TApiDoor> apiDoor_;
  std::unique_ptr<THomeDoor> homeDoor_;
  TAdminDoor adminDoor_{context_};
  std::unique_ptr<TServiceFront> front_;
  std::thread thread_;
  // Goes after the DNS publisher below has stopped, which tells it of failing names.
  std::unique_ptr<TWebhookSender> webhooks_;
  // Last, so that they stop before the store they use goes.
  std::unique_ptr<IDnsQueueStore> dnsStore_;
  std::unique_ptr<TDnsPublisher> dns_;
  std::unique_ptr<TNodePublisher> nodePublisher_;
};
