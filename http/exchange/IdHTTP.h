// The HTTP/1.x client: a TCP client connection that turns a URL into a
// request, writes the request line and header block, reads the status line,
// header block and body, and follows the rules for redirects, authentication
// challenges and errors. Every operation blocks until the exchange has ended.
//
// A failed transfer is never reported as a success: an operation that returns
// normally has delivered the whole body of a 2xx answer exactly as its head
// framed it. A head or body cut short, a reset, a malformed length or chunk,
// a read time-out, a refused or unanswerable answer each raise, and nothing of
// a partial body is left as the result. Memory stays bounded by the body the
// caller asked for: refusals keep at most MaxErrorBody bytes of theirs and
// redirect pages are never kept.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <span>
#include <string>

#include "http/protocol/IdHTTPContext.h"
#include "http/protocol/IdHTTPStatusLine.h"
#include "http/protocol/IdHeaderInfo.h"
#include "http/protocol/IdURI.h"
#include "http/transport/IdIOHandlerStack.h"
#include "http/transport/IdSSLIOHandlerSocketBase.h"
#include "http/transport/IdTCPClient.h"
#include "runtime/Stream.h"
#include "runtime/StringList.h"

enum TIdHTTPOption : uint8_t { hoInProcessAuth = 1, hoKeepOrigProtocol = 2, hoForceEncodeParams = 4 };
using TIdHTTPOptions = uint8_t;  // a set of TIdHTTPOption bits

enum TIdHTTPConnectionType : uint8_t { ckDirect = 0, ckTls = 1, ckProxy = 2, ckTlsProxy = 3 };

// What the exchange does after a response head has been judged.
enum TIdHTTPWhatsNext : uint8_t { nxFollow = 0, nxDone = 1, nxRetryAuth = 4 };

namespace IdHTTPStrings {
inline constexpr const char* RSHTTPUnknownProtocol = "Unknown Protocol";
inline constexpr const char* RSHTTPMethodRequiresVersion = "Request method requires HTTP version 1.1";
inline constexpr const char* RSIOHandlerPropInvalid = "IOHandler value is not valid";
inline constexpr const char* RSHTTPChunkStarted = "Chunk Started";
inline constexpr const char* RSHTTPHeadCutShort = "Connection closed before the end of the response head.";
inline constexpr const char* RSHTTPTooManyHeadLines = "Response head has more than %d header lines.";
inline constexpr const char* RSHTTPTooManyInterim = "More than %d interim (1xx) responses.";
inline constexpr const char* RSHTTPInvalidStatusLine = "Invalid status line %s.";
inline constexpr const char* RSHTTPUnsupportedVersion = "Unsupported HTTP version in status line %s.";
inline constexpr const char* RSHTTPInvalidHeaderName = "Control character in header name %s.";
inline constexpr const char* RSHTTPHostNotOfIPVersion = "Host %s is not an %s address.";
}  // namespace IdHTTPStrings

// A body decompressor that can be attached to the client; none is by default.
class TIdZLibCompressorBase {
 public:
  virtual ~TIdZLibCompressorBase() = default;
  // Decompresses all of source (from its start) into dest.
  virtual void DecompressDeflateStream(TStream& source, TStream& dest) = 0;
  virtual void DecompressGZipStream(TStream& source, TStream& dest) = 0;
};

class TIdHTTPRequest : public TIdRequestHeaderInfo {
 public:
  std::string RequestTarget;
  std::string RequestMethod;
  TStream* BodySource = nullptr;  // not owned
  TIdHTTPConnectionType ConnectionKind = ckDirect;
  TIdIPVersion IPVersion = Id_IPv4;
};

class TIdHTTPResponse : public TIdResponseHeaderInfo {
 public:
  // The first line of the response as read, e.g. "HTTP/1.1 404 Not Found".
  const std::string& StatusLine() const { return status_.Text; }
  // The word after the first blank, -1 when it is not a number.
  int32_t StatusCode() const { return status_.Code; }
  const TIdHTTPStatusLine& Status() const { return status_; }
  // Takes a newly read first line; it is parsed here and nowhere else.
  void SetStatusLine(std::string line) { status_ = TIdHTTPStatusLine::Parse(std::move(line)); }

  bool KeepConnection = false;
  TStream* BodyStream = nullptr;  // not owned
  // 0 for "1.0", 1 for "1.1": the version of the last status line that named
  // one, taken when the exchange decides whether to keep the connection.
  uint8_t ReplyVersion = pv1_1;

 private:
  TIdHTTPStatusLine status_;
};

class TIdHTTPProtocol {
 public:
  TIdHTTPRequest Request;
  TIdHTTPResponse Response;
};

class TIdCustomHTTP;
using TIdHTTPOnHeadersAvailable = std::function<void(TIdCustomHTTP* Sender, TIdHeaderList* AHeaders, bool& VContinue)>;
using TIdHTTPOnRedirectEvent = std::function<void(TIdCustomHTTP* Sender, std::string& dest, int32_t& NumRedirect,
                                                  bool& Handled, std::string& VMethod)>;

class TIdCustomHTTP : public TIdTCPClientCustom {
 public:
  TIdCustomHTTP();
  ~TIdCustomHTTP() override;
  const char* ClassName() const override { return "TIdCustomHTTP"; }

