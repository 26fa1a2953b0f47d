#include "http/exchange/IdHTTP.h"

#include <algorithm>

#include "http/exchange/IdHTTPBodyReader.h"
#include "http/protocol/IdHTTPBodyFraming.h"
#include "http/transport/IdStack.h"
#include "runtime/SysUtils.h"

using namespace IdHTTPStrings;

namespace {
// How long a redirect page may take to arrive when the caller set no read time-out.
constexpr int32_t kRedirectBodyTimeout = 4000;
// A server sends one "100 Continue" before its answer; one that keeps sending
// them would keep the exchange going for ever.
constexpr int kMaxInterimResponses = 16;

void RefuseMalformedStatusLine(const TIdHTTPStatusLine& status) {
  if (status.WellFormed) return;
  throw EIdHTTPMalformedResponse(Format(status.OtherVersion ? RSHTTPUnsupportedVersion : RSHTTPInvalidStatusLine,
                                        QuotedPeerText(status.Text).c_str()));
}

// A header name is a token: a control byte (a NUL above all) in one is no
// header a server meant, and could make two parts of this program read
// different names.
void RefuseControlBytesInName(const std::string& line) {
  if (line.empty() || line[0] == ' ' || line[0] == '\t') return;  // a continuation line has no name
  const std::string_view name = std::string_view(line).substr(0, line.find(':'));
  for (const char c : name) {
    const auto byte = static_cast<unsigned char>(c);
    if (byte < 0x20 || byte == 0x7F)
      throw EIdHTTPMalformedResponse(Format(RSHTTPInvalidHeaderName, QuotedPeerText(name).c_str()));
  }
}

bool IsWebScheme(std::string_view scheme) { return SameText(scheme, "http") || SameText(scheme, "https"); }

// Control characters would end the request line or start a header of their
// own; percent-encoded they are only odd characters of the path.
bool KeepInRequestLine(unsigned char c) { return c >= 0x20 && c != 0x7F; }
// A Location is a server's text: a blank would split the request line too.
bool KeepInLocation(unsigned char c) { return c > 0x20 && c < 0x7F; }

// The request-target as it goes on the wire: the fragment is the client's
// own and never sent.
std::string WireTarget(std::string_view target) {
  return PercentEncode(target.substr(0, target.find('#')), KeepInRequestLine);
}

// The scheme of an absolute reference ("scheme:..."), empty for a relative one.
std::string_view SchemeOf(std::string_view reference) {
  static constexpr std::string_view kSchemeChars =
      "abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789+-.";
  const std::size_t end = reference.find_first_not_of(kSchemeChars);
  if (end == std::string_view::npos || end == 0 || reference[end] != ':') return {};
  const char first = reference[0];
  if (!((first >= 'a' && first <= 'z') || (first >= 'A' && first <= 'Z'))) return {};
  return reference.substr(0, end);
}

// A Location as the next request's target, or empty when there is nothing to
// follow. Blanks and control characters are percent-encoded and the fragment
// dropped; a scheme-relative "//host/path" takes the current scheme; a
// scheme other than http or https raises "Unknown Protocol" instead of being
// fetched over HTTP from the previous host.
std::string RedirectTarget(std::string_view location, std::string_view currentProtocol) {
  std::string target = PercentEncode(Trim(location), KeepInLocation);
  target.resize(std::min(target.find('#'), target.size()));
  if (target.rfind("//", 0) == 0) target = (SameText(currentProtocol, "https") ? "https:" : "http:") + target;
  const std::string_view scheme = SchemeOf(target);
  if (scheme.empty()) return target;
  if (!IsWebScheme(scheme)) throw EIdUnknownProtocol(RSHTTPUnknownProtocol);
  // "http:x" or "http:///x" names no host, and an empty host would quietly
  // mean the previous one.
  if (target.compare(scheme.size(), 3, "://") != 0 || TIdURI(target).Host.empty()) return {};
  return target;
}

bool Contains(std::span<const int16_t> codes, int32_t code) {
  return std::find(codes.begin(), codes.end(), code) != codes.end();
}

}  // namespace

TIdCustomHTTP::TIdCustomHTTP() : protocol_(std::make_unique<TIdHTTPProtocol>()) {}

TIdCustomHTTP::~TIdCustomHTTP() {
  // The connection goes first, while the request and its authentication still exist.
  CloseConnection(false);
}

