// The HTTP client's exception tree. Every class derives from EIdException;
// the socket stack's, the connection's, the I/O handler's and the exchange's
// failures all live here so that callers can catch them by family.
#pragma once

#include <cstdint>
#include <string>

#include "runtime/Exception.h"

PINMARK_EXCEPTION_CLASS(EIdException, Exception);

// Socket stack.
class EIdSocketError : public EIdException {
 public:
  EIdSocketError(int32_t code, std::string message) : EIdException(std::move(message)), SocketErrorCode(code) {}
  int32_t SocketErrorCode = 0;
  PINMARK_EXCEPTION_IDENTITY(EIdSocketError, EIdException)
};
PINMARK_EXCEPTION_CLASS(EIdNotASocket, EIdSocketError);
PINMARK_EXCEPTION_CLASS(EIdStackError, EIdException);
PINMARK_EXCEPTION_CLASS(EIdStackInitializationFailed, EIdStackError);
PINMARK_EXCEPTION_CLASS(EIdStackSetSizeExceeded, EIdStackError);
PINMARK_EXCEPTION_CLASS(EIdIPVersionUnsupported, EIdStackError);
PINMARK_EXCEPTION_CLASS(EIdIPv6Unavailable, EIdException);
PINMARK_EXCEPTION_CLASS(EIdInvalidServiceName, EIdException);
// The socket library or one of its entries cannot be reached. The message is
// "<system text>: <call description>", or the description alone for code 0.
class EIdWinsockStubError : public EIdException {
 public:
  EIdWinsockStubError(int32_t systemErrorCode, std::string systemErrorText, std::string callDescription)
      : EIdException(systemErrorCode != 0 ? systemErrorText + ": " + callDescription : callDescription),
        SystemErrorCode(systemErrorCode),
        SystemErrorText(std::move(systemErrorText)),
        CallDescription(std::move(callDescription)) {}
  int32_t SystemErrorCode = 0;
  std::string SystemErrorText;
  std::string CallDescription;
  PINMARK_EXCEPTION_IDENTITY(EIdWinsockStubError, EIdException)
};
PINMARK_EXCEPTION_CLASS(EIdSocketHandleError, EIdException);
PINMARK_EXCEPTION_CLASS(EIdCouldNotBindSocket, EIdSocketHandleError);
PINMARK_EXCEPTION_CLASS(EIdCanNotBindPortInRange, EIdSocketHandleError);
PINMARK_EXCEPTION_CLASS(EIdInvalidPortRange, EIdSocketHandleError);
PINMARK_EXCEPTION_CLASS(EIdCannotSetIPVersionWhenConnected, EIdSocketHandleError);
PINMARK_EXCEPTION_CLASS(EIdPackageSizeTooBig, EIdSocketHandleError);
PINMARK_EXCEPTION_CLASS(EIdNotAllBytesSent, EIdSocketHandleError);
PINMARK_EXCEPTION_CLASS(EIdSilentException, EIdException);
PINMARK_EXCEPTION_CLASS(EIdConnClosedGracefully, EIdSilentException);

// I/O handler and receive buffer.
PINMARK_EXCEPTION_CLASS(EIdReadTimeout, EIdException);
// The whole exchange outlasted the deadline its caller gave it.
PINMARK_EXCEPTION_CLASS(EIdDeadlineExceeded, EIdException);
PINMARK_EXCEPTION_CLASS(EIdReadLnMaxLineLengthExceeded, EIdException);
PINMARK_EXCEPTION_CLASS(EIdClosedSocket, EIdException);
PINMARK_EXCEPTION_CLASS(EIdNotEnoughDataInBuffer, EIdException);
PINMARK_EXCEPTION_CLASS(EIdTooMuchDataInBuffer, EIdException);
PINMARK_EXCEPTION_CLASS(EIdTCPConnectionError, EIdException);
PINMARK_EXCEPTION_CLASS(EIdNoDataToRead, EIdTCPConnectionError);
PINMARK_EXCEPTION_CLASS(EIdIoHandler, EIdException);
PINMARK_EXCEPTION_CLASS(EIdIoHandlerRequiresLargeStream, EIdIoHandler);

