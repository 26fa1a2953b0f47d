// The service's HTTP front on Boost.Beast over Boost.Asio: the listening
// socket, the connections (THttpConnection), their limits and deadlines,
// TLS, and the pool that runs what must wait.
//
// It is built to face the open internet. A connection costs a socket and a
// few kilobytes, never a thread: an event loop (one io_context, run by one
// thread) does every connection's I/O and answers its requests
// itself, in a TNoWaitScope. What would block the loop (the slow password
// hash, a database another program holds) raises EWouldWait before it
// changes anything and is run again on a small pool sized for the hash; so a
// crowd of idle or slow connections, or of sign-ins, delays nobody. Check-ins
// written on the loop join a commit group, and their answers wait for it:
// the loop ends the group (TTurnEnd) whenever it has nothing else ready, so
// one commit serves all the check-ins of that moment. A store that is a
// server takes repeated check-ins the same way without the loop waiting
// (TLaterHandler): sent at the end of the turn in one transaction, each
// answered when it has committed.
//
// Limits (TFrontLimits): a request's head must be complete HeadSeconds after
// the connection opened or the previous answer was written, and its body
// BodySeconds after its head; a connection that sends nothing for
// IdleSeconds after an answer is closed; at most MaxConnections are open and
// at most MaxPerAddress from one address. A connection over either cap makes
// room by closing the oldest idle connection (then the oldest still sending
// its head); with none to close it is refused. Heads are read strictly
// (TRequestCheck); a refused request is answered and its connection closed.
// Each refusal is logged once, with the address. At most Workers requests
// run on the pool and MaxWaiting wait for it; one more is answered on the
// loop as busy.
#pragma once

#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/ip/v6_only.hpp>
#include <boost/asio/ssl/context.hpp>
#include <boost/asio/steady_timer.hpp>
#include <boost/asio/thread_pool.hpp>

#include <atomic>
#include <chrono>
#include <cstddef>
#include <functional>
#include <list>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <system_error>
#include <thread>
#include <vector>

#include "runtime/Exception.h"
#include "runtime/NoWaitScope.h"
#include "service/http/Answers.h"
#include "service/http/FrontRequest.h"
#include "service/http/RequestLog.h"

class THttpConnection;

// The front could not listen on an address; the message reads "cannot
// listen on HOST:PORT (why)", and Code() is the system's reason (empty when
// the host named no address at all), for callers that pass over an address
// family the system lacks.
class EBindFailed : public Exception {
 public:
  EBindFailed(const std::string& host, int port, std::error_code code);
  const std::error_code& Code() const noexcept { return code_; }
  PINMARK_EXCEPTION_IDENTITY(EBindFailed, Exception)

 private:
  std::error_code code_;
};

// A TLS certificate or key that could not be read, or that do not belong
// together: "cannot use the certificate CERT with the key KEY".
PINMARK_EXCEPTION_CLASS(ETlsSetup, Exception);

struct TFrontLimits {
  std::size_t MaxConnections = 4096;  // well under the unit's LimitNOFILE
  std::size_t MaxPerAddress = 256;
  int HeadSeconds = 10;
  int BodySeconds = 10;
  int IdleSeconds = 5;
  int WriteSeconds = 10;
  std::size_t KeepAliveRequests = 1000;
  unsigned Workers = 3;
  std::size_t MaxWaiting = 64;
  // Every request goes to the pool at once, none is tried on the loop first:
  // for a handler whose every answer waits (its store is a server), where the
  // try would only be thrown away. MaxWaiting does not apply then: each open
  // connection has at most one request waiting.
  bool EveryAnswerWaits = false;
};

class TServiceFront {
 public:
  // Answers a request; on the loop, in a TNoWaitScope, or on the pool.
  using THandler = std::function<TFrontAnswer(const TFrontRequest&)>;
  // Run by a loop thread whenever it has nothing else ready (ends the store's commit group).
  using TTurnEnd = std::function<void()>;
  // Takes a request on the loop, in a TNoWaitScope, to be answered later
  // without a thread of the pool waiting for it (a check-in sent to the
  // store with the others of the turn); false when it does not take it.
  // done may be called from any thread, never by the call itself; with no
  // answer, the request is answered on the pool after all.
  using TLaterHandler =
      std::function<bool(const TFrontRequest&, std::function<void(std::optional<TFrontAnswer>)> done)>;

