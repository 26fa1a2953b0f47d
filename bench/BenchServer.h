// The loopback server both clients talk to in the benchmarks: one
// connection at a time, answers chosen by path, bodies sent from one
// prepared block so the server costs as little as possible. Given a TLS
// server context it serves the same answers over HTTPS.
#pragma once

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <openssl/ssl.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <string>
#include <thread>

class BenchServer {
 public:
  static constexpr int64_t kBigBody = 256ll << 20;
  static constexpr int kTinyChunks = 1000000;

  explicit BenchServer(SSL_CTX* tls = nullptr) : block_(1 << 20, 'x'), tls_(tls) {
    tinyChunks_.reserve(kTinyChunks * 6 + 5);
    for (int i = 0; i < kTinyChunks; ++i) tinyChunks_ += "1\r\nx\r\n";
    tinyChunks_ += "0\r\n\r\n";
    // OpenSSL writes to the socket with write(): a client that goes early must not end the benchmark.
    if (tls_) ::signal(SIGPIPE, SIG_IGN);
    listenFd_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    int one = 1;
    ::setsockopt(listenFd_, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ::bind(listenFd_, reinterpret_cast<sockaddr*>(&a), sizeof a);
    ::listen(listenFd_, 128);
    socklen_t len = sizeof a;
    ::getsockname(listenFd_, reinterpret_cast<sockaddr*>(&a), &len);
    port_ = ntohs(a.sin_port);
    thread_ = std::thread([this] { Run(); });
  }
  ~BenchServer() {
    stop_ = true;
    thread_.join();
    ::close(listenFd_);
  }

  bool Tls() const { return tls_ != nullptr; }
  std::string Url(const std::string& path) const {
    return (tls_ ? "https://localhost:" : "http://127.0.0.1:") + std::to_string(port_) + path;
  }

 private:
  void Run() {
    while (!stop_) {
      pollfd p{listenFd_, POLLIN, 0};
      if (::poll(&p, 1, 50) <= 0) continue;
      int fd = ::accept4(listenFd_, nullptr, nullptr, SOCK_CLOEXEC);
      if (fd < 0) continue;
      Channel channel{fd, tls_ ? SSL_new(tls_) : nullptr};
      if (channel.ssl) {
        // The session tickets after the handshake and the answer are separate
        // writes: Nagle would hold the answer back for the client's delayed ACK.
        ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one_, sizeof one_);
        SSL_set_fd(channel.ssl, fd);
      }
      if (!channel.ssl || SSL_accept(channel.ssl) == 1) Serve(channel);
      SSL_free(channel.ssl);
      ::close(fd);
    }
  }

  // One connection, in clear text or through its TLS session.
  struct Channel {
    int fd;
    SSL* ssl;
    ssize_t Receive(char* buf, std::size_t size) {
      return ssl ? SSL_read(ssl, buf, static_cast<int>(size)) : ::recv(fd, buf, size, 0);
    }
  };

  void Serve(Channel& fd) {
    std::string head;
    char buf[4096];
    while (head.find("\r\n\r\n") == std::string::npos) {
      ssize_t n = fd.Receive(buf, sizeof buf);
      if (n <= 0) return;
      head.append(buf, static_cast<std::size_t>(n));
    }
    std::size_t sp = head.find(' ');
    std::string path = head.substr(sp + 1, head.find(' ', sp + 1) - sp - 1);
    if (path.rfind("/big", 0) == 0) {
      Send(fd, "HTTP/1.1 200 OK\r\nContent-Type: application/octet-stream\r\nContent-Length: " +
                   std::to_string(kBigBody) + "\r\nConnection: close\r\n\r\n");
      for (int64_t sent = 0; sent < kBigBody; sent += static_cast<int64_t>(block_.size()))
        if (!Send(fd, block_)) return;
    } else if (path.rfind("/chunked", 0) == 0) {
      Send(fd, "HTTP/1.1 200 OK\r\nContent-Type: application/octet-stream\r\nTransfer-Encoding: chunked\r\n"
               "Connection: close\r\n\r\n");
      const std::string size = "100000\r\n";  // 1 MiB in hexadecimal
      for (int64_t sent = 0; sent < kBigBody; sent += static_cast<int64_t>(block_.size()))
        if (!Send(fd, size) || !Send(fd, block_) || !Send(fd, "\r\n")) return;
      Send(fd, "0\r\n\r\n");
    } else if (path.rfind("/tinychunks", 0) == 0) {
      // One million chunks of one byte each: the framing costs far more than the data.
      Send(fd, "HTTP/1.1 200 OK\r\nContent-Type: application/octet-stream\r\nTransfer-Encoding: chunked\r\n"
               "Connection: close\r\n\r\n");
      Send(fd, tinyChunks_);
    } else if (path.rfind("/refused", 0) == 0) {
      // A refusal with a body as large as a download: what the client keeps of it must stay small.
      Send(fd, "HTTP/1.1 500 Internal Server Error\r\nContent-Length: " + std::to_string(2 * kBigBody) +
                   "\r\nConnection: close\r\n\r\n");
      for (int64_t sent = 0; sent < 2 * kBigBody; sent += static_cast<int64_t>(block_.size()))
        if (!Send(fd, block_)) return;
    } else if (path.rfind("/small", 0) == 0) {
      Send(fd, "HTTP/1.1 200 OK\r\nContent-Length: 5\r\nConnection: close\r\n\r\nsmall");
    } else {
      Send(fd, "HTTP/1.1 200 OK\r\nContent-Type: text/plain\r\nContent-Length: 9\r\n\r\n127.0.0.1");
    }
    // Let the client close first, as a server does after its answer.
    pollfd p{fd.fd, POLLIN, 0};
    ::poll(&p, 1, 1000);
  }

  static bool Send(Channel& fd, const std::string& data) {
    std::size_t done = 0;
    while (done < data.size()) {
      ssize_t n = fd.ssl ? SSL_write(fd.ssl, data.data() + done, static_cast<int>(data.size() - done))
                         : ::send(fd.fd, data.data() + done, data.size() - done, MSG_NOSIGNAL);
      if (n <= 0) return false;
      done += static_cast<std::size_t>(n);
    }
    return true;
  }

  std::string block_;
  std::string tinyChunks_;
  SSL_CTX* tls_;
  const int one_ = 1;
  int listenFd_ = -1;
  int port_ = 0;
  std::thread thread_;
  std::atomic<bool> stop_{false};
};
