// A TLS server peer on 127.0.0.1 for the transport and exchange tests. It
// accepts one connection (on a testpeer::LoopbackPeer), completes the server
// side of the handshake with the given context and runs the script on the
// session. When the script returns the socket is closed without
// close_notify; a script that wants a graceful end calls SSL_shutdown. Every
// wait of the server is bounded, so a client that never speaks cannot keep a
// test from ending.
#pragma once

#include <openssl/err.h>
#include <openssl/ssl.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/time.h>

#include <algorithm>
#include <functional>
#include <memory>
#include <mutex>
#include <stdexcept>
#include <string>
#include <string_view>

#include "tests/support/LoopbackPeer.h"
#include "tests/support/TlsTestAuthority.h"

namespace tlspeer {

using ContextPtr = std::unique_ptr<SSL_CTX, decltype(&SSL_CTX_free)>;

// A server context presenting the certificate.
inline ContextPtr ServerContext(const TlsTestAuthority::Issued& cert) {
  // OpenSSL's socket transport writes with write(), which raises SIGPIPE
  // when the client has gone; the test process must live on.
  ::signal(SIGPIPE, SIG_IGN);
  ContextPtr context(SSL_CTX_new(TLS_server_method()), SSL_CTX_free);
  if (!context || SSL_CTX_use_certificate_chain_file(context.get(), cert.certFile.c_str()) != 1 ||
      SSL_CTX_use_PrivateKey_file(context.get(), cert.keyFile.c_str(), SSL_FILETYPE_PEM) != 1)
    throw std::runtime_error("cannot load " + cert.certFile);
  return context;
}

// Reads up to the end of a request head; empty when the client goes first.
inline std::string ReadHead(SSL* ssl) {
  std::string head;
  char buf[4096];
  while (head.find("\r\n\r\n") == std::string::npos) {
    int n = SSL_read(ssl, buf, sizeof buf);
    if (n <= 0) return std::string();
    head.append(buf, static_cast<std::size_t>(n));
  }
  return head;
}

inline bool WriteAll(SSL* ssl, std::string_view data) {
  while (!data.empty()) {
    int n = SSL_write(ssl, data.data(), static_cast<int>(std::min<std::size_t>(data.size(), 1 << 20)));
    if (n <= 0) return false;
    data.remove_prefix(static_cast<std::size_t>(n));
  }
  return true;
}

// Waits (bounded) until the client closes its side; true when it said close_notify first.
inline bool AwaitClientClose(SSL* ssl) {
  char buf[4096];
  for (;;) {
    int n = SSL_read(ssl, buf, sizeof buf);
    if (n > 0) continue;
    return SSL_get_error(ssl, n) == SSL_ERROR_ZERO_RETURN;
  }
}

class TlsScriptedPeer {
 public:
  using Script = std::function<void(SSL* ssl, int fd)>;

  TlsScriptedPeer(SSL_CTX* context, Script script)
      : script_(std::move(script)),
        peer_([this](testpeer::Channel& channel) { Serve(channel); },
              testpeer::LoopbackPeer::Options{.tls = context, .connections = 1}) {}
  ~TlsScriptedPeer() { Join(); }
  TlsScriptedPeer(const TlsScriptedPeer&) = delete;
  TlsScriptedPeer& operator=(const TlsScriptedPeer&) = delete;

  int Port() const { return peer_.Port(); }
  // Waits for the connection to end.
  void Join() { peer_.Join(); }
  bool HandshakeDone() {
    std::lock_guard<std::mutex> guard(lock_);
    return handshakeDone_;
  }
  // The name the client sent with SNI, empty for none.
  std::string ServerName() {
    std::lock_guard<std::mutex> guard(lock_);
    return serverName_;
  }

 private:
  // Called once the handshake is done.
  void Serve(testpeer::Channel& channel) {
    {
      std::lock_guard<std::mutex> guard(lock_);
      handshakeDone_ = true;
      const char* name = SSL_get_servername(channel.Ssl(), TLSEXT_NAMETYPE_host_name);
      serverName_ = name ? name : "";
    }
    script_(channel.Ssl(), channel.Fd());
  }

  Script script_;
  std::mutex lock_;
  bool handshakeDone_ = false;
  std::string serverName_;
  testpeer::LoopbackPeer peer_;  // last: it serves until it is destroyed
};

}  // namespace tlspeer
