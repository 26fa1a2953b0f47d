// The one loopback peer of the tests, the benchmarks and the fuzz targets.
//
// LoopbackPeer listens on 127.0.0.1 (port chosen by the system), accepts
// connections on a thread of its own and serves each with the function it
// was given: in clear text, or inside a TLS session when it has a server
// context. Connections are served each on a thread of its own, or one after
// the other on the accepting thread; a peer may take a limited number of
// them. Every wait of the peer is bounded: its channel's reads and writes
// give up when the peer is told to stop (a TLS session also after 5 s of
// silence), so a client that misbehaves cannot keep a test from ending.
//
// Built on it: ScriptedPeer (one raw connection and a script on its socket),
// tlspeer::TlsScriptedPeer (tests/support/TlsTestPeer.h), hostile::Peer and
// HttpTestPeer (tests/support/HttpTestPeer.h), the benchmark's server. Also
// here: small blocking socket helpers and BlackHole, an address that never
// answers a connect.
#pragma once

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <openssl/err.h>
#include <openssl/ssl.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <functional>
#include <list>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

namespace testpeer {

inline int ListenLoopback(int backlog = 8, int* portOut = nullptr) {
  int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  if (::bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0 || ::listen(fd, backlog) != 0) {
    ::close(fd);
    return -1;
  }
  socklen_t len = sizeof a;
  ::getsockname(fd, reinterpret_cast<sockaddr*>(&a), &len);
  if (portOut) *portOut = ntohs(a.sin_port);
  return fd;
}

// A port that nothing listens on right now (bound, then freed).
inline int FreePort() {
  int port = 0;
  int fd = ListenLoopback(1, &port);
  ::close(fd);
  return port;
}

inline void SendAll(int fd, const std::string& data) {
  std::size_t done = 0;
  while (done < data.size()) {
    ssize_t n = ::send(fd, data.data() + done, data.size() - done, MSG_NOSIGNAL);
    if (n <= 0) return;
    done += static_cast<std::size_t>(n);
  }
}

// Up to count bytes, waiting at most timeoutMs in total; fewer when the peer closes.
inline std::string RecvExactly(int fd, std::size_t count, int timeoutMs = 5000) {
  std::string out;
  auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
  while (out.size() < count) {
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
    if (left.count() <= 0) break;
    pollfd p{fd, POLLIN, 0};
    if (::poll(&p, 1, static_cast<int>(left.count())) <= 0) break;
    char buf[4096];
    ssize_t n = ::recv(fd, buf, std::min(sizeof buf, count - out.size()), 0);
    if (n <= 0) break;
    out.append(buf, static_cast<std::size_t>(n));
  }
  return out;
}

// Everything until the peer closes (or the time runs out).
inline std::string RecvUntilClosed(int fd, int timeoutMs = 5000) {
  return RecvExactly(fd, std::string::npos / 2, timeoutMs);
}

inline void Pause(int ms) { std::this_thread::sleep_for(std::chrono::milliseconds(ms)); }

// One accepted connection, in clear text or through its TLS session. Reads
// and writes wait in short steps and give up once the peer stops.
class Channel {
 public:
  Channel(int fd, SSL* ssl, const std::atomic<bool>& stop) : fd_(fd), ssl_(ssl), stop_(stop) {}
  ~Channel() {
    if (ssl_) SSL_free(ssl_);
    if (fd_ >= 0) ::close(fd_);
    ERR_clear_error();
  }
  Channel(const Channel&) = delete;
  Channel& operator=(const Channel&) = delete;

  int Fd() const { return fd_; }
  SSL* Ssl() const { return ssl_; }
  bool Stopping() const { return stop_; }

  // Appends what arrives next; false once the client has gone or the peer stops.
  bool Receive(std::string& into) {
    char buf[65536];
    if (!WaitFor(POLLIN, ssl_ && SSL_pending(ssl_) > 0)) return false;
    const int n = ssl_ ? SSL_read(ssl_, buf, sizeof buf) : static_cast<int>(::recv(fd_, buf, sizeof buf, 0));
    if (n <= 0) return false;
    into.append(buf, static_cast<std::size_t>(n));
    return true;
  }

