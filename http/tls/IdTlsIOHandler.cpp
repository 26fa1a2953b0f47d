#include "http/tls/IdTlsIOHandler.h"

#include <algorithm>

#include "http/openssl/IdOpenSSL.h"
#include "http/transport/IdStackRegistry.h"
#include "runtime/SysUtils.h"

using namespace IdIOHandlerStrings;
using namespace IdTlsStrings;

namespace {
// Every call below follows a session or a context, so OpenSSL is open.
const TIdOpenSSLApi& Ssl() { return TIdOpenSSL::Bound(); }
}  // namespace

// OpenSSL reaches the socket through this: every receive and send goes to the
// socket stack, so errors are numbered as for plain sockets, a send never
// raises SIGPIPE and every wait keeps the handler's limits.
struct TIdTlsTransport {
  static BIO_METHOD* Method() {
    static BIO_METHOD* method = [] {
      BIO_METHOD* m = Ssl().BIO_meth_new(Ssl().BIO_get_new_index() | BIO_TYPE_SOURCE_SINK, "Pinmark socket");
      if (m) {
        Ssl().BIO_meth_set_create(m, Create);
        Ssl().BIO_meth_set_read(m, Read);
        Ssl().BIO_meth_set_write(m, Write);
        Ssl().BIO_meth_set_ctrl(m, Control);
      }
      return m;
    }();
    return method;
  }

  static int Create(BIO* bio) {
    Ssl().BIO_set_init(bio, 1);
    return 1;
  }
  static int Read(BIO* bio, char* data, int size) {
    Ssl().BIO_clear_flags(bio, BIO_FLAGS_RWS | BIO_FLAGS_SHOULD_RETRY);
    auto* handler = static_cast<TIdTlsIOHandler*>(Ssl().BIO_get_data(bio));
    const int n = handler->TransportRead(data, size);
    if (n < 0 && handler->transportTimedOut_) Ssl().BIO_set_flags(bio, BIO_FLAGS_READ | BIO_FLAGS_SHOULD_RETRY);
    return n;
  }
  static int Write(BIO* bio, const char* data, int size) {
    Ssl().BIO_clear_flags(bio, BIO_FLAGS_RWS | BIO_FLAGS_SHOULD_RETRY);
    auto* handler = static_cast<TIdTlsIOHandler*>(Ssl().BIO_get_data(bio));
    const int n = handler->TransportWrite(data, size);
    if (n < 0 && handler->transportTimedOut_) Ssl().BIO_set_flags(bio, BIO_FLAGS_WRITE | BIO_FLAGS_SHOULD_RETRY);
    return n;
  }
  static long Control(BIO*, int command, long, void*) { return command == BIO_CTRL_FLUSH ? 1 : 0; }
};

namespace {

[[noreturn]] void RaiseHandshake(const char* reason) {
  throw EIdTlsHandshakeFailed(Format(RSTlsHandshakeFailed, reason));
}

// SNI and the name the certificate must carry: an address is matched as an
// address and never sent as SNI; a name is matched without partial wildcards.
void SetPeerName(SSL* ssl, std::string name) {
  // The root's dot is no part of a certificate's names.
  if (!name.empty() && name.back() == '.') name.pop_back();
  if (name.empty() || name.find('\0') != std::string::npos) RaiseHandshake(RSTlsInvalidHostName);
  uint8_t address[16];
  X509_VERIFY_PARAM* param = Ssl().SSL_get0_param(ssl);
  bool ok;
  if (TIdStackBSDBase::IPv4TextToBytes(name, address)) {
    ok = Ssl().X509_VERIFY_PARAM_set1_ip(param, address, 4) == 1;
  } else if (TIdStackBSDBase::IPv6TextToBytes(name, address)) {
    ok = Ssl().X509_VERIFY_PARAM_set1_ip(param, address, 16) == 1;
  } else {
    Ssl().SSL_set_hostflags(ssl, X509_CHECK_FLAG_NO_PARTIAL_WILDCARDS);
    ok = Ssl().SSL_ctrl(ssl, SSL_CTRL_SET_TLSEXT_HOSTNAME, TLSEXT_NAMETYPE_host_name, name.data()) == 1 &&
         Ssl().SSL_set1_host(ssl, name.c_str()) == 1;
  }
  Ssl().ERR_clear_error();
  if (!ok) RaiseHandshake(RSTlsInvalidHostName);
}

}  // namespace

