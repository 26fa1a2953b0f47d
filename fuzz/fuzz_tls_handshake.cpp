// Arbitrary bytes from an HTTPS server. The first byte picks where they go:
//   0  in place of the server's side of the handshake, in clear on the socket;
//   1  on the socket in clear after a real handshake, where records belong;
//   2  as the answer inside a real session (then 3: the same, ended by close_notify).
// Whatever arrives, the exchange must end in an exception of ours within its
// read time-out, and it can only succeed when the bytes came inside a session.
#include <openssl/err.h>
#include <openssl/ssl.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include <cstdint>
#include <cstdlib>
#include <mutex>
#include <string>
#include <thread>

#include "http/exchange/IdHTTP.h"
#include "http/tls/IdTlsIOHandler.h"
#include "tests/support/LoopbackPeer.h"
#include "tests/support/TlsTestAuthority.h"
#include "tests/support/TlsTestPeer.h"

namespace {

using testpeer::RecvExactly;
using testpeer::SendAll;

class HostilePeer {
 public:
  HostilePeer() {
    listenFd_ = testpeer::ListenLoopback(64, &port_);
    std::thread([this] { Run(); }).detach();
  }
  void Set(uint8_t mode, std::string bytes) {
    std::lock_guard<std::mutex> g(lock_);
    mode_ = mode;
    bytes_ = std::move(bytes);
  }
  int Port() const { return port_; }
  const std::string& CaFile() const { return authority_.CertFile(); }

 private:
  void Run() {
    for (;;) {
      int fd = ::accept4(listenFd_, nullptr, nullptr, SOCK_CLOEXEC);
      if (fd < 0) continue;
      timeval limit{2, 0};
      ::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof limit);
      ::setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &limit, sizeof limit);
      uint8_t mode;
      std::string bytes;
      {
        std::lock_guard<std::mutex> g(lock_);
        mode = mode_;
        bytes = bytes_;
      }
      if (mode == 0) {
        const std::string header = RecvExactly(fd, 5, 2000);
        if (header.size() == 5) RecvExactly(fd, (uint8_t(header[3]) << 8) | uint8_t(header[4]), 2000);
        SendAll(fd, bytes);
      } else {
        SSL* ssl = SSL_new(context_.get());
        SSL_set_fd(ssl, fd);
        if (SSL_accept(ssl) == 1) {
          std::string head;
          char buf[4096];
          while (head.find("\r\n\r\n") == std::string::npos) {
            int n = SSL_read(ssl, buf, sizeof buf);
            if (n <= 0) break;
            head.append(buf, static_cast<std::size_t>(n));
          }
          if (mode == 1) {
            SendAll(fd, bytes);
          } else {
            SSL_write(ssl, bytes.data(), static_cast<int>(bytes.size()));
            if (mode == 3) SSL_shutdown(ssl);
          }
        }
        SSL_free(ssl);
        ERR_clear_error();
      }
      // The end of the stream, whatever the client still has to say.
      ::shutdown(fd, SHUT_WR);
      testpeer::RecvUntilClosed(fd, 500);
      ::close(fd);
    }
  }

  TlsTestAuthority authority_;
  tlspeer::ContextPtr context_ = tlspeer::ServerContext(authority_.Localhost());
  int listenFd_ = -1;
  int port_ = 0;
  std::mutex lock_;
  uint8_t mode_ = 0;
  std::string bytes_;
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static HostilePeer* peer = new HostilePeer();
  if (size == 0) return 0;
  const uint8_t mode = data[0] % 4;
  peer->Set(mode, std::string(reinterpret_cast<const char*>(data + 1), size - 1));
  bool succeeded = false;
  try {
    TIdHTTP http;
    auto handler = std::make_unique<TIdTlsIOHandler>();
    handler->CACertFile = peer->CaFile();
    http.SetIOHandler(std::move(handler));
    http.SetReadTimeout(1000);
    TStringStream out;
    http.Get("https://localhost:" + std::to_string(peer->Port()) + "/x", out);
    succeeded = true;
  } catch (const Exception&) {
    // Every refusal and broken stream is one of ours.
  }
  // Bytes outside a session can never make an exchange succeed.
  if (succeeded && mode < 2) std::abort();
  return 0;
}