  // All of data; false when the client has gone or the peer stops first.
  bool Send(std::string_view data) {
    while (!data.empty()) {
      if (!WaitFor(POLLOUT, false)) return false;
      const int size = static_cast<int>(std::min<std::size_t>(data.size(), 1 << 20));
      const int n = ssl_ ? SSL_write(ssl_, data.data(), size)
                         : static_cast<int>(::send(fd_, data.data(), static_cast<std::size_t>(size), MSG_NOSIGNAL));
      if (n <= 0) return false;
      data.remove_prefix(static_cast<std::size_t>(n));
    }
    return true;
  }

  // An orderly close (close_notify in a session, then FIN); what the client
  // still sends is read and dropped until it goes.
  void Close() {
    if (fd_ < 0) return;
    if (ssl_) SSL_shutdown(ssl_);
    ::shutdown(fd_, SHUT_WR);
    Drain();
  }

  // An abortive close: the client sees "connection reset".
  void Reset() {
    if (fd_ < 0) return;
    linger l{1, 0};
    ::setsockopt(fd_, SOL_SOCKET, SO_LINGER, &l, sizeof l);
    ::close(fd_);
    fd_ = -1;
  }

  // Reads and drops everything until the client closes (or the peer stops).
  void Drain() {
    std::string dropped;
    while (fd_ >= 0 && Receive(dropped)) dropped.clear();
  }

 private:
  bool WaitFor(short events, bool ready) {
    while (!ready && fd_ >= 0 && !stop_) {
      pollfd p{fd_, events, 0};
      const int r = ::poll(&p, 1, 20);
      if (r < 0) return false;
      ready = r > 0;
    }
    return ready;
  }

  int fd_;
  SSL* ssl_;
  const std::atomic<bool>& stop_;
};

class LoopbackPeer {
 public:
  using Serve = std::function<void(Channel& channel)>;
  struct Options {
    // A server context: each connection is served inside a TLS session.
    SSL_CTX* tls = nullptr;
    // Serves one connection after the other on the accepting thread.
    bool oneAtATime = false;
    // Takes this many connections and then no more; 0 takes any number.
    int connections = 0;
    // A peer with a limit gives up waiting for a connection after this long.
    int acceptWaitMs = 10000;
  };

  explicit LoopbackPeer(Serve serve) : LoopbackPeer(std::move(serve), Options{}) {}
  LoopbackPeer(Serve serve, Options options) : serve_(std::move(serve)), options_(options) {
    // OpenSSL writes with write(): a client that goes early must not end the process.
    if (options_.tls) ::signal(SIGPIPE, SIG_IGN);
    listenFd_ = ListenLoopback(128, &port_);
    acceptor_ = std::thread([this] { Accept(); });
  }
  ~LoopbackPeer() { Stop(); }
  LoopbackPeer(const LoopbackPeer&) = delete;
  LoopbackPeer& operator=(const LoopbackPeer&) = delete;

  int Port() const { return port_; }
  // Connections accepted so far.
  int Connections() const { return connections_; }
  // Waits until a peer with a limit has served all it takes (or gave up waiting).
  void Join() {
    if (acceptor_.joinable()) acceptor_.join();
    JoinWorkers(false);
  }
  // Stops accepting and tells every connection to give up, then waits for them.
  void Stop() {
    stop_ = true;
    Join();
    if (listenFd_ >= 0) ::close(listenFd_);
    listenFd_ = -1;
  }

 private:
  struct Worker {
    std::thread thread;
    std::shared_ptr<std::atomic<bool>> done;
  };