void TIdCustomHTTP::Disconnect() {
  CloseConnection(true);
  // Bytes left from a connection we gave up must not be taken for the next answer.
  if (IOHandler() && IOHandler()->PendingInput()) IOHandler()->PendingInput()->EmptyBuffer();
}

void TIdCustomHTTP::SetCookieManager(TIdCookieManager* manager) {
  if (manager == cookieManager_) return;
  if (ownedCookieManager_.get() == cookieManager_) ownedCookieManager_.reset();
  cookieManager_ = manager;
}

TIdHTTPAuthContext TIdCustomHTTP::AuthContext() {
  return TIdHTTPAuthContext{Request(),
                            Response(),
                            ProxyParams,
                            authRetries_,
                            authProxyRetries_,
                            this,
                            AuthenticationManager,
                            OnSelectAuthorization,
                            OnSelectProxyAuthorization,
                            OnAuthorization,
                            OnProxyAuthorization};
}

TIdHTTPCookieContext TIdCustomHTTP::CookieContext() {
  const bool tls = Request().ConnectionKind == ckTls || Request().ConnectionKind == ckTlsProxy;
  return TIdHTTPCookieContext{Request(), Response(), cookieManager_, ownedCookieManager_, AllowCookies, uri_.Host, tls};
}

std::string TIdCustomHTTP::PostFormText(const std::string& url, TStringList* fields) {
  TStringStream response;
  PostFormStream(url, fields, response);
  return response.DataString();
}

void TIdCustomHTTP::PostFormStream(const std::string& url, TStringList* fields, TStream& response) {
  if (Request().ContentType.empty() || SameText(Request().ContentType, "text/html"))
    Request().ContentType = "application/x-www-form-urlencoded";
  TStringStream body(EncodeFormFields(fields));
  PostStream(url, &body, &response);
}

std::string TIdCustomHTTP::EncodeFormFields(TStringList* fields) {
  if (!fields) return std::string();
  if (HTTPOptions & hoForceEncodeParams) {
    for (int i = 0; i < fields->Count(); ++i) {
      const std::string& line = (*fields)[i];
      std::size_t eq = line.find('=');
      if (eq == std::string::npos) continue;
      fields->Put(i, line.substr(0, eq + 1) + TIdURI::EncodeParamValue(std::string_view(line).substr(eq + 1)));
    }
  }
  std::string text = Trim(fields->Text());
  if (fields->Count() < 2) return text;
  return ReplaceAll(text, "\r\n", "&");
}

void TIdCustomHTTP::PostStream(const std::string& url, TStream* body, TStream* response) {
  // Every POST starts on a new connection.
  if (IsConnected()) Disconnect();
  const TIdHTTPProtocolVersion saved = ProtocolVersion;
  if (!(HTTPOptions & hoKeepOrigProtocol)) ProtocolVersion = pv1_0;
  try {
    RunExchange("POST", url, body, response);
  } catch (...) {
    ProtocolVersion = saved;
    throw;
  }
  ProtocolVersion = saved;
}

void TIdCustomHTTP::Get(const std::string& url, TStream& response) { RunExchange("GET", url, nullptr, &response); }

void TIdCustomHTTP::RunExchange(const std::string& method, const std::string& url, TStream* body, TStream* response,
                                std::span<const int16_t> accepted) {
  redirectCount_ = 0;
  authRetries_ = 0;
  authProxyRetries_ = 0;
  credentialsOrigin_.clear();
  const int64_t startPosition = response ? response->Position() : 0;
  Request().RequestTarget = url;
  Request().RequestMethod = method;
  Request().BodySource = body;
  Response().BodyStream = response;

  auto endOfExchange = [this] {
    if (!ComputeKeepAlive()) Disconnect();
  };
  try {
    for (;;) {
      ResolveTarget();
      ConnectForRequest();
      for (int interim = 0;; ++interim) {
        if (interim > kMaxInterimResponses)
          throw EIdHTTPMalformedResponse(Format(RSHTTPTooManyInterim, kMaxInterimResponses));
        Response().SetStatusLine(ReadResponseLine(*IOHandler()));
        RefuseMalformedStatusLine(Response().Status());
        ReadResponseHead();
        StoreCookies();
        // Interim answers (100 Continue, 103 Early Hints, ...) come before the
        // real one; 101 ends HTTP on the connection, so it is an answer.
        const int32_t code = Response().StatusCode();
        if (code / 100 != 1 || code == 101) break;
      }

      TIdHTTPWhatsNext next = DecideNextStep(accepted);
      if (next == nxFollow) {
        if (response) {
          response->SetPosition(startPosition);
          response->SetSize(startPosition);
        }
        authRetries_ = 0;
        authProxyRetries_ = 0;
        continue;
      }
      if (next == nxRetryAuth) {
        Request().RequestTarget = url;
        continue;
      }
      break;
    }
  } catch (const EIdHTTPProtocolException&) {
    // A refused answer whose body was read as far as it goes: the connection
    // is as good as after an accepted one.
    endOfExchange();
    throw;
  } catch (...) {
    // Anything else stopped the exchange at an unknown point of the answer,
    // so neither the connection nor what reached the stream can be used.
    Disconnect();
    if (response) {
      try {
        response->SetSize(startPosition);
        response->SetPosition(startPosition);
      } catch (const Exception&) {
        // A stream that cannot be cut back must not hide why the exchange failed.
      }
    }
    throw;
  }
  endOfExchange();
}

