// Scripted HTTP peers on 127.0.0.1 (port chosen by the system) for the
// exchange tests.
//
// hostile::Peer serves every connection on a thread of its own, reads each
// request head (and a body of the announced Content-Length) and plays a
// script against the client: bytes, pauses, a close, a reset, or holding the
// connection silent. A script that ends without closing waits for the next
// request on the same connection. Scripts are values, so tests can write each
// case as one row of a table; "{port}" in the bytes of a step is replaced by
// the peer's port.
//
// HttpTestPeer is the plain case: each request is answered with the bytes the
// handler returns, and the connection is closed after them or kept. Both see
// every request raw, so tests can compare request bytes exactly.
#pragma once

#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "tests/support/LoopbackPeer.h"

namespace hostile {

struct Step {
  enum Kind { kSend, kPause, kClose, kReset, kHold } kind = kSend;
  std::string bytes;   // kSend: sent `repeat` times
  int64_t repeat = 1;  // kSend
  int ms = 0;          // kPause
};
using Script = std::vector<Step>;

inline Step Send(std::string bytes, int64_t repeat = 1) { return Step{Step::kSend, std::move(bytes), repeat, 0}; }
inline Step Pause(int ms) { return Step{Step::kPause, {}, 1, ms}; }
// An orderly close (FIN).
inline Step Close() { return Step{Step::kClose, {}, 1, 0}; }
// An abortive close: the client sees "connection reset".
inline Step Reset() { return Step{Step::kReset, {}, 1, 0}; }
// Keeps the connection open and silent until the client goes or the peer stops.
inline Step Hold() { return Step{Step::kHold, {}, 1, 0}; }

// The script for the request with this index, counted over all connections.
using Scripter = std::function<Script(const std::string& request, int index)>;

class Peer {
 public:
  explicit Peer(Scripter scripter) : scripter_(std::move(scripter)) {
    listenFd_ = testpeer::ListenLoopback(64, &port_);
    acceptor_ = std::thread([this] { Accept(); });
  }
  // The same script for every request.
  explicit Peer(Script script) : Peer([script](const std::string&, int) { return script; }) {}
  ~Peer() {
    stop_ = true;
    acceptor_.join();
    std::vector<std::thread> threads;
    {
      std::lock_guard<std::mutex> g(lock_);
      threads.swap(threads_);
    }
    for (std::thread& t : threads) t.join();
    ::close(listenFd_);
  }
  Peer(const Peer&) = delete;
  Peer& operator=(const Peer&) = delete;

  int Port() const { return port_; }
  std::string Url(const std::string& path = "/") const { return "http://127.0.0.1:" + std::to_string(port_) + path; }
  std::vector<std::string> Requests() {
    std::lock_guard<std::mutex> g(lock_);
    return requests_;
  }
  int Connections() const { return connections_; }

 private:
  void Accept() {
    while (!stop_) {
      pollfd p{listenFd_, POLLIN, 0};
      if (::poll(&p, 1, 20) <= 0) continue;
      int fd = ::accept4(listenFd_, nullptr, nullptr, SOCK_CLOEXEC);
      if (fd < 0) continue;
      ++connections_;
      std::lock_guard<std::mutex> g(lock_);
      threads_.emplace_back([this, fd] { Serve(fd); });
    }
  }

  void Serve(int fd) {
    std::string pending;
    bool open = true;
    while (open && !stop_) {
      std::string request;
      if (!ReadRequest(fd, pending, request)) break;
      int index;
      {
        std::lock_guard<std::mutex> g(lock_);
        requests_.push_back(request);
        index = static_cast<int>(requests_.size()) - 1;
      }
      for (const Step& step : scripter_(request, index)) {
        if (!Play(fd, step)) {
          open = false;
          break;
        }
      }
    }
    if (fd >= 0) ::close(fd);
  }