  void Accept() {
    const auto giveUp = std::chrono::steady_clock::now() + std::chrono::milliseconds(options_.acceptWaitMs);
    while (!stop_ && (options_.connections == 0 || connections_ < options_.connections)) {
      if (options_.connections > 0 && std::chrono::steady_clock::now() > giveUp) return;
      pollfd p{listenFd_, POLLIN, 0};
      if (::poll(&p, 1, 20) <= 0) continue;
      const int fd = ::accept4(listenFd_, nullptr, nullptr, SOCK_CLOEXEC);
      if (fd < 0) continue;
      ++connections_;
      if (options_.oneAtATime || options_.connections == 1) {
        ServeConnection(fd);
        continue;
      }
      JoinWorkers(true);
      auto done = std::make_shared<std::atomic<bool>>(false);
      std::lock_guard<std::mutex> guard(lock_);
      workers_.push_back(Worker{std::thread([this, fd, done] {
                                  ServeConnection(fd);
                                  *done = true;
                                }),
                                done});
    }
  }

  void ServeConnection(int fd) {
    const int one = 1;
    // Small answers and pauses between them reach the client as they are sent.
    ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    SSL* ssl = nullptr;
    if (options_.tls) {
      timeval limit{5, 0};
      ::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof limit);
      ::setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &limit, sizeof limit);
      ssl = SSL_new(options_.tls);
      SSL_set_fd(ssl, fd);
    }
    Channel channel(fd, ssl, stop_);
    if (!ssl || SSL_accept(ssl) == 1) serve_(channel);
  }

  // Joins the connection threads that have ended, or all of them.
  void JoinWorkers(bool endedOnly) {
    std::list<Worker> finished;
    {
      std::lock_guard<std::mutex> guard(lock_);
      for (auto it = workers_.begin(); it != workers_.end();) {
        auto next = std::next(it);
        if (!endedOnly || *it->done) finished.splice(finished.end(), workers_, it);
        it = next;
      }
    }
    for (Worker& w : finished) w.thread.join();
  }

  Serve serve_;
  Options options_;
  int listenFd_ = -1;
  int port_ = 0;
  std::atomic<bool> stop_{false};
  std::atomic<int> connections_{0};
  std::thread acceptor_;
  std::mutex lock_;
  std::list<Worker> workers_;
};

// Accepts one connection and runs the script on its socket; the connection
// is closed when the script returns. The destructor waits for the script.
class ScriptedPeer {
 public:
  using Script = std::function<void(int fd)>;

  explicit ScriptedPeer(Script script)
      : peer_(
            [this, script = std::move(script)](Channel& channel) {
              script(channel.Fd());
              done_ = true;
            },
            LoopbackPeer::Options{.connections = 1}) {}
  ~ScriptedPeer() { Join(); }
  ScriptedPeer(const ScriptedPeer&) = delete;
  ScriptedPeer& operator=(const ScriptedPeer&) = delete;

  int Port() const { return peer_.Port(); }
  void Join() { peer_.Join(); }
  bool Done() const { return done_; }

 private:
  std::atomic<bool> done_{false};
  LoopbackPeer peer_;
};

// A loopback address that never answers a connect: a listener with backlog 0
// whose one queue place is taken, so further SYNs are dropped.
class BlackHole {
 public:
  BlackHole() {
    listenFd_ = ListenLoopback(0, &port_);
    for (int i = 0; i < 8 && !full_; ++i) {
      int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
      sockaddr_in a{};
      a.sin_family = AF_INET;
      a.sin_port = htons(static_cast<uint16_t>(port_));
      a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
      ::connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a);
      fillers_.push_back(fd);
      pollfd p{fd, POLLOUT, 0};
      if (::poll(&p, 1, 300) == 0) full_ = true;
    }
  }
  ~BlackHole() {
    for (int fd : fillers_) ::close(fd);
    ::close(listenFd_);
  }
  int Port() const { return port_; }
  bool Ready() const { return full_; }

 private:
  int listenFd_ = -1;
  int port_ = 0;
  bool full_ = false;
  std::vector<int> fillers_;
};

}  // namespace testpeer
