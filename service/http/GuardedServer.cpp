#include "service/http/GuardedServer.h"

#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <openssl/err.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cstring>

namespace {
thread_local int tRefusedForSize = 0;

int Milliseconds(time_t sec, time_t usec) { return static_cast<int>(sec * 1000 + usec / 1000); }

bool Wait(int fd, short events, int milliseconds) {
  pollfd p{fd, events, 0};
  int n;
  do n = ::poll(&p, 1, milliseconds);
  while (n < 0 && errno == EINTR);
  return n > 0 && (p.revents & (events | POLLHUP | POLLERR));
}

void Address(int fd, bool peer, std::string& ip, int& port) {
  sockaddr_storage a{};
  socklen_t len = sizeof a;
  const int got = peer ? ::getpeername(fd, reinterpret_cast<sockaddr*>(&a), &len)
                       : ::getsockname(fd, reinterpret_cast<sockaddr*>(&a), &len);
  char host[NI_MAXHOST], service[NI_MAXSERV];
  if (got != 0 || ::getnameinfo(reinterpret_cast<sockaddr*>(&a), len, host, sizeof host, service, sizeof service,
                                NI_NUMERICHOST | NI_NUMERICSERV) != 0) {
    ip.clear();
    port = 0;
    return;
  }
  ip = host;
  port = std::atoi(service);
}

// One connection's bytes, read through a small buffer and counted per
// request: the head up to the blank line, then the body.
class TConnectionStream : public httplib::Stream {
 public:
  TConnectionStream(int fd, SSL* ssl, int readMs, int writeMs, std::size_t maxHead, std::size_t maxBody)
      : fd_(fd), ssl_(ssl), readMs_(readMs), writeMs_(writeMs), maxHead_(maxHead), maxBody_(maxBody) {}

  // Waits for the next request's first bytes; false when the time ran out,
  // the peer went, or the server stopped.
  bool WaitForRequest(int keepAliveMs, const std::atomic<socket_t>& server) {
    const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(keepAliveMs);
    while (server != INVALID_SOCKET) {
      if (Buffered()) return true;
      if (Wait(fd_, POLLIN, 100)) return true;
      if (std::chrono::steady_clock::now() >= end) return false;
    }
    return false;
  }
  void NextRequest() {
    inHead_ = true;
    headBytes_ = bodyBytes_ = 0;
    tail_ = 0;
  }
  bool Cut() const { return cut_; }

  bool is_readable() const override { return Buffered() || Wait(fd_, POLLIN, readMs_); }
  bool is_writable() const override { return Wait(fd_, POLLOUT, writeMs_); }

  ssize_t read(char* ptr, size_t size) override {
    if (cut_) return Synthetic(ptr, size);
    if (pos_ == len_ && !Fill()) return eof_ ? 0 : -1;
    const std::size_t n = std::min(size, len_ - pos_);
    for (std::size_t i = 0; i < n; ++i) {
      const unsigned char c = static_cast<unsigned char>(buf_[pos_ + i]);
      if (inHead_) {
        if (++headBytes_ > maxHead_) return CutAt(ptr, size, i, 431);
        tail_ = (tail_ << 8) | c;
        if ((tail_ & 0xFFFFFFFF) == 0x0D0A0D0A || (tail_ & 0xFFFF) == 0x0A0A) inHead_ = false;
      } else if (++bodyBytes_ > maxBody_) {
        return CutAt(ptr, size, i, 413);
      }
    }
    std::memcpy(ptr, buf_ + pos_, n);
    pos_ += n;
    return static_cast<ssize_t>(n);
  }

  ssize_t write(const char* ptr, size_t size) override {
    if (!is_writable()) return -1;
    if (ssl_) {
      const int n = SSL_write(ssl_, ptr, static_cast<int>(std::min<std::size_t>(size, 1 << 30)));
      return n > 0 ? n : -1;
    }
    ssize_t n;
    do n = ::send(fd_, ptr, size, MSG_NOSIGNAL);
    while (n < 0 && errno == EINTR);
    return n;
  }

  void get_remote_ip_and_port(std::string& ip, int& port) const override { Address(fd_, true, ip, port); }
  void get_local_ip_and_port(std::string& ip, int& port) const override { Address(fd_, false, ip, port); }
  socket_t socket() const override { return fd_; }

 private:
  bool Buffered() const { return pos_ < len_ || (ssl_ && SSL_pending(ssl_) > 0); }

  bool Fill() {
    pos_ = len_ = 0;
    if (!(ssl_ && SSL_pending(ssl_) > 0) && !Wait(fd_, POLLIN, readMs_)) return false;
    ssize_t n;
    if (ssl_) {
      n = SSL_read(ssl_, buf_, sizeof buf_);
      if (n <= 0) eof_ = SSL_get_error(ssl_, static_cast<int>(n)) == SSL_ERROR_ZERO_RETURN;
    } else {
      do n = ::recv(fd_, buf_, sizeof buf_, 0);
      while (n < 0 && errno == EINTR);
      eof_ = n == 0;
    }
    if (n <= 0) return false;
    len_ = static_cast<std::size_t>(n);
    return true;
  }

