// cpp-httplib's server with connections read by the service itself, in
// clear text or TLS, so that no request can make it hold more than a little
// of what it sends.
//
// The library reads a request's head line by line and keeps every header,
// without a limit on their number or on a line's length: one connection
// sending headers without end would grow the service's memory without end.
// Here each request's head may be at most MaxHeadBytes and its body at most
// MaxBodyBytes; once a request passes either, reading stops, the request is
// answered 431 (a head too large) or 413, and the connection is closed.
//
// Reads and writes wait at most the server's read and write time-outs, the
// wait for a connection's next request at most its keep-alive time-out, and
// a connection carries at most its keep-alive count of requests, as the
// library's own connections do. A TLS connection's handshake waits at most
// the read time-out for each piece.
#pragma once

#include <openssl/ssl.h>

#include <cstddef>
#include <string>

#include <httplib.h>

class TGuardedServer : public httplib::Server {
 public:
  static constexpr std::size_t MaxHeadBytes = 16 * 1024;

  // Clear text.
  TGuardedServer();
  // TLS 1.2 or newer with the PEM certificate chain and private key of these
  // files; is_valid() says whether they could be used together.
  TGuardedServer(const std::string& certFile, const std::string& keyFile);
  ~TGuardedServer() override;

  bool is_valid() const override;
  void SetMaxBodyBytes(std::size_t bytes) { maxBody_ = bytes; }
  // Whether the request being answered on this thread was cut off for its
  // size, and the status that says so (0 when it was not).
  static int RefusedForSize();

 private:
  bool process_and_close_socket(socket_t sock) override;

  SSL_CTX* ctx_ = nullptr;
  bool valid_ = true;
  std::size_t maxBody_ = 4096;
};