// TCP client connection and proxies.
PINMARK_EXCEPTION_CLASS(EIdAlreadyConnected, EIdException);
PINMARK_EXCEPTION_CLASS(EIdHostRequired, EIdException);
PINMARK_EXCEPTION_CLASS(EIdPortRequired, EIdException);
PINMARK_EXCEPTION_CLASS(EIdConnectTimeout, EIdException);
PINMARK_EXCEPTION_CLASS(EIdConnectException, EIdException);
PINMARK_EXCEPTION_CLASS(EIdIOHandlerPropInvalid, EIdException);
PINMARK_EXCEPTION_CLASS(EIdTransparentProxyCircularLink, EIdException);
PINMARK_EXCEPTION_CLASS(EIdTransparentProxyCantBind, EIdException);
PINMARK_EXCEPTION_CLASS(EIdTransparentProxyUDPNotSupported, EIdException);
PINMARK_EXCEPTION_CLASS(EIdSocksError, EIdException);
PINMARK_EXCEPTION_CLASS(EIdSocksRequestFailed, EIdSocksError);
PINMARK_EXCEPTION_CLASS(EIdSocksRequestServerFailed, EIdSocksError);
PINMARK_EXCEPTION_CLASS(EIdSocksRequestIdentFailed, EIdSocksError);
PINMARK_EXCEPTION_CLASS(EIdSocksUnknownError, EIdSocksError);
PINMARK_EXCEPTION_CLASS(EIdSocksServerRespondError, EIdSocksError);
PINMARK_EXCEPTION_CLASS(EIdSocksAuthMethodError, EIdSocksError);
PINMARK_EXCEPTION_CLASS(EIdSocksAuthError, EIdSocksError);
PINMARK_EXCEPTION_CLASS(EIdSocksServerGeneralError, EIdSocksError);
PINMARK_EXCEPTION_CLASS(EIdSocksServerPermissionError, EIdSocksError);
PINMARK_EXCEPTION_CLASS(EIdSocksServerNetUnreachableError, EIdSocksError);
PINMARK_EXCEPTION_CLASS(EIdSocksServerHostUnreachableError, EIdSocksError);
PINMARK_EXCEPTION_CLASS(EIdSocksServerConnectionRefusedError, EIdSocksError);
PINMARK_EXCEPTION_CLASS(EIdSocksServerTTLExpiredError, EIdSocksError);
PINMARK_EXCEPTION_CLASS(EIdSocksServerCommandError, EIdSocksError);
PINMARK_EXCEPTION_CLASS(EIdSocksServerAddressError, EIdSocksError);
// A SOCKS 5 target name that does not fit the connect request.
PINMARK_EXCEPTION_CLASS(EIdSocksHostNameTooLong, EIdSocksError);

// TLS. Nothing is ever sent or read in clear text after one of these.
PINMARK_EXCEPTION_CLASS(EIdTlsError, EIdException);
// The TLS library could not be set up (for example trust anchors that cannot be read).
PINMARK_EXCEPTION_CLASS(EIdTlsSetupError, EIdTlsError);
// The handshake did not complete: an alert, no common protocol, a peer that is not TLS, a peer that left.
PINMARK_EXCEPTION_CLASS(EIdTlsHandshakeFailed, EIdTlsError);
// The peer's certificate chain does not verify against the trust anchors.
PINMARK_EXCEPTION_CLASS(EIdTlsCertificateUntrusted, EIdTlsError);
// The certificate is trusted but issued for another host name or address.
PINMARK_EXCEPTION_CLASS(EIdTlsHostNameMismatch, EIdTlsError);
// The TLS stream broke after the handshake.
PINMARK_EXCEPTION_CLASS(EIdTlsProtocolError, EIdTlsError);
// The connection ended without the peer's close_notify: what came last may be missing.
PINMARK_EXCEPTION_CLASS(EIdTlsTruncated, EIdTlsProtocolError);

// URI, headers, authentication.
PINMARK_EXCEPTION_CLASS(EIdURIException, EIdException);
PINMARK_EXCEPTION_CLASS(EIdFailedToRetreiveTimeZoneInfo, EIdException);
PINMARK_EXCEPTION_CLASS(EIdAlreadyRegisteredAuthenticationMethod, EIdException);

// HTTP exchange.
PINMARK_EXCEPTION_CLASS(EIdUnknownProtocol, EIdException);
// An answer whose framing cannot be trusted: its head or body cut short, a
// length or chunk size that is not a plain number, more head lines than the
// client reads. The message says what was wrong; nothing of the body is
// handed out as a result.
PINMARK_EXCEPTION_CLASS(EIdHTTPMalformedResponse, EIdException);
class EIdReplyError : public EIdException {
 public:
  using EIdException::EIdException;
  PINMARK_EXCEPTION_IDENTITY(EIdReplyError, EIdException)
};
class EIdReplyRFCError : public EIdReplyError {
 public:
  EIdReplyRFCError(int32_t replyCode, std::string message) : EIdReplyError(std::move(message)), ReplyCode(replyCode) {}
  int32_t ReplyCode = 0;
  PINMARK_EXCEPTION_IDENTITY(EIdReplyRFCError, EIdReplyError)
};
// A final answer the exchange does not accept: the message is the status
// line as received, ErrorBody the answer's body.
class EIdHTTPProtocolException : public EIdReplyRFCError {
 public:
  EIdHTTPProtocolException(int32_t replyCode, std::string statusLine, std::string errorBody)
      : EIdReplyRFCError(replyCode, std::move(statusLine)), ErrorBody(std::move(errorBody)) {}
  std::string ErrorBody;
  PINMARK_EXCEPTION_IDENTITY(EIdHTTPProtocolException, EIdReplyRFCError)
};