  // Hands over the bytes before the one over the limit; from then on the
  // reader gets a blank line that ends the head it has, then the end.
  ssize_t CutAt(char* ptr, std::size_t size, std::size_t i, int status) {
    std::memcpy(ptr, buf_ + pos_, i);
    pos_ += i;
    cut_ = true;
    tRefusedForSize = status;
    synthetic_ = status == 431 ? "\r\n\r\n" : "";
    return i > 0 ? static_cast<ssize_t>(i) : Synthetic(ptr, size);
  }
  ssize_t Synthetic(char* ptr, std::size_t size) {
    const std::size_t n = std::min(size, std::strlen(synthetic_));
    std::memcpy(ptr, synthetic_, n);
    synthetic_ += n;
    return static_cast<ssize_t>(n);
  }

  int fd_;
  SSL* ssl_;
  int readMs_, writeMs_;
  std::size_t maxHead_, maxBody_;
  char buf_[4096];
  std::size_t pos_ = 0, len_ = 0;
  bool eof_ = false;
  bool inHead_ = true, cut_ = false;
  std::size_t headBytes_ = 0, bodyBytes_ = 0;
  std::uint32_t tail_ = 0;
  const char* synthetic_ = "";
};
}  // namespace

TGuardedServer::TGuardedServer() = default;

TGuardedServer::TGuardedServer(const std::string& certFile, const std::string& keyFile)
    : ctx_(SSL_CTX_new(TLS_server_method())) {
  valid_ = ctx_ && SSL_CTX_set_min_proto_version(ctx_, TLS1_2_VERSION) == 1 &&
           SSL_CTX_use_certificate_chain_file(ctx_, certFile.c_str()) == 1 &&
           SSL_CTX_use_PrivateKey_file(ctx_, keyFile.c_str(), SSL_FILETYPE_PEM) == 1 &&
           SSL_CTX_check_private_key(ctx_) == 1;
  if (ctx_) SSL_CTX_set_mode(ctx_, SSL_MODE_AUTO_RETRY);
}

TGuardedServer::~TGuardedServer() { SSL_CTX_free(ctx_); }

bool TGuardedServer::is_valid() const { return valid_; }

int TGuardedServer::RefusedForSize() { return tRefusedForSize; }

bool TGuardedServer::process_and_close_socket(socket_t sock) {
  // A peer that goes while TLS writes to it must not end the process; the
  // write fails instead. (The signal stays pending on this worker, unseen.)
  sigset_t pipe;
  sigemptyset(&pipe);
  sigaddset(&pipe, SIGPIPE);
  ::pthread_sigmask(SIG_BLOCK, &pipe, nullptr);
  int yes = 1;
  ::setsockopt(sock, IPPROTO_TCP, TCP_NODELAY, &yes, sizeof yes);
  SSL* ssl = nullptr;
  bool ret = false;
  if (ctx_) {
    // The handshake blocks; each of its reads and writes waits at most the time-outs.
    timeval read{read_timeout_sec_, static_cast<suseconds_t>(read_timeout_usec_)};
    timeval write{write_timeout_sec_, static_cast<suseconds_t>(write_timeout_usec_)};
    ::setsockopt(sock, SOL_SOCKET, SO_RCVTIMEO, &read, sizeof read);
    ::setsockopt(sock, SOL_SOCKET, SO_SNDTIMEO, &write, sizeof write);
    ssl = SSL_new(ctx_);
    if (!ssl || SSL_set_fd(ssl, sock) != 1 || SSL_accept(ssl) != 1) {
      SSL_free(ssl);
      ssl = nullptr;
      ERR_clear_error();
      ::shutdown(sock, SHUT_RDWR);
      ::close(sock);
      return false;
    }
  }
  {
    TConnectionStream stream(sock, ssl, Milliseconds(read_timeout_sec_, read_timeout_usec_),
                             Milliseconds(write_timeout_sec_, write_timeout_usec_), MaxHeadBytes, maxBody_);
    for (std::size_t count = keep_alive_max_count_;
         count > 0 && stream.WaitForRequest(static_cast<int>(keep_alive_timeout_sec_ * 1000), svr_sock_); --count) {
      stream.NextRequest();
      tRefusedForSize = 0;
      bool closed = false;
      ret = process_request(stream, count == 1, closed, nullptr);
      if (!ret || closed || stream.Cut()) break;
    }
  }
  tRefusedForSize = 0;
  if (ssl) {
    SSL_shutdown(ssl);
    SSL_free(ssl);
    ERR_clear_error();
  }
  ::shutdown(sock, SHUT_RDWR);
  ::close(sock);
  return ret;
}
