// The TLS I/O handler: a socket handler whose connect completes a TLS
// handshake (OpenSSL 3) after the TCP connect and after the negotiation with
// a transparent proxy, and whose reads and writes then pass through the TLS
// session while the receive buffer, the line and block readers and the write
// queue above work exactly as for a plain socket.
//
// Guarantees:
// - TLS 1.2 or newer; SNI for host names; the peer's chain verified against
//   the system's trust store (SSL_CERT_FILE and SSL_CERT_DIR apply) and
//   CACertFile; the certificate matched to Host, a name or an IP address.
//   Any failure ends the connect with an EIdTls* exception saying why; after
//   the TCP connect nothing is ever sent or taken in clear text, unless
//   PassThrough asked for a plain connection before it was made.
// - ReadTimeout bounds each read: one that gets no data within it fails,
//   whatever else (half records, session tickets) the peer sends meanwhile,
//   and the handshake counts as one read; ConnectTimeout bounds the whole
//   connect, the handshake included.
// - The peer's close_notify is a graceful close: a read until close ends
//   there. A stream that ends without it, or that breaks, raises
//   EIdTlsTruncated or EIdTlsProtocolError (or the socket error) from the
//   read that needs the missing bytes, never a graceful close.
#pragma once

#include <chrono>
#include <exception>
#include <memory>
#include <optional>
#include <string>

#include "http/tls/IdTlsContext.h"
#include "http/transport/IdSSLIOHandlerSocketBase.h"

struct ssl_st;

namespace IdTlsStrings {
inline constexpr const char* RSTlsHandshakeFailed = "TLS handshake failed: %s";
inline constexpr const char* RSTlsPeerLeft = "the peer closed the connection";
inline constexpr const char* RSTlsDataBeforeHandshake = "the peer sent data before the handshake";
inline constexpr const char* RSTlsInvalidHostName = "invalid host name";
inline constexpr const char* RSTlsCertificateUntrusted = "The server's certificate is not trusted: %s";
inline constexpr const char* RSTlsHostNameMismatch = "The server's certificate does not match the host name %s";
inline constexpr const char* RSTlsProtocolError = "TLS protocol error: %s";
inline constexpr const char* RSTlsTruncated =
    "TLS stream truncated: the peer closed the connection without close_notify";
// The status text after a handshake: protocol and cipher.
inline constexpr const char* RSTlsConnected = "%s connection, cipher %s.";
}  // namespace IdTlsStrings

class TIdTlsIOHandler : public TIdSSLIOHandlerSocketBase {
 public:
  // Leaves Nagle off (TCP_NODELAY): TLS writes whole records, and holding the
  // request back behind the handshake's last flight only costs a round trip.
  TIdTlsIOHandler();
  ~TIdTlsIOHandler() override;
  const char* ClassName() const override { return "TIdTlsIOHandler"; }

  // A PEM file of trust anchors used besides the system's, or empty.
  std::string CACertFile;

  // True while a connection carries TLS: the handshake is done and the connection not closed.
  bool TlsActive() const;
  // The protocol and cipher of the current connection ("TLSv1.3", ...), empty without TLS.
  std::string ProtocolName() const;
  std::string CipherName() const;

  void OpenHandler() override;
  // Says close_notify (without waiting for room to send it) and closes.
  void CloseHandler() override;
  int32_t FillPendingInput(bool raise = true, int32_t timeout = -1, bool raiseOnTimeout = true) override;
  void CheckDisconnected(bool raise, bool ignoreBuffered) override;
  // Decrypted bytes waiting inside the session count as readable.
  bool WaitReadable(int32_t timeout) override;

 protected:
  // The TCP connect (and the proxy's negotiation), then the handshake.
  void EstablishSocket() override;
  int32_t WriteDataToTarget(const TIdBytes& bytes, int32_t offset, int32_t count) override;

 private:
  using Clock = std::chrono::steady_clock;
  struct SessionDeleter {
    void operator()(ssl_st* ssl) const;
  };

  friend struct TIdTlsTransport;

  // The transport under the session, called by OpenSSL: never raises, keeps
  // what went wrong in transportError_ or transportTimedOut_ instead.
  int TransportRead(char* data, int size);
  int TransportWrite(const char* data, int size);
  void StartTls(Clock::time_point connectStarted);
  void Handshake(const std::optional<Clock::time_point>& connectDeadline);
  // Says why the handshake failed: the transport's error or time-out, the certificate, or OpenSSL's reason.
  [[noreturn]] void RaiseHandshakeFailure();
  // The exception for a failed read or write of the session.
  std::exception_ptr SessionFailure(int error);
  // Decrypts what arrives within timeout into PendingInput: the byte count,
  // 0 when the session has ended, -1 when nothing came in time.
  int32_t ReadSession(int32_t timeout);
  void DropSession();
  // The current read may wait timeout ms for the peer (negative: without limit, 0: not at all).
  void SetReadLimit(int32_t timeout);
  // How long the transport may wait for the peer now: -1 without limit, 0 not at all.
  int WaitBudgetMs() const;

  std::unique_ptr<ssl_st, SessionDeleter> session_;
  // The session ended (close_notify or a failure); endError_ says how when it failed.
  bool sessionEnded_ = false;
  std::exception_ptr endError_;
  // What the transport saw during the current session call.
  std::exception_ptr transportError_;
  bool transportTimedOut_ = false;
  bool transportSawEnd_ = false;
  // Limits of the transport's waits for the peer: the current read's deadline
  // (none: no limit) or no waiting at all, and the whole connect's deadline while it lasts.
  std::optional<Clock::time_point> readDeadline_;
  bool noWait_ = false;
  std::optional<Clock::time_point> connectDeadline_;
  bool sendWithoutWaiting_ = false;
};