  // Answers false once the connection is gone (closed, reset, or the client left).
  bool Play(int& fd, const Step& step) {
    switch (step.kind) {
      case Step::kSend: {
        std::string bytes = step.bytes;
        for (std::size_t at; (at = bytes.find("{port}")) != std::string::npos;)
          bytes.replace(at, 6, std::to_string(port_));
        for (int64_t i = 0; i < step.repeat && !stop_; ++i)
          if (!SendAll(fd, bytes)) return false;
        return true;
      }
      case Step::kPause:
        for (int waited = 0; waited < step.ms && !stop_; waited += 10) testpeer::Pause(10);
        return true;
      case Step::kClose:
        ::shutdown(fd, SHUT_WR);
        Drain(fd);
        return false;
      case Step::kReset: {
        linger l{1, 0};
        ::setsockopt(fd, SOL_SOCKET, SO_LINGER, &l, sizeof l);
        ::close(fd);
        fd = -1;
        return false;
      }
      case Step::kHold:
        Drain(fd);
        return false;
    }
    return false;
  }

  // Reads until the client closes (or the peer stops), throwing the bytes away.
  void Drain(int fd) {
    char buf[4096];
    while (!stop_) {
      pollfd p{fd, POLLIN, 0};
      int r = ::poll(&p, 1, 20);
      if (r < 0) return;
      if (r == 0) continue;
      if (::recv(fd, buf, sizeof buf, 0) <= 0) return;
    }
  }

  bool SendAll(int fd, const std::string& data) {
    std::size_t done = 0;
    while (done < data.size() && !stop_) {
      pollfd p{fd, POLLOUT, 0};
      if (::poll(&p, 1, 20) <= 0) continue;
      ssize_t n = ::send(fd, data.data() + done, data.size() - done, MSG_NOSIGNAL);
      if (n <= 0) return false;
      done += static_cast<std::size_t>(n);
    }
    return done == data.size();
  }

  bool ReadRequest(int fd, std::string& pending, std::string& request) {
    std::size_t headEnd;
    while ((headEnd = pending.find("\r\n\r\n")) == std::string::npos)
      if (!Receive(fd, pending)) return false;
    std::size_t total = headEnd + 4 + ContentLength(pending.substr(0, headEnd));
    while (pending.size() < total)
      if (!Receive(fd, pending)) return false;
    request = pending.substr(0, total);
    pending.erase(0, total);
    return true;
  }

  bool Receive(int fd, std::string& into) {
    while (!stop_) {
      pollfd p{fd, POLLIN, 0};
      int r = ::poll(&p, 1, 20);
      if (r < 0) return false;
      if (r == 0) continue;
      char buf[65536];
      ssize_t n = ::recv(fd, buf, sizeof buf, 0);
      if (n <= 0) return false;
      into.append(buf, static_cast<std::size_t>(n));
      return true;
    }
    return false;
  }

  static std::size_t ContentLength(const std::string& head) {
    std::size_t p = head.find("\r\nContent-Length:");
    return p == std::string::npos ? 0 : std::stoul(head.substr(p + 17));
  }

  Scripter scripter_;
  int listenFd_ = -1;
  int port_ = 0;
  std::thread acceptor_;
  std::atomic<bool> stop_{false};
  std::atomic<int> connections_{0};
  std::mutex lock_;
  std::vector<std::thread> threads_;
  std::vector<std::string> requests_;
};

}  // namespace hostile

class HttpTestPeer {
 public:
  struct Reply {
    std::string bytes;
    bool close = true;  // close the connection after sending
  };
  // Gets the raw request (head and body) and the index of the request.
  using Handler = std::function<Reply(const std::string& request, int index)>;

  explicit HttpTestPeer(Handler handler)
      : peer_([handler = std::move(handler)](const std::string& request, int index) {
          Reply reply = handler(request, index);
          hostile::Script script{hostile::Send(reply.bytes)};
          if (reply.close) script.push_back(hostile::Close());
          return script;
        }) {}

  int Port() const { return peer_.Port(); }
  std::string Url(const std::string& path = "/") const { return peer_.Url(path); }
  std::vector<std::string> Requests() { return peer_.Requests(); }
  int Connections() const { return peer_.Connections(); }

 private:
  hostile::Peer peer_;
};