void TIdTlsIOHandler::SessionDeleter::operator()(ssl_st* ssl) const { Ssl().SSL_free(ssl); }

TIdTlsIOHandler::TIdTlsIOHandler() { SetUseNagle(false); }

TIdTlsIOHandler::~TIdTlsIOHandler() = default;

bool TIdTlsIOHandler::TlsActive() const { return session_ && Ssl().SSL_is_init_finished(session_.get()); }

std::string TIdTlsIOHandler::ProtocolName() const { return TlsActive() ? Ssl().SSL_get_version(session_.get()) : ""; }

std::string TIdTlsIOHandler::CipherName() const {
  const char* name = TlsActive() ? Ssl().SSL_CIPHER_get_name(Ssl().SSL_get_current_cipher(session_.get())) : nullptr;
  return name ? name : "";
}

void TIdTlsIOHandler::OpenHandler() {
  DropSession();
  sessionEnded_ = false;
  endError_ = nullptr;
  TIdSSLIOHandlerSocketBase::OpenHandler();
}

void TIdTlsIOHandler::CloseHandler() {
  if (session_ && !sessionEnded_ && SocketAllocated() && Ssl().SSL_is_init_finished(session_.get())) {
    // A goodbye that does not fit into the socket now is not worth waiting for.
    sendWithoutWaiting_ = true;
    transportError_ = nullptr;
    Ssl().ERR_clear_error();
    Ssl().SSL_shutdown(session_.get());
    Ssl().ERR_clear_error();
    sendWithoutWaiting_ = false;
  }
  DropSession();
  TIdSSLIOHandlerSocketBase::CloseHandler();
}

void TIdTlsIOHandler::DropSession() {
  session_.reset();
  transportError_ = nullptr;
  connectDeadline_.reset();
}

void TIdTlsIOHandler::EstablishSocket() {
  const Clock::time_point started = Clock::now();
  TIdSSLIOHandlerSocketBase::EstablishSocket();
  if (!PassThrough) StartTls(started);
}

void TIdTlsIOHandler::StartTls(Clock::time_point connectStarted) {
  // The server speaks second: whatever a proxy let through before our hello
  // cannot belong to the session, and must never be read as if it did.
  if (pendingInput_ && pendingInput_->Size() > 0) RaiseHandshake(RSTlsDataBeforeHandshake);
  TIdTlsContext::Handle context = TIdTlsContext::ClientContext(CACertFile);
  Ssl().ERR_clear_error();
  session_.reset(Ssl().SSL_new(context.get()));
  BIO* transport = TIdTlsTransport::Method() ? Ssl().BIO_new(TIdTlsTransport::Method()) : nullptr;
  if (!session_ || !transport) {
    Ssl().BIO_free(transport);
    throw EIdTlsSetupError(Format(RSTlsSetupFailed, OpenSSLReason("out of memory").c_str()));
  }
  Ssl().BIO_set_data(transport, this);
  Ssl().SSL_set_bio(session_.get(), transport, transport);
  SetPeerName(session_.get(), Host);
  Ssl().SSL_set_connect_state(session_.get());

  std::optional<Clock::time_point> deadline;
  if (ConnectTimeout > 0) deadline = connectStarted + std::chrono::milliseconds(ConnectTimeout);
  Handshake(deadline);
  if (OnStatus) ReportStatus(hsStatusText, Format(RSTlsConnected, ProtocolName().c_str(), CipherName().c_str()));
}

void TIdTlsIOHandler::Handshake(const std::optional<Clock::time_point>& connectDeadline) {
  SSL* ssl = session_.get();
  connectDeadline_ = connectDeadline;
  SetReadLimit(ReadTimeout > 0 ? ReadTimeout : -1);
  transportError_ = nullptr;
  transportTimedOut_ = false;
  transportSawEnd_ = false;
  Ssl().ERR_clear_error();
  const int rc = Ssl().SSL_do_handshake(ssl);
  if (rc != 1) RaiseHandshakeFailure();
  connectDeadline_.reset();
  Ssl().ERR_clear_error();
  // Verification cannot be switched off, but a session without a verified
  // certificate is refused here as well, whatever the context allowed.
  if (Ssl().SSL_get_verify_result(ssl) != X509_V_OK || !Ssl().SSL_get0_peer_certificate(ssl))
    throw EIdTlsCertificateUntrusted(Format(RSTlsCertificateUntrusted, "no certificate was verified"));
}