void TIdCustomHTTP::ResolveTarget() {
  TIdHTTPRequest& request = Request();
  TIdURI parsed(request.RequestTarget);
  if (!parsed.Username.empty()) {
    request.Username = parsed.Username;
    request.Password = parsed.Password;
  }
  uri_.Username = request.Username;
  uri_.Password = request.Password;

  uri_.Directory = MergePath(uri_.Directory, parsed.Directory);
  uri_.DocumentName = parsed.DocumentName;
  uri_.Query = parsed.Query;
  if (!parsed.Host.empty()) uri_.Host = parsed.Host;

  // A scheme we do not speak is not fetched over HTTP in its place.
  if (!parsed.Protocol.empty() && !IsWebScheme(parsed.Protocol)) throw EIdUnknownProtocol(RSHTTPUnknownProtocol);
  if (!parsed.Protocol.empty())
    uri_.Protocol = parsed.Protocol;
  else
    uri_.Protocol = SameText(uri_.Protocol, "https") ? "https" : "http";

  if (!parsed.Port.empty())
    uri_.Port = parsed.Port;
  else if (SameText(parsed.Protocol, "http"))
    uri_.Port = "80";
  else if (SameText(parsed.Protocol, "https"))
    uri_.Port = "443";
  else if (uri_.Port.empty())
    throw EIdUnknownProtocol(RSHTTPUnknownProtocol);

  // Credentials go only where they were first used: never to another host
  // or port, and never from https to http, unless the new URL brings its own.
  const std::string origin = LowerCase(uri_.Protocol + "://" + uri_.Host + ":" + uri_.Port);
  if (credentialsOrigin_.empty() || !parsed.Username.empty()) {
    credentialsOrigin_ = origin;
  } else if (origin != credentialsOrigin_) {
    request.Username.clear();
    request.Password.clear();
    request.BasicAuthentication = false;
    request.Authentication.reset();
    uri_.Username.clear();
    uri_.Password.clear();
    credentialsOrigin_ = origin;
  }

  request.RequestTarget = WireTarget(uri_.Directory + uri_.DocumentName + uri_.Query);
  if (request.RequestMethod == "OPTIONS" && parsed.DocumentName == "*") request.RequestTarget = "*";

  // A target without a host (a relative redirect) stays on the current one, of its version.
  if (!parsed.Host.empty()) uri_.IPVersion = parsed.IPVersion;
  if (!parsed.Host.empty() && RequiredIPVersion) {
    // A redirect is held to the family too, so it cannot lead the exchange out of it.
    const bool otherLiteral =
        *RequiredIPVersion == Id_IPv6 ? TIdStack::IsIPv4Text(parsed.Host) : parsed.IPVersion == Id_IPv6;
    if (otherLiteral)
      throw EIdIPVersionUnsupported(Format(RSHTTPHostNotOfIPVersion, parsed.Host.c_str(),
                                           *RequiredIPVersion == Id_IPv6 ? "IPv6" : "IPv4"));
    uri_.IPVersion = *RequiredIPVersion;
  }
  request.IPVersion = uri_.IPVersion;

  const std::string& m = request.RequestMethod;
  if ((m == "TRACE" || m == "PUT" || m == "OPTIONS" || m == "DELETE") && ProtocolVersion != pv1_1)
    throw EIdException(RSHTTPMethodRequiresVersion);

  request.SetContentLength(request.BodySource ? request.BodySource->Size() : -1);
  const std::string host = HostForAuthority(uri_.Host);
  request.Host = uri_.Port == "80" ? host : host + ":" + uri_.Port;
}

