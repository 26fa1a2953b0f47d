#include "service/http/ServiceFront.h"

#include <openssl/err.h>
#include <sys/socket.h>
#include <unistd.h>

#include <boost/asio/post.hpp>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "runtime/JournalLog.h"
#include "runtime/NoWaitScope.h"
#include "service/http/HttpConnection.h"

namespace asio = boost::asio;
using tcp = asio::ip::tcp;

TServiceFront::TServiceFront(THandler handler, const TRequestLog& log, TTurnEnd turnEnd)
    : handler_(std::move(handler)), log_(log), turnEnd_(std::move(turnEnd)) {}

TServiceFront::~TServiceFront() {
  Stop();
  if (workers_) workers_->join();
}

void TServiceFront::UseTls(const std::string& certFile, const std::string& keyFile) {
  tls_.emplace(asio::ssl::context::tls_server);
  SSL_CTX* ctx = tls_->native_handle();
  SSL_CTX_set_mode(ctx, SSL_MODE_AUTO_RETRY);
  if (SSL_CTX_set_min_proto_version(ctx, TLS1_2_VERSION) == 1 &&
      SSL_CTX_use_certificate_chain_file(ctx, certFile.c_str()) == 1 &&
      SSL_CTX_use_PrivateKey_file(ctx, keyFile.c_str(), SSL_FILETYPE_PEM) == 1 && SSL_CTX_check_private_key(ctx) == 1)
    return;
  // A half-set context must not pass for HTTPS, and the reasons OpenSSL
  // queued on this thread must not be taken for a later call's.
  tls_.reset();
  ERR_clear_error();
  throw ETlsSetup("cannot use the certificate " + certFile + " with the key " + keyFile);
}

EBindFailed::EBindFailed(const std::string& host, int port, std::error_code code)
    : Exception("cannot listen on " + host + ":" + std::to_string(port) + (code ? " (" + code.message() + ")" : "")),
      code_(code) {}

int TServiceFront::Bind(const std::string& host, int port, bool ipv6Only) {
  tcp::acceptor& acceptor = listeners_.emplace_back(io_).acceptor;
  boost::system::error_code ec;
  try {
    tcp::resolver resolver(io_);
    for (const auto& entry : resolver.resolve(host, std::to_string(port), tcp::resolver::numeric_service)) {
      acceptor.close(ec);
      acceptor.open(entry.endpoint().protocol(), ec);
      if (ec) continue;
      // Lets the service restart while old connections linger.
      acceptor.set_option(asio::socket_base::reuse_address(true), ec);
      if (ipv6Only && entry.endpoint().protocol() == tcp::v6()) acceptor.set_option(asio::ip::v6_only(true), ec);
      acceptor.bind(entry.endpoint(), ec);
      if (ec) continue;
      // A long queue: a burst of connections waits instead of being dropped.
      acceptor.listen(1024, ec);
      if (ec) continue;
      // Accept takes connections until there are none waiting.
      acceptor.non_blocking(true, ec);
      if (ec) continue;
      // Accepted connections take it over (Linux): one call less for each.
      acceptor.set_option(tcp::no_delay(true), ec);
      return acceptor.local_endpoint().port();
    }
  } catch (const boost::system::system_error& error) {
    ec = error.code();
  }
  listeners_.pop_back();
  throw EBindFailed(host, port, ec);
}

void TServiceFront::Serve() {
  workers_ = std::make_unique<asio::thread_pool>(std::max(1u, limits_.Workers));
  running_ = true;
  for (TListener& listener : listeners_) Accept(listener);
  Loop();
  // Requests being answered finish; their answers go nowhere now.
  workers_->join();
  if (turnEnd_) turnEnd_();
  running_ = false;
}

namespace {
thread_local const TServiceFront* loopOf = nullptr;
}  // namespace

bool TServiceFront::OnTheLoop() const { return loopOf == this; }

void TServiceFront::Loop() {
  loopOf = this;
  // A bounded turn: under a steady stream the group still ends often.
  constexpr int kTurn = 64;
  TLogBatch lines;
  while (io_.run_one() > 0) {
    for (int i = 1; i < kTurn && io_.poll_one() > 0; ++i) {
    }
    if (turnEnd_) turnEnd_();
    lines.Flush();
  }
  loopOf = nullptr;
}

