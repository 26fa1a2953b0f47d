#include "http/IdHTTP.h"

#include <algorithm>

#include "runtime/SysUtils.h"

namespace {
const char* const kProtocolVersionText[] = {"1.0", "1.1"};

bool Contains(std::span<const int16_t> codes, int32_t code) {
  return std::find(codes.begin(), codes.end(), code) != codes.end();
}

// Puts the response's body stream back however the read in between ends.
class BodyStreamSwap {
 public:
  BodyStreamSwap(TIdHTTPResponse& response, TStream* replacement) : response_(response), saved_(response.BodyStream) {
    response_.BodyStream = replacement;
  }
  ~BodyStreamSwap() { response_.BodyStream = saved_; }
  BodyStreamSwap(const BodyStreamSwap&) = delete;
  BodyStreamSwap& operator=(const BodyStreamSwap&) = delete;

 private:
  TIdHTTPResponse& response_;
  TStream* saved_;
};
}  // namespace

int32_t TIdHTTPResponse::StatusCode() const {
  std::size_t space = StatusLine.find(' ');
  if (space == std::string::npos) return -1;
  std::string rest = Trim(std::string_view(StatusLine).substr(space + 1));
  std::size_t end = rest.find(' ');
  if (end != std::string::npos) rest.resize(end);
  return StrToIntDef(rest, -1);
}

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

TIdHTTPContext TIdCustomHTTP::Context() {
  const bool tls = Request().ConnectionKind == ckTls || Request().ConnectionKind == ckTlsProxy;
  return TIdHTTPContext{Request(),          Response(),     ProxyParams,
                        authRetries_,       authProxyRetries_, cookieManager_,
                        ownedCookieManager_, this,          AuthenticationManager, AllowCookies,
                        uri_.Host,          tls,            OnSelectAuthorization,
                        OnSelectProxyAuthorization, OnAuthorization, OnProxyAuthorization};
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
      do {
        Response().StatusLine = IOHandler()->ReadLine();
        ReadResponseHead();
        StoreCookies();
      } while (Response().StatusCode() == 100);

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
  } catch (...) {
    endOfExchange();
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
    throw EIdUnknownProtocol(IdHTTPStrings::RSHTTPUnknownProtocol);

  request.RequestTarget = uri_.Directory + uri_.DocumentName + uri_.Query;
  if (request.RequestMethod == "OPTIONS" && parsed.DocumentName == "*") request.RequestTarget = "*";

  request.IPVersion = parsed.IPVersion;
  uri_.IPVersion = parsed.IPVersion;

  const std::string& m = request.RequestMethod;
  if ((m == "TRACE" || m == "PUT" || m == "OPTIONS" || m == "DELETE") && ProtocolVersion != pv1_1)
    throw EIdException(IdHTTPStrings::RSHTTPMethodRequiresVersion);

  request.SetContentLength(request.BodySource ? request.BodySource->Size() : -1);
  request.Host = uri_.Port == "80" ? uri_.Host : uri_.Host + ":" + uri_.Port;
}

void TIdCustomHTTP::ConnectForRequest() {
  TIdHTTPRequest& request = Request();
  const bool https = SameText(uri_.Protocol, "HTTPS");
  // Without a proxy the connection goes to the target itself, else to the proxy.
  const bool direct = ProxyParams.ProxyServer().empty();
  if (direct && SocketHandler() && SocketHandler()->IPVersion != uri_.IPVersion && IsConnected()) Disconnect();
  const std::string host = direct ? uri_.Host : ProxyParams.ProxyServer();
  const int32_t port = direct ? StrToIntDef(uri_.Port, 80) : ProxyParams.ProxyPort();
  if ((!SameText(Host(), host) || Port() != port) && IsConnected()) Disconnect();
  auto* tls = dynamic_cast<TIdSSLIOHandlerSocketBase*>(IOHandler());
  if (https && !tls) throw EIdIOHandlerPropInvalid(IdHTTPStrings::RSIOHandlerPropInvalid);
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
  request.BuildHeaders();
  if (request.ConnectionKind == ckProxy || request.ConnectionKind == ckTlsProxy)
    ProxyParams.BuildProxyHeaders(request.RawHeaders);
  AttachCookies();

  TIdIOHandler& io = *IOHandler();
  io.BeginWriteBuffering(-1);
  try {
    io.WriteLine(request.RequestMethod + " " + request.RequestTarget + " HTTP/" + kProtocolVersionText[ProtocolVersion]);
    for (const std::string& line : request.RawHeaders.Items())
      if (!line.empty()) io.WriteLine(line);
    io.WriteLine(std::string());
    io.EndWriteBuffering();
  } catch (...) {
    if (io.WriteBufferingActive()) io.CancelWriteBuffering();
    throw;
  }
}