void TIdCustomHTTP::ConnectForRequest() {
  TIdHTTPRequest& request = Request();
  const bool https = SameText(uri_.Protocol, "HTTPS");
  // Without a proxy the connection goes to the target itself, else to the proxy.
  const bool direct = ProxyParams.ProxyServer().empty();
  if (direct && SocketHandler() && SocketHandler()->IPVersion != uri_.IPVersion && IsConnected()) Disconnect();
  const std::string host = direct ? uri_.Host : ProxyParams.ProxyServer();
  // A URL's port that is no number, or none that fits, must not quietly become 80.
  int64_t urlPort = 0;
  if (direct && (!TryDecimalToInt64(uri_.Port, urlPort) || urlPort < 1 || urlPort > 65535))
    throw EIdInvalidPortRange(Format(IdTCPClientStrings::RSInvalidPort, uri_.Port.c_str()));
  const int32_t port = direct ? static_cast<int32_t>(urlPort) : ProxyParams.ProxyPort();
  if ((!SameText(Host(), host) || Port() != port) && IsConnected()) Disconnect();
  auto* tls = dynamic_cast<TIdSSLIOHandlerSocketBase*>(IOHandler());
  if (https && !tls) throw EIdIOHandlerPropInvalid(RSIOHandlerPropInvalid);
  // A TLS-capable handler carries "http" targets in clear text; a live
  // connection of the other kind is never reused.
  if (tls && tls->PassThrough == https) {
    if (IsConnected()) Disconnect();
    tls->PassThrough = !https;
  }
  request.ConnectionKind = direct ? (https ? ckTls : ckDirect) : (https ? ckTlsProxy : ckProxy);
  SetHost(host);
  SetPort(port);

  if (request.ConnectionKind == ckProxy) request.RequestTarget = uri_.ProxyTarget();

  switch (request.ConnectionKind) {
    case ckDirect:
      if (ProtocolVersion == pv1_0 && request.Connection.empty()) request.Connection = "keep-alive";
      break;
    case ckProxy:
      if (ProtocolVersion == pv1_0 && request.Connection.empty()) request.ProxyConnection = "keep-alive";
      break;
    case ckTls:
    case ckTlsProxy:
      request.Connection.clear();
      break;
  }

  if (Compressor && request.AcceptEncoding.find("deflate") == std::string::npos &&
      request.AcceptEncoding.find("gzip") == std::string::npos)
    request.AcceptEncoding = "deflate, gzip, ";
  if (request.AcceptEncoding.find("identity") == std::string::npos) request.AcceptEncoding += "identity";

  if (!ComputeKeepAlive()) Disconnect();
  // Bytes that arrived before this request was sent cannot be its answer: a
  // server that sent more than its last answer is not talked to again on
  // that connection.
  if (IsConnected() && IOHandler()->PendingInput() && IOHandler()->PendingInput()->Size() > 0) Disconnect();
  CheckPeerClosed(false);
  if (!IsConnected()) {
    SetIPVersion(uri_.IPVersion);
    ConnectToHost();
  }

  SendRequestHead();
  if ((request.RequestMethod == "POST" || request.RequestMethod == "PUT") && request.BodySource)
    IOHandler()->WriteFromStream(*request.BodySource, 0);
}

void TIdCustomHTTP::SendRequestHead() {
  TIdHTTPRequest& request = Request();
  if (request.Authentication) request.Authentication->SetRequest(request.RequestMethod, request.RequestTarget);
  request.BuildHeaders();
  if (request.ConnectionKind == ckProxy || request.ConnectionKind == ckTlsProxy)
    ProxyParams.BuildProxyHeaders(request.RawHeaders);
  AttachCookies();

  // The head is composed first and queued as one piece: it goes out in one
  // send when the buffering ends, as line by line writes would.
  std::string head = request.RequestMethod + " " + request.RequestTarget + " HTTP/" + HTTPVersionText(ProtocolVersion);
  head += "\r\n";
  for (const std::string& line : request.RawHeaders.Items())
    if (!line.empty()) head.append(line).append("\r\n");
  head += "\r\n";
  TIdIOHandler& io = *IOHandler();
  io.BeginWriteBuffering(-1);
  try {
    io.WriteText(head);
    io.EndWriteBuffering();
  } catch (...) {
    if (io.WriteBufferingActive()) io.CancelWriteBuffering();
    throw;
  }
}