void TServiceFront::Stop() {
  stopping_ = true;
  io_.stop();
}

std::size_t TServiceFront::Connections() const {
  std::lock_guard<std::mutex> hold(lock_);
  return connections_.size();
}

void TServiceFront::Accept(TListener& listener) {
  // Taken with accept4 rather than as Asio sockets: a check-in that comes
  // whole with its connection is then read, answered and closed in four
  // calls, the descriptor never registered with the loop (see
  // THttpConnection). The loop hears of new connections by edges, and one
  // that came before the wait began makes none: every one waiting is taken
  // before waiting again.
  constexpr int kAtOnce = 64;
  for (int taken = 0; taken < kAtOnce;) {
    sockaddr_storage peer{};
    socklen_t length = sizeof peer;
    const int fd = ::accept4(listener.acceptor.native_handle(), reinterpret_cast<sockaddr*>(&peer), &length,
                             SOCK_CLOEXEC);
    if (fd >= 0) {
      Accepted(fd, peer, length);
      ++taken;
      continue;
    }
    // A connection the peer gave up on while queued: the next one.
    if (errno == EINTR || errno == ECONNABORTED) continue;
    if (errno == EAGAIN || errno == EWOULDBLOCK) {
      listener.acceptor.async_wait(tcp::acceptor::wait_read, [this, &listener](boost::system::error_code ec) {
        if (stopping_ || ec == asio::error::operation_aborted) return;
        Accept(listener);
      });
      return;
    }
    // Out of descriptors, say: wait a little instead of spinning on the error.
    listener.pause.expires_after(std::chrono::milliseconds(100));
    listener.pause.async_wait([this, &listener](boost::system::error_code waited) {
      if (!waited && !stopping_) Accept(listener);
    });
    return;
  }
  // A crowd at once: the rest after what else is ready.
  asio::post(io_, [this, &listener] {
    if (!stopping_) Accept(listener);
  });
}

void TServiceFront::Accepted(int fd, const sockaddr_storage& peer, socklen_t length) {
  tcp::endpoint endpoint;
  std::memcpy(endpoint.data(), &peer, std::min<std::size_t>(length, endpoint.capacity()));
  endpoint.resize(std::min<std::size_t>(length, endpoint.capacity()));
  const std::string address = endpoint.address().to_string();
  std::shared_ptr<THttpConnection> connection;
  // Connections looked at while choosing whom to close; let go of after the
  // lock, since the last hold of one unregisters it, which takes the lock.
  std::vector<std::shared_ptr<THttpConnection>> seen;
  {
    std::lock_guard<std::mutex> hold(lock_);
    const auto from = perAddress_.find(address);
    bool room = from == perAddress_.end() || from->second < limits_.MaxPerAddress || MakeRoom(&address, seen);
    if (room && connections_.size() >= limits_.MaxConnections) room = MakeRoom(nullptr, seen);
    if (room) {
      connection = std::make_shared<THttpConnection>(*this, fd, endpoint.protocol(), address);
      connections_[connection.get()] = connection;
      ++perAddress_[address];
    }
  }
  if (!connection) {
    log_.Write(TLogPriority::Warning, "event=refused_connection" + TRequestLog::Field("address", address) +
                                          " reason=too%20many%20connections");
    ::close(fd);
    return;
  }
  connection->Start();
}

bool TServiceFront::MakeRoom(const std::string* address, std::vector<std::shared_ptr<THttpConnection>>& seen) {
  using TState = THttpConnection::TState;
  THttpConnection* oldest = nullptr;
  int oldestRank = 0;
  std::chrono::steady_clock::rep oldestOpened = 0;
  for (const auto& [raw, weak] : connections_) {
    seen.push_back(weak.lock());
    THttpConnection* c = seen.back().get();
    if (!c || c->Evicted() || (address && c->Address() != *address)) continue;
    const TState state = c->State();
    // Idle ones go first; then those still sending their heads.
    const int rank = state == TState::Idle ? 2 : state == TState::Head || state == TState::Handshake ? 1 : 0;
    if (rank == 0) continue;
    if (!oldest || rank > oldestRank || (rank == oldestRank && c->Opened() < oldestOpened)) {
      oldest = c;
      oldestRank = rank;
      oldestOpened = c->Opened();
    }
  }
  if (!oldest) return false;
  oldest->Evict();
  return true;
}

