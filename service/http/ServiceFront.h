// The service's HTTP front on Boost.Beast over Boost.Asio: the listening
// socket, the connections (THttpConnection), their limits and deadlines,
// TLS, and the worker pool the doors run on.
//
// It is built to face the open internet. A connection costs a socket and a
// few kilobytes, never a thread: a few threads run every connection's I/O
// (one io_context), and the doors, which may wait for the slow password
// hash or the database, run on a worker pool of their own, their answers
// handed back to the connection. So a crowd of idle or slow connections
// delays nobody, and a check-in from a remembered account is answered while
// slow hashes run.
//
// Limits (TFrontLimits): a request's head must be complete HeadSeconds after
// the connection opened or the previous answer was written, and its body
// BodySeconds after its head; a connection that sends nothing for
// IdleSeconds after an answer is closed; at most MaxConnections are open and
// at most MaxPerAddress from one address. A connection over either cap makes
// room by closing the oldest idle connection (then the oldest still sending
// its head); with none to close it is refused. Heads are read strictly
// (TRequestCheck); a refused request is answered and its connection closed.
// Each refusal is logged once, with the address.
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

#include "service/http/Answers.h"
#include "service/http/FrontRequest.h"
#include "service/http/RequestLog.h"

class THttpConnection;

struct TFrontLimits {
  std::size_t MaxConnections = 4096;  // well under the unit's LimitNOFILE
  std::size_t MaxPerAddress = 256;
  int HeadSeconds = 10;
  int BodySeconds = 10;
  int IdleSeconds = 5;
  int WriteSeconds = 10;
  std::size_t KeepAliveRequests = 1000;
  unsigned IoThreads = 0;  // 0: one per core, at least 2
  unsigned Workers = 8;
};

class TServiceFront {
 public:
  // Answers a request; runs on the worker pool and may block.
  using THandler = std::function<TFrontAnswer(const TFrontRequest&)>;

  TServiceFront(THandler handler, const TRequestLog& log);
  ~TServiceFront();
  TServiceFront(const TServiceFront&) = delete;
  TServiceFront& operator=(const TServiceFront&) = delete;

  // Serves HTTPS (TLS 1.2 or newer) with this PEM certificate chain and
  // private key; false when they cannot be used together.
  bool UseTls(const std::string& certFile, const std::string& keyFile);
  bool Tls() const { return tls_.has_value(); }
  // Before Serve.
  void SetLimits(const TFrontLimits& limits) { limits_ = limits; }
  const TFrontLimits& Limits() const { return limits_; }

  // Binds and listens on host:port (port 0 picks a free one); the port, or
  // -1. Called again, it listens on one more address as well. ipv6Only
  // keeps an IPv6 address from taking IPv4 connections too, so that an
  // IPv4 address may listen on the same port beside it. failure, when
  // given, receives why it could not listen.
  int Bind(const std::string& host, int port, bool ipv6Only = false, std::error_code* failure = nullptr);
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
  void Accept(TListener& listener);
  void Accepted(boost::asio::ip::tcp::socket socket);
  // Under lock_: closes the oldest idle connection, among those of address
  // when it is given, else the oldest one still sending its head; false when
  // there is none. Every connection looked at is held in seen, to be let go
  // of after the lock.
  bool MakeRoom(const std::string* address, std::vector<std::shared_ptr<THttpConnection>>& seen);
  void Forget(THttpConnection* connection);
  // Runs the handler on the worker pool and hands the answer to done.
  void Handle(std::shared_ptr<THttpConnection> connection, TFrontRequest req);

  THandler handler_;
  const TRequestLog& log_;
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