void TIdCustomHTTP::ReadResponseHead() {
  TIdHTTPResponse& response = Response();
  response.RawHeaders.Clear();
  TIdIOHandler& io = *IOHandler();
  try {
    for (std::string line = ReadResponseLine(io); !line.empty(); line = ReadResponseLine(io)) {
      // Lines past the limit would otherwise be taken for the body.
      if (response.RawHeaders.Count() >= HeaderLineLimit)
        throw EIdHTTPMalformedResponse(Format(RSHTTPTooManyHeadLines, HeaderLineLimit));
      RefuseControlBytesInName(line);
      response.RawHeaders.Add(line);
    }
  } catch (const EIdConnClosedGracefully&) {
    throw EIdHTTPMalformedResponse(RSHTTPHeadCutShort);
  }
  response.ParseHeaders();
}

TIdHTTPWhatsNext TIdCustomHTTP::DecideNextStep(std::span<const int16_t> accepted) {
  TIdHTTPRequest& request = Request();
  TIdHTTPResponse& response = Response();
  if (OnHeadersAvailable) {
    bool go = true;
    OnHeadersAvailable(this, &response.RawHeaders, go);
    if (!go) {
      // The body stays unread, so the connection cannot carry another exchange.
      Disconnect();
      return nxDone;
    }
  }

  const int32_t code = response.StatusCode();
  const int32_t responseClass = code / 100;
  // Only a 3xx redirects: a Location on a 2xx (201 Created) names what was made.
  if (responseClass == 3 && code != 304) return DecideRedirect(code, accepted);

  if (code == 401 || code == 407) {
    TIdHTTPAuthContext context = AuthContext();
    const bool answerable = code == 401
                                ? authRetries_ < MaxAuthRetries && RequestServerCredentials(context)
                                : authProxyRetries_ < MaxAuthRetries && RequestProxyCredentials(context);
    if (!answerable) {
      std::unique_ptr<TIdAuthentication>& authentication =
          code == 401 ? request.Authentication : ProxyParams.Authentication;
      if (authentication) authentication->ResetSteps();
    }
    // A challenge that is not answered here ends the exchange as refused:
    // its page is never the result.
    if (!answerable || !(HTTPOptions & hoInProcessAuth)) {
      RaiseProtocolError(accepted);
      return nxDone;
    }
    DiscardResponseBody();
    return nxRetryAuth;
  }
  if (responseClass != 2) {
    RaiseProtocolError(accepted);
    return nxDone;
  }
  // Answers to HEAD carry no body whatever their head announces.
  if (code != 204 && request.RequestMethod != "HEAD" && response.BodyStream) ReadResponseBody(*response.BodyStream);
  return nxDone;
}

TIdHTTPWhatsNext TIdCustomHTTP::DecideRedirect(int32_t code, std::span<const int16_t> accepted) {
  TIdHTTPRequest& request = Request();
  TIdHTTPResponse& response = Response();
  ++redirectCount_;
  // The last redirect allowed is refused like any answer we cannot take.
  if (HandleRedirects && redirectCount_ >= RedirectMaximum) {
    RaiseProtocolError(accepted);
    return nxDone;
  }
  std::string target = response.Location;
  std::string method = request.RequestMethod;
  if (!ConfirmRedirect(target, method, redirectCount_)) {
    RaiseProtocolError(accepted);
    return nxDone;
  }
  if (!HandleRedirects) {
    // Handled by the caller, who takes the Location from the response.
    response.Location = target;
    DiscardRedirectBody();
    return nxDone;
  }
  const std::string next = RedirectTarget(target, uri_.Protocol);
  if (next.empty()) {
    RaiseProtocolError(accepted);
    return nxDone;
  }
  DiscardRedirectBody();
  request.RequestTarget = next;
  if (code == 302 || code == 303) {
    request.BodySource = nullptr;
    request.RequestMethod = "GET";
  } else {
    request.RequestMethod = method;
  }
  return nxFollow;
}