void TServiceFront::Forget(THttpConnection* connection) {
  std::lock_guard<std::mutex> hold(lock_);
  connections_.erase(connection);
  const auto from = perAddress_.find(connection->Address());
  if (from != perAddress_.end() && --from->second == 0) perAddress_.erase(from);
}

TFrontAnswer TServiceFront::Answer(const TFrontRequest& req) {
  try {
    return handler_(req);
  } catch (const EWouldWait&) {
    throw;
  } catch (const std::exception& e) {
    log_.Write(TLogPriority::Error,
               "event=failed" + TRequestLog::Field("path", req.Head.Path) + TRequestLog::Field("reason", e.what()));
    return TAnswers::Text(500, "the service failed to answer this request\n");
  }
}

bool TServiceFront::Later(std::shared_ptr<THttpConnection>& connection, TFrontRequest& req) {
  struct TWaiting {
    std::shared_ptr<THttpConnection> Connection;
    TFrontRequest Req;
  };
  auto waiting = std::make_shared<TWaiting>(TWaiting{std::move(connection), std::move(req)});
  bool taken = false;
  try {
    TNoWaitScope scope;
    taken = later_(waiting->Req, [this, waiting](std::optional<TFrontAnswer> answer) {
      if (answer)
        waiting->Connection->Answered(std::move(*answer));
      else
        Pooled(std::move(waiting->Connection), std::move(waiting->Req));
    });
  } catch (const std::exception&) {
    // Found out before it sent anything (EWouldWait, a failure): the usual
    // way, which answers and logs what it finds.
  }
  if (taken) return true;
  connection = std::move(waiting->Connection);
  req = std::move(waiting->Req);
  return false;
}

void TServiceFront::Handle(std::shared_ptr<THttpConnection> connection, TFrontRequest req) {
  if (later_ && Later(connection, req)) return;
  if (limits_.EveryAnswerWaits) return HandOver(std::move(connection), std::move(req));
  AnswerHere(std::move(connection), std::move(req), TNoWaitScope::TMode::Raise);
}

void TServiceFront::AnswerHere(std::shared_ptr<THttpConnection> connection, TFrontRequest req,
                               TNoWaitScope::TMode mode) {
  TFrontAnswer answer;
  std::shared_ptr<TCommitGroup> group;
  try {
    TNoWaitScope scope(mode);
    answer = Answer(req);
    group = scope.Group();
  } catch (const EWouldWait&) {
    if (mode == TNoWaitScope::TMode::Raise) return HandOver(std::move(connection), std::move(req));
    answer = TAnswers::Text(503, "the service is busy; try again later\n");
    TAnswers::RetryAfter(answer, TAnswers::RetryAfterSeconds * 1000LL);
  }
  if (!group) return connection->AnswerNow(std::move(answer));
  group->WhenEnded([this, connection = std::move(connection), answer = std::move(answer),
                    req = std::move(req)](bool committed) mutable {
    // A lost group took this check-in along: it is answered anew where its
    // write may wait (and its failure be told).
    if (committed)
      connection->Answered(std::move(answer));
    else
      Pooled(std::move(connection), std::move(req));
  });
}

void TServiceFront::HandOver(std::shared_ptr<THttpConnection> connection, TFrontRequest req) {
  // Nobody queues without end: answered here as busy, as the core answers
  // when too many hashes wait. Where every answer waits, the queue holds at
  // most a request of each open connection, which the connection cap bounds.
  if (!limits_.EveryAnswerWaits && pooled_.load() >= std::max(1u, limits_.Workers) + limits_.MaxWaiting)
    return AnswerHere(std::move(connection), std::move(req), TNoWaitScope::TMode::Refuse);
  Pooled(std::move(connection), std::move(req));
}

void TServiceFront::Pooled(std::shared_ptr<THttpConnection> connection, TFrontRequest req) {
  ++pooled_;
  asio::post(*workers_, [this, connection = std::move(connection), req = std::move(req)] {
    TFrontAnswer answer = Answer(req);
    --pooled_;
    connection->Answered(std::move(answer));
  });
}
