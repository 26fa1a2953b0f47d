// The check-in service's HTTP front (cpp-httplib): the program's check-in,
// the dyndns2 update, the web page with its sign-in sessions, and the JSON
// of /api/nodes, all onto one TServiceCore and its store.
//
//   GET|POST /includes/r_update.php?userid=NAME&enc=MD5HEX&node=NODE
//       200 with the caller's address as plain text; 400 for a missing
//       userid or enc or a name the service does not take; 403 for an
//       unknown account or a wrong digest (or a new node over the account's
//       limit); 429 after too many failures; 503 when the store cannot
//       record the check-in (nothing was recorded).
//   GET /nic/update?hostname=NODE.ACCOUNT.ZONE[,...][&myip=A]   (Basic)
//       dyndns2 answers, one line per host: good, nochg, nohost, notfqdn,
//       numhost, badauth, abuse, 911; 401 without credentials.
//   GET /                 the home page
//   GET /nodes            the account's nodes, or the sign-in form
//   POST /signin, /signout    begin and end a session (cookie), then 303 to /nodes
//   GET /api/nodes        the nodes as JSON (Basic); 401 without credentials
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
// Facing the open internet it holds its ground: values that reach the log are
// escaped, so no request can write a line of its own there; idle and slow
// connections time out after a few seconds and a pool of workers much larger
// than such a crowd keeps a check-in answered at once; a connection carries a
// limited number of requests; a request head over 16 KiB is refused with 431
// after no more of it was read (TGuardedServer), a body over MaxRequestBody
// (or one sent in chunks) with 413 before any of it is read, and the
// connection is closed.
#pragma once

#include <atomic>
#include <cstddef>
#include <functional>
#include <memory>
#include <string>
#include <thread>

#include "runtime/JournalLog.h"
#include "service/core/ServiceCore.h"
#include "service/dns/DnsPublisher.h"
#include "service/http/Sessions.h"
#include "service/http/TrustedProxies.h"

namespace httplib {
struct Request;
struct Response;
}  // namespace httplib
class TGuardedServer;
class TNodePublisher;

class TCheckInService {
 public:
  static constexpr std::size_t MaxRequestBody = 4096;
  static constexpr int TimeoutSeconds = 5;  // reading and writing, and the idle keep-alive wait
  static constexpr std::size_t KeepAliveRequests = 20;
  static constexpr std::size_t Workers = 256;
  static constexpr int ListenBacklog = 1024;
  static constexpr int RetryAfterSeconds = 30;  // told with a 503
  static constexpr char SessionCookie[] = "pinmark_session";

  // Accounts in memory (AddAccount, LoadAccounts), nodes remembered until
  // the service ends.
  TCheckInService();
  // The same over HTTPS (TLS 1.2 or newer) with the certificate chain and
  // private key of these PEM files; Valid() says whether they could be used.
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

  // Reads an accounts file (service/core/AccountList.h). Returns false when
  // the file cannot be read or a line is malformed (message in error); then
  // no account of it was added.
  bool LoadAccounts(const std::string& file, std::string& error);

  // Where each check-in, update, refusal and failure is logged, one line a
  // call, with its priority (Info for what was answered, Warning for
  // refusals, Error for what the service could not do). Values from
  // requests are escaped by LogValue. Called from the worker threads.
  std::function<void(TLogPriority, const std::string&)> OnLog;
  // The time now; tests may move it.
  std::function<TServiceTime()> Clock;

  // A value as it goes into the log: every byte outside printable ASCII, and
  // the blank and "%" that would make a line ambiguous, as %XX.
  static std::string LogValue(const std::string& value);
  // False when a TLS certificate or key could not be read, or do not belong together.
  bool Valid() const;
  bool Tls() const { return tls_; }
  TServiceCore& Core() { return *core_; }

  // Binds to host:port (port 0 picks a free one) and returns the port, or -1.
  int Bind(const std::string& host, int port);
  // Serves until Stop; blocks.
  void Serve();
  // Serves on a thread of its own.
  void Start();
  void Stop();
  // Check-ins answered with an address.
  int CheckIns() const { return checkIns_; }

 private:
  // Limits, workers, socket options and routes, the same for plain and TLS.
  void Configure();
  void Route();
  void Log(TLogPriority priority, const std::string& text) const;
  std::string Caller(const httplib::Request& req) const;
  bool Https(const httplib::Request& req) const;
  TServiceTime Now() const;
  void CheckIn(const httplib::Request& req, httplib::Response& res);
  void DynDns2(const httplib::Request& req, httplib::Response& res);
  void NodesPage(const httplib::Request& req, httplib::Response& res);
  void SignIn(const httplib::Request& req, httplib::Response& res);
  void SignOut(const httplib::Request& req, httplib::Response& res);
  void NodesJson(const httplib::Request& req, httplib::Response& res);
  // The account of the request's live session, or nothing.
  std::optional<TAccountRecord> Session(const httplib::Request& req);
  // The account's nodes for the page and the JSON, with their DNS state.
  std::vector<TNodeView> Nodes(const TAccountRecord& account, TServiceTime now);

  bool tls_ = false;
  std::unique_ptr<IServiceStore> store_;
  std::unique_ptr<TServiceCore> core_;
  TTrustedProxies proxies_;
  TSessions sessions_;
  std::unique_ptr<TGuardedServer> server_;
  std::thread thread_;
  std::atomic<int> checkIns_{0};
  int listenFd_ = -1;  // owned by the server; kept to lengthen its queue
  // Last, so that they stop before the store they use goes.
  std::unique_ptr<IDnsQueueStore> dnsStore_;
  std::unique_ptr<TDnsPublisher> dns_;
  std::unique_ptr<TNodePublisher> nodePublisher_;
};