  TIdHTTPProtocolVersion ProtocolVersion = pv1_1;
  TIdHTTPOptions HTTPOptions = hoForceEncodeParams;
  bool HandleRedirects = false;
  int32_t RedirectMaximum = 15;
  int32_t MaxAuthRetries = 3;
  bool AllowCookies = true;
  TIdProxyConnectionInfo ProxyParams;
  TIdHTTPRequest& Request() { return protocol_->Request; }
  TIdHTTPResponse& Response() { return protocol_->Response; }
  // The cookie store in use: one assigned here (not owned), or the one the
  // client made itself when a response set cookies (owned, freed with the
  // client or when another is assigned).
  TIdCookieManager* CookieManager() const { return cookieManager_; }
  void SetCookieManager(TIdCookieManager* manager);
  TIdZLibCompressorBase* Compressor = nullptr;  // not owned
  // Collects finished authentications when they end with a connection; none by default.
  TIdAuthenticationManager* AuthenticationManager = nullptr;  // not owned

  TIdHTTPOnHeadersAvailable OnHeadersAvailable;
  TIdHTTPOnRedirectEvent OnRedirect;
  TIdOnSelectAuthorization OnSelectAuthorization;
  TIdOnSelectAuthorization OnSelectProxyAuthorization;
  TIdOnAuthorization OnAuthorization;
  TIdOnAuthorization OnProxyAuthorization;

  // The most header lines a response head (or a chunked body's trailer) may
  // have; one with more is refused with EIdHTTPMalformedResponse.
  int32_t HeaderLineLimit = 255;

  // The one address family every connection uses, whatever the URL's host:
  // a host name is looked up in that family alone, and a literal of the
  // other family raises EIdIPVersionUnsupported before anything is sent.
  // Empty (the default): the family of the URL's host, a name being IPv4.
  std::optional<TIdIPVersion> RequiredIPVersion;

  // Bodies of refused answers are kept up to this size for
  // EIdHTTPProtocolException; a longer one is cut there and its connection
  // dropped, as is a redirect page longer than this, which is never kept.
  static constexpr int64_t MaxErrorBody = 1 << 20;

  // POSTs the form fields (may be null) to the URL on a new connection and
  // returns the body of an accepted answer as text, byte for byte.
  std::string PostFormText(const std::string& url, TStringList* fields);
  // Sets the form content type, encodes the fields and posts them.
  void PostFormStream(const std::string& url, TStringList* fields, TStream& response);
  // POSTs the body, as HTTP/1.0 unless hoKeepOrigProtocol is set.
  void PostStream(const std::string& url, TStream* body, TStream* response);
  // GETs the URL into the stream.
  void Get(const std::string& url, TStream& response);
  // The exchange loop. Answers whose status is among `accepted` end without
  // error (their body is dropped); every other answer outside 2xx raises
  // EIdHTTPProtocolException. Returning normally means the whole body as its
  // head framed it is in the stream; when anything fails, the stream is cut
  // back to where it stood, so no partial body is ever left as a result.
  void RunExchange(const std::string& method, const std::string& url, TStream* body, TStream* response,
                   std::span<const int16_t> accepted = {});

  // The current target, kept across exchanges so that a later relative URL
  // resolves against it.
  const TIdURI& URL() const { return uri_; }

 protected:
  void ResolveTarget();
  void ConnectForRequest();
  void SendRequestHead();
  void ReadResponseHead();
  TIdHTTPWhatsNext DecideNextStep(std::span<const int16_t> accepted);
  bool ConfirmRedirect(std::string& target, std::string& method, int32_t count);
  void RaiseProtocolError(std::span<const int16_t> accepted);
  void DiscardResponseBody();
  // Reads the body into the stream through the reader its framing needs,
  // decompressed when a compressor is attached and the body is encoded.
  void ReadResponseBody(TStream& stream);
  bool ComputeKeepAlive();
  std::string EncodeFormFields(TStringList* fields);
  void StoreCookies();
  void AttachCookies();

  // Closes the connection and drops what was received but not read.
  void Disconnect();
  // After the handler is closed: a finished authentication goes to the manager.
  void DoOnDisconnected() override;

 private:
  TIdHTTPAuthContext AuthContext();
  TIdHTTPCookieContext CookieContext();
  TIdHTTPWhatsNext DecideRedirect(int32_t code, std::span<const int16_t> accepted);
  // Reads the redirect page to nowhere within the caller's read time-out (4 s
  // when there is none); a page that cannot be read costs the connection only.
  void DiscardRedirectBody();
  // Reads the body keeping at most MaxErrorBody bytes in `body` (also when
  // the read fails); the rest of a longer one is left unread and the
  // connection dropped.
  void ReadBoundedBody(std::string& body);
  void ReadBodyInto(TStream& stream);

  std::unique_ptr<TIdHTTPProtocol> protocol_;
  TIdURI uri_;
  TIdCookieManager* cookieManager_ = nullptr;
  std::unique_ptr<TIdCookieManager> ownedCookieManager_;
  int32_t redirectCount_ = 0;
  int32_t authRetries_ = 0;
  int32_t authProxyRetries_ = 0;
  // Where this exchange's credentials belong ("scheme://host:port"): the
  // first target, or the last one whose URL carried its own.
  std::string credentialsOrigin_;
};

class TIdHTTP : public TIdCustomHTTP {
 public:
  const char* ClassName() const override { return "TIdHTTP"; }
};