  TServiceFront(THandler handler, const TRequestLog& log, TTurnEnd turnEnd = {});
  ~TServiceFront();
  TServiceFront(const TServiceFront&) = delete;
  TServiceFront& operator=(const TServiceFront&) = delete;

  // Serves HTTPS (TLS 1.2 or newer) with this PEM certificate chain and
  // private key; raises ETlsSetup when they cannot be used together, and
  // then serves plain HTTP as before.
  void UseTls(const std::string& certFile, const std::string& keyFile);
  bool Tls() const { return tls_.has_value(); }
  // Before Serve.
  void SetLimits(const TFrontLimits& limits) { limits_ = limits; }
  // Offers each request to later first (before Serve).
  void AnswerLater(TLaterHandler later) { later_ = std::move(later); }
  const TFrontLimits& Limits() const { return limits_; }

  // Binds and listens on host:port (port 0 picks a free one); returns the
  // port bound, or raises EBindFailed and listens on nothing more. Called
  // again, it listens on one more address as well. ipv6Only keeps an IPv6
  // address from taking IPv4 connections too, so that an IPv4 address may
  // listen on the same port beside it.
  int Bind(const std::string& host, int port, bool ipv6Only = false);
  // Serves until Stop; blocks.
  void Serve();
  // From any thread; Serve returns soon after.
  void Stop();
  bool Running() const { return running_; }
  std::size_t Connections() const;

 private:
  friend class THttpConnection;
  using TTime = std::chrono::steady_clock::time_point;

  struct TListener {
    explicit TListener(boost::asio::io_context& io) : acceptor(io), pause(io) {}
    boost::asio::ip::tcp::acceptor acceptor;
    boost::asio::steady_timer pause;
  };
  // Takes every connection waiting, then waits for more.
  void Accept(TListener& listener);
  // fd: a connection just accepted from peer (of length bytes).
  void Accepted(int fd, const sockaddr_storage& peer, socklen_t length);
  // Under lock_: closes the oldest idle connection, among those of address
  // when it is given, else the oldest one still sending its head; false when
  // there is none. Every connection looked at is held in seen, to be let go
  // of after the lock.
  bool MakeRoom(const std::string* address, std::vector<std::shared_ptr<THttpConnection>>& seen);
  void Forget(THttpConnection* connection);
  // Answers a request taken on the loop, there or on the pool.
  void Handle(std::shared_ptr<THttpConnection> connection, TFrontRequest req);
  // Offers the request to later_; false (and both given back) when it did not take it.
  bool Later(std::shared_ptr<THttpConnection>& connection, TFrontRequest& req);
  // On the loop, in a TNoWaitScope of mode; a check-in's answer waits for its commit group.
  void AnswerHere(std::shared_ptr<THttpConnection> connection, TFrontRequest req, TNoWaitScope::TMode mode);
  // The handler's answer; a failure becomes 500 (EWouldWait passes).
  TFrontAnswer Answer(const TFrontRequest& req);
  // To the pool; answered busy on the loop when too many wait for it.
  void HandOver(std::shared_ptr<THttpConnection> connection, TFrontRequest req);
  void Pooled(std::shared_ptr<THttpConnection> connection, TFrontRequest req);
  // One loop thread: a turn runs every handler ready, then ends with turnEnd_.
  void Loop();
  // Whether this thread runs the loop (and so owns every connection).
  bool OnTheLoop() const;

  THandler handler_;
  TLaterHandler later_;
  const TRequestLog& log_;
  TTurnEnd turnEnd_;
  std::atomic<std::size_t> pooled_{0};
  TFrontLimits limits_;
  // Declared before the io_context: connections that its queued handlers
  // still hold unregister here when the io_context goes.
  mutable std::mutex lock_;
  std::map<THttpConnection*, std::weak_ptr<THttpConnection>> connections_;
  std::map<std::string, std::size_t> perAddress_;
  std::optional<boost::asio::ssl::context> tls_;
  boost::asio::io_context io_;
  // One per address listened on; a list, so that each stays where its handlers expect it.
  std::list<TListener> listeners_;
  std::unique_ptr<boost::asio::thread_pool> workers_;
  std::atomic<bool> running_{false};
  std::atomic<bool> stopping_{false};
};