void TIdCustomHTTP::ReadResponseHead() {
  TIdHTTPResponse& response = Response();
  response.RawHeaders.Clear();
  try {
    std::string line = IOHandler()->ReadLine();
    while (!line.empty() && response.RawHeaders.Count() < HeaderLineLimit) {
      response.RawHeaders.Add(line);
      line = IOHandler()->ReadLine();
    }
  } catch (const EIdConnClosedGracefully&) {
    // The headers read so far stand.
    Disconnect();
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
  TIdHTTPWhatsNext next = nxDone;
  bool retryWithCredentials = false;

  if ((responseClass == 3 && code != 304) || !response.Location.empty()) {
    ++redirectCount_;
    std::string target = response.Location;
    std::string method = request.RequestMethod;
    if (HandleRedirects && redirectCount_ < RedirectMaximum) {
      if (!ConfirmRedirect(target, method, redirectCount_)) {
        RaiseProtocolError(accepted);
        return nxDone;
      }
      next = nxFollow;
      request.RequestTarget = target;
      if (code == 302 || code == 303) {
        request.BodySource = nullptr;
        request.RequestMethod = "GET";
      } else {
        request.RequestMethod = method;
      }
    } else {
      if (!ConfirmRedirect(target, method, redirectCount_)) {
        RaiseProtocolError(accepted);
        return nxDone;
      }
      next = nxDone;
      response.Location = target;
    }
    if (IsConnected()) {
      TIdIOHandler& io = *IOHandler();
      const int32_t savedTimeout = io.ReadTimeout;
      io.ReadTimeout = 4000;
      try {
        DiscardResponseBody();
      } catch (...) {
        // A redirect page that cannot be read costs nothing.
      }
      io.ReadTimeout = savedTimeout;
    }
    return next;
  }

  if (responseClass != 2) {
    if (code == 401) {
      TIdHTTPContext context = Context();
      if (authRetries_ >= MaxAuthRetries || !RequestServerCredentials(context)) {
        if (request.Authentication) request.Authentication->ResetSteps();
        RaiseProtocolError(accepted);
        return nxDone;
      }
      retryWithCredentials = (HTTPOptions & hoInProcessAuth) != 0;
    } else if (code == 407) {
      TIdHTTPContext context = Context();
      if (authProxyRetries_ >= MaxAuthRetries || !RequestProxyCredentials(context)) {
        if (ProxyParams.Authentication) ProxyParams.Authentication->ResetSteps();
        RaiseProtocolError(accepted);
        return nxDone;
      }
      retryWithCredentials = (HTTPOptions & hoInProcessAuth) != 0;
    } else {
      RaiseProtocolError(accepted);
      return nxDone;
    }
  }

  if (retryWithCredentials) {
    DiscardResponseBody();
    return nxRetryAuth;
  }
  if (code != 204 && response.BodyStream) ReadResponseBody();
  return nxDone;
}

bool TIdCustomHTTP::ConfirmRedirect(std::string& target, std::string& method, int32_t count) {
  bool handled = HandleRedirects;
  if (OnRedirect) OnRedirect(this, target, count, handled, method);
  return handled;
}

void TIdCustomHTTP::RaiseProtocolError(std::span<const int16_t> accepted) {
  TStringStream errorBody;
  {
    BodyStreamSwap swap(Response(), &errorBody);
    ReadResponseBody();
  }
  const int32_t code = Response().StatusCode();
  if (Contains(accepted, code)) return;
  throw EIdHTTPProtocolException(code, Response().StatusLine, errorBody.DataString());
}

void TIdCustomHTTP::DiscardResponseBody() {
  TStringStream discarded;
  BodyStreamSwap swap(Response(), &discarded);
  ReadResponseBody();
}

void TIdCustomHTTP::ReadResponseBody() {
  TIdHTTPResponse& response = Response();
  if (!response.BodyStream) return;
  const bool decompress =
      Compressor && (response.ContentEncoding == "deflate" || response.ContentEncoding == "gzip");
  if (!decompress) {
    ReadBodyInto(*response.BodyStream);
    return;
  }
  TMemoryStream compressed;
  ReadBodyInto(compressed);
  compressed.SetPosition(0);
  if (response.ContentEncoding == "deflate")
    Compressor->DecompressDeflateStream(compressed, *response.BodyStream);
  else
    Compressor->DecompressGZipStream(compressed, *response.BodyStream);
}

void TIdCustomHTTP::ReadBodyInto(TStream& stream) {
  TIdHTTPResponse& response = Response();
  TIdIOHandler& io = *IOHandler();
  if (response.RawHeaders.ValueOf("Transfer-Encoding").find("chunked") != std::string::npos) {
    ReportStatus(hsStatusText, IdHTTPStrings::RSHTTPChunkStarted);
    for (int64_t size = ReadChunkSize(); size > 0; size = ReadChunkSize()) {
      io.ReadIntoStream(stream, size);
      io.ReadLine();  // the line break after the chunk's data
    }
    io.ReadLine();  // the empty line after the last chunk; trailers are not supported
    return;
  }
  if (response.ContentLength() > 0) {
    try {
      io.ReadIntoStream(stream, response.ContentLength());
    } catch (const EIdConnClosedGracefully&) {
      // A body the server cut short is kept as far as it came.
    }
    return;
  }
  if (!response.ContentLengthKnown) io.ReadIntoStream(stream, -1, true);
}

int64_t TIdCustomHTTP::ReadChunkSize() {
  std::string line = IOHandler()->ReadLine();
  // The size ends at a blank or at the ";" of a chunk extension, which we ignore.
  std::size_t end = line.find_first_of(" ;");
  if (end != std::string::npos) line.resize(end);
  int64_t size = 0;
  if (!TryStrToInt64("$" + Trim(line), size)) return 0;
  return size;
}

bool TIdCustomHTTP::ComputeKeepAlive() {
  TIdHTTPResponse& response = Response();
  if (response.StatusLine.size() >= 6) {
    std::string version = response.StatusLine.substr(5, 3);
    for (uint8_t i = 0; i < 2; ++i)
      if (SameText(version, kProtocolVersionText[i])) response.ReplyVersion = i;
  }
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
  TIdHTTPContext context = Context();
  ::StoreCookies(context);
}

void TIdCustomHTTP::AttachCookies() {
  TIdHTTPContext context = Context();
  ::AttachCookies(context, uri_);
}

void TIdCustomHTTP::DoOnDisconnected() {
  TIdTCPClientCustom::DoOnDisconnected();
  TIdHTTPContext context = Context();
  AfterDisconnect(context, uri_);
}