void TIdTlsIOHandler::RaiseHandshakeFailure() {
  SSL* ssl = session_.get();
  if (transportError_) std::rethrow_exception(transportError_);
  if (transportTimedOut_) {
    Ssl().ERR_clear_error();
    if (DeadlinePassed()) RaiseDeadlineExceeded();
    // The connect's own limit is what ran out when its deadline has passed.
    if (connectDeadline_ && Clock::now() >= *connectDeadline_) throw EIdConnectTimeout(RSConnectTimeout);
    throw EIdReadTimeout(RSReadTimeout);
  }
  const long verify = Ssl().SSL_get_verify_result(ssl);
  if (verify != X509_V_OK) {
    Ssl().ERR_clear_error();
    if (verify == X509_V_ERR_HOSTNAME_MISMATCH || verify == X509_V_ERR_IP_ADDRESS_MISMATCH)
      throw EIdTlsHostNameMismatch(Format(RSTlsHostNameMismatch, Host.c_str()));
    throw EIdTlsCertificateUntrusted(Format(RSTlsCertificateUntrusted, Ssl().X509_verify_cert_error_string(verify)));
  }
  std::string reason = OpenSSLReason(RSTlsPeerLeft);
  if (transportSawEnd_) reason = RSTlsPeerLeft;
  RaiseHandshake(reason.c_str());
}

void TIdTlsIOHandler::SetReadLimit(int32_t timeout) {
  noWait_ = timeout == 0;
  readDeadline_.reset();
  if (timeout > 0) readDeadline_ = Clock::now() + std::chrono::milliseconds(timeout);
}

int TIdTlsIOHandler::WaitBudgetMs() const {
  if (noWait_) return 0;
  int budget = -1;
  const std::optional<Clock::time_point> exchangeDeadline =
      Deadline ? std::optional<Clock::time_point>(Deadline->At) : std::nullopt;
  for (const std::optional<Clock::time_point>& deadline : {readDeadline_, connectDeadline_, exchangeDeadline}) {
    if (!deadline) continue;
    const auto left = std::chrono::ceil<std::chrono::milliseconds>(*deadline - Clock::now()).count();
    if (left <= 0) return 0;
    if (budget < 0 || left < budget) budget = static_cast<int>(left);
  }
  return budget;
}

int TIdTlsIOHandler::TransportRead(char* data, int size) {
  try {
    auto* bytes = reinterpret_cast<uint8_t*>(data);
    for (;;) {
      const int32_t n = GStack()->ReceiveAvailable(binding_->OsSocket(), bytes, size);
      if (n == 0) transportSawEnd_ = true;
      if (n >= 0) return n;
      const int budget = WaitBudgetMs();
      if (budget == 0 || !binding_->WaitReadable(budget < 0 ? -2 : budget)) {
        transportTimedOut_ = true;
        return -1;
      }
    }
  } catch (...) {
    transportError_ = std::current_exception();
    return -1;
  }
}

int TIdTlsIOHandler::TransportWrite(const char* data, int size) {
  try {
    const int32_t n = SendWithinDeadline(reinterpret_cast<const uint8_t*>(data), size, !sendWithoutWaiting_);
    if (n < 0) transportTimedOut_ = true;
    return n;
  } catch (...) {
    transportError_ = std::current_exception();
    return -1;
  }
}

std::exception_ptr TIdTlsIOHandler::SessionFailure(int error) {
  if (transportError_) return transportError_;
  if (transportSawEnd_ || (error == SSL_ERROR_SYSCALL && Ssl().ERR_peek_error() == 0)) {
    Ssl().ERR_clear_error();
    return std::make_exception_ptr(EIdTlsTruncated(RSTlsTruncated));
  }
  return std::make_exception_ptr(EIdTlsProtocolError(Format(RSTlsProtocolError, OpenSSLReason("unknown").c_str())));
}

