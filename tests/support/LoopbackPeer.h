// Loopback helpers for the transport tests: a scripted raw peer that accepts
// one connection on 127.0.0.1 (port chosen by the system) and runs a script
// against it on its own thread, plus small blocking socket helpers.
#pragma once

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <functional>
#include <string>
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
inline std::string RecvUntilClosed(int fd, int timeoutMs = 5000) { return RecvExactly(fd, std::string::npos / 2, timeoutMs); }

inline void Pause(int ms) { std::this_thread::sleep_for(std::chrono::milliseconds(ms)); }

// Accepts one connection and runs the script on it; the connection is closed
// when the script returns. The destructor waits for the script.
class ScriptedPeer {
 public:
  using Script = std::function<void(int fd)>;

  explicit ScriptedPeer(Script script) {
    listenFd_ = ListenLoopback(8, &port_);
    thread_ = std::thread([this, script = std::move(script)] {
      pollfd p{listenFd_, POLLIN, 0};
      if (::poll(&p, 1, 10000) <= 0) return;
      int fd = ::accept4(listenFd_, nullptr, nullptr, SOCK_CLOEXEC);
      if (fd < 0) return;
      script(fd);
      ::close(fd);
      done_ = true;
    });
  }
  ~ScriptedPeer() {
    Join();
    ::close(listenFd_);
  }
  ScriptedPeer(const ScriptedPeer&) = delete;
  ScriptedPeer& operator=(const ScriptedPeer&) = delete;

  int Port() const { return port_; }
  void Join() {
    if (thread_.joinable()) thread_.join();
  }
  bool Done() const { return done_; }

 private:
  int listenFd_ = -1;
  int port_ = 0;
  std::thread thread_;
  std::atomic<bool> done_{false};
};

// A loopback address that never answers a connect: a listener with backlog 0
// whose one queue place is taken, so further SYNs are dropped.
class BlackHole {
 public:
  BlackHole() {
    listenFd_ = testpeer::ListenLoopback(0, &port_);
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