void TIdCustomHTTP::DiscardRedirectBody() {
  if (!IsConnected()) return;
  TIdIOHandler& io = *IOHandler();
  const int32_t saved = io.ReadTimeout;
  if (saved == -1 || saved == 0) io.ReadTimeout = kRedirectBodyTimeout;
  try {
    DiscardResponseBody();
  } catch (const Exception&) {
    // A redirect page that cannot be read costs the connection, nothing more.
    Disconnect();
  }
  io.ReadTimeout = saved;
}

bool TIdCustomHTTP::ConfirmRedirect(std::string& target, std::string& method, int32_t count) {
  bool handled = HandleRedirects;
  if (OnRedirect) OnRedirect(this, target, count, handled, method);
  return handled;
}

void TIdCustomHTTP::RaiseProtocolError(std::span<const int16_t> accepted) {
  const int32_t code = Response().StatusCode();
  std::string errorBody;
  if (Contains(accepted, code)) {
    // Accepted answers drop their body, but it must still end where framed.
    ReadBoundedBody(errorBody);
    return;
  }
  try {
    ReadBoundedBody(errorBody);
  } catch (const EIdException&) {
    // The refusal is the news; a body that breaks off is kept as far as it came.
    Disconnect();
  }
  throw EIdHTTPProtocolException(code, Response().StatusLine(), errorBody);
}

void TIdCustomHTTP::DiscardResponseBody() {
  std::string discarded;
  ReadBoundedBody(discarded);
}

void TIdCustomHTTP::ReadBoundedBody(std::string& body) {
  TLimitedStringStream bounded(MaxErrorBody);
  // What came is handed out also when the read fails.
  struct HandOver {
    std::string& body;
    TLimitedStringStream& bounded;
    ~HandOver() { body = bounded.Take(); }
  } handOver{body, bounded};
  try {
    ReadResponseBody(bounded);
  } catch (const EStreamLimitExceeded&) {
    // The rest is left unread, so the connection cannot carry another answer.
    Disconnect();
  }
}

void TIdCustomHTTP::ReadResponseBody(TStream& stream) {
  TIdHTTPResponse& response = Response();
  const bool decompress =
      Compressor && (response.ContentEncoding == "deflate" || response.ContentEncoding == "gzip");
  if (!decompress) {
    ReadBodyInto(stream);
    return;
  }
  TMemoryStream compressed;
  ReadBodyInto(compressed);
  compressed.SetPosition(0);
  if (response.ContentEncoding == "deflate")
    Compressor->DecompressDeflateStream(compressed, stream);
  else
    Compressor->DecompressGZipStream(compressed, stream);
}

void TIdCustomHTTP::ReadBodyInto(TStream& stream) {
  const TIdHTTPBodyFraming framing = TIdHTTPBodyFraming::FromHeaders(Response().RawHeaders);
  if (framing.Kind == bkChunked) ReportStatus(hsStatusText, RSHTTPChunkStarted);
  TIdHTTPBodyReader::For(framing, *IOHandler(), HeaderLineLimit)->ReadInto(stream);
}

bool TIdCustomHTTP::ComputeKeepAlive() {
  TIdHTTPResponse& response = Response();
  if (response.Status().Version) response.ReplyVersion = *response.Status().Version;
  bool connected = IsConnected();
  if (connected) {
    IOHandler()->CheckDisconnected(false, false);
    connected = IsConnected();
  }
  response.KeepConnection = connected;
  if (response.KeepConnection && ProtocolVersion == pv1_0)
    response.KeepConnection =
        SameText(Trim(response.Connection), "KEEP-ALIVE") || SameText(Trim(response.ProxyConnection), "KEEP-ALIVE");
  if (response.KeepConnection && ProtocolVersion == pv1_1)
    response.KeepConnection =
        !SameText(Trim(response.Connection), "CLOSE") && !SameText(Trim(response.ProxyConnection), "CLOSE");
  return response.KeepConnection;
}

void TIdCustomHTTP::StoreCookies() {
  TIdHTTPCookieContext context = CookieContext();
  ::StoreCookies(context);
}

void TIdCustomHTTP::AttachCookies() {
  TIdHTTPCookieContext context = CookieContext();
  ::AttachCookies(context, uri_);
}

void TIdCustomHTTP::DoOnDisconnected() {
  TIdTCPClientCustom::DoOnDisconnected();
  TIdHTTPAuthContext context = AuthContext();
  AfterDisconnect(context, uri_);
}
