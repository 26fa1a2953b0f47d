// A scripted HTTP peer on 127.0.0.1 (port chosen by the system) for the
// exchange tests. It accepts any number of connections; on each it reads
// request heads (and a body of the announced Content-Length) and answers
// each with the bytes the handler returns. The handler sees every request
// raw, so tests can compare request bytes exactly.
#pragma once

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "tests/http/IdStackTestPeer.h"

class HttpTestPeer {
 public:
  struct Reply {
    std::string bytes;
    bool close = true;  // close the connection after sending
  };
  // Gets the raw request (head and body) and the index of the request.
  using Handler = std::function<Reply(const std::string& request, int index)>;

  explicit HttpTestPeer(Handler handler) : handler_(std::move(handler)) {
    listenFd_ = testpeer::ListenLoopback(16, &port_);
    thread_ = std::thread([this] { Run(); });
  }
  ~HttpTestPeer() {
    stop_ = true;
    thread_.join();
    ::close(listenFd_);
  }
  HttpTestPeer(const HttpTestPeer&) = delete;
  HttpTestPeer& operator=(const HttpTestPeer&) = delete;

  int Port() const { return port_; }
  std::string Url(const std::string& path = "/") const { return "http://127.0.0.1:" + std::to_string(port_) + path; }
  std::vector<std::string> Requests() {
    std::lock_guard<std::mutex> g(lock_);
    return requests_;
  }
  int Connections() const { return connections_; }

 private:
  void Run() {
    while (!stop_) {
      pollfd p{listenFd_, POLLIN, 0};
      if (::poll(&p, 1, 50) <= 0) continue;
      int fd = ::accept4(listenFd_, nullptr, nullptr, SOCK_CLOEXEC);
      if (fd < 0) continue;
      ++connections_;
      Serve(fd);
      ::close(fd);
    }
  }

  // Serves requests on one connection until the handler closes it or the client goes.
  void Serve(int fd) {
    std::string pending;
    while (!stop_) {
      std::size_t headEnd;
      while ((headEnd = pending.find("\r\n\r\n")) == std::string::npos) {
        if (!Receive(fd, pending)) return;
      }
      std::size_t total = headEnd + 4 + ContentLength(pending.substr(0, headEnd));
      while (pending.size() < total)
        if (!Receive(fd, pending)) return;
      std::string request = pending.substr(0, total);
      pending.erase(0, total);
      int index;
      {
        std::lock_guard<std::mutex> g(lock_);
        requests_.push_back(request);
        index = static_cast<int>(requests_.size()) - 1;
      }
      Reply reply = handler_(request, index);
      std::size_t done = 0;
      while (done < reply.bytes.size()) {
        ssize_t n = ::send(fd, reply.bytes.data() + done, reply.bytes.size() - done, MSG_NOSIGNAL);
        if (n <= 0) return;
        done += static_cast<std::size_t>(n);
      }
      if (reply.close) return;
    }
  }

  bool Receive(int fd, std::string& into) {
    for (;;) {
      if (stop_) return false;
      pollfd p{fd, POLLIN, 0};
      int r = ::poll(&p, 1, 50);
      if (r < 0) return false;
      if (r == 0) continue;
      char buf[65536];
      ssize_t n = ::recv(fd, buf, sizeof buf, 0);
      if (n <= 0) return false;
      into.append(buf, static_cast<std::size_t>(n));
      return true;
    }
  }

  static std::size_t ContentLength(const std::string& head) {
    std::size_t p = 0;
    while ((p = head.find("\r\n", p)) != std::string::npos) {
      p += 2;
      if (head.compare(p, 15, "Content-Length:") == 0) return std::stoul(head.substr(p + 15));
    }
    return 0;
  }

  Handler handler_;
  int listenFd_ = -1;
  int port_ = 0;
  std::thread thread_;
  std::atomic<bool> stop_{false};
  std::atomic<int> connections_{0};
  std::mutex lock_;
  std::vector<std::string> requests_;
};