int32_t TIdTlsIOHandler::ReadSession(int32_t timeout) {
  if (sessionEnded_) return 0;
  SSL* ssl = session_.get();
  TIdBytes area(static_cast<std::size_t>(std::max(RecvBufferSize, 1)));
  std::size_t got = 0;
  SetReadLimit(timeout);
  while (got < area.size()) {
    transportError_ = nullptr;
    transportTimedOut_ = false;
    transportSawEnd_ = false;
    Ssl().ERR_clear_error();
    std::size_t n = 0;
    const int rc = Ssl().SSL_read_ex(ssl, area.data() + got, area.size() - got, &n);
    if (rc == 1) {
      got += n;
      // More is taken only when it has arrived already.
      noWait_ = true;
      continue;
    }
    const int error = Ssl().SSL_get_error(ssl, rc);
    if ((error == SSL_ERROR_WANT_READ || error == SSL_ERROR_WANT_WRITE) && !transportError_) {
      Ssl().ERR_clear_error();
      break;
    }
    sessionEnded_ = true;
    if (error != SSL_ERROR_ZERO_RETURN) endError_ = SessionFailure(error);
    Ssl().ERR_clear_error();
    break;
  }
  if (got > 0) {
    area.resize(got);
    pendingInput_->AppendBytes(std::move(area));
    return static_cast<int32_t>(got);
  }
  return sessionEnded_ ? 0 : -1;
}

int32_t TIdTlsIOHandler::FillPendingInput(bool raise, int32_t timeout, bool raiseOnTimeout) {
  if (!session_) return TIdSSLIOHandlerSocketBase::FillPendingInput(raise, timeout, raiseOnTimeout);
  if (timeout == -1) timeout = (ReadTimeout == -1 || ReadTimeout == 0) ? -2 : ReadTimeout;
  CheckDisconnected(raise, false);
  if (!SocketAllocated()) {
    if (raise) throw EIdException(RSNotConnected);
    return 0;
  }
  const int32_t count = ReadSession(timeout);
  if (count == -1) {
    if (timeout != 0 && DeadlinePassed()) RaiseDeadlineExceeded();
    if (raiseOnTimeout) throw EIdReadTimeout(RSReadTimeout);
    return -1;
  }
  peerClosed_ = count == 0;
  CheckDisconnected(raise, false);
  return count;
}

void TIdTlsIOHandler::CheckDisconnected(bool raise, bool ignoreBuffered) {
  TIdSSLIOHandlerSocketBase::CheckDisconnected(raise && !endError_, ignoreBuffered);
  // A stream that broke ends reads with its failure, where a graceful close would end them quietly.
  if (endError_ && raise && !SocketAllocated() && pendingInput_ && (pendingInput_->Size() == 0 || ignoreBuffered))
    std::rethrow_exception(endError_);
}

bool TIdTlsIOHandler::WaitReadable(int32_t timeout) {
  if (session_ && Ssl().SSL_has_pending(session_.get())) return true;
  return TIdSSLIOHandlerSocketBase::WaitReadable(timeout);
}

int32_t TIdTlsIOHandler::WriteDataToTarget(const TIdBytes& bytes, int32_t offset, int32_t count) {
  if (!session_) return TIdSSLIOHandlerSocketBase::WriteDataToTarget(bytes, offset, count);
  if (!SocketAllocated()) throw EIdClosedSocket(RSStatusDisconnected);
  if (endError_) std::rethrow_exception(endError_);
  if (count <= 0) return 0;
  transportError_ = nullptr;
  transportTimedOut_ = false;
  transportSawEnd_ = false;
  // A write waits for room as a plain send does; should it need to read, it may wait as long.
  SetReadLimit(-1);
  Ssl().ERR_clear_error();
  std::size_t written = 0;
  const int rc = Ssl().SSL_write_ex(session_.get(), bytes.data() + offset, static_cast<std::size_t>(count), &written);
  if (rc == 1) return static_cast<int32_t>(written);
  const int error = Ssl().SSL_get_error(session_.get(), rc);
  sessionEnded_ = true;
  endError_ = SessionFailure(error);
  Ssl().ERR_clear_error();
  std::rethrow_exception(endError_);
}
