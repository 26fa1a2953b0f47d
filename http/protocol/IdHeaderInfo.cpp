#include "http/protocol/IdHeaderInfo.h"

#include <limits>

#include "http/protocol/IdHttpDate.h"
#include "runtime/SysUtils.h"

namespace {
void SetIfNotEmpty(TIdHeaderList& list, std::string_view name, const std::string& value) {
  if (!value.empty()) list.SetValue(name, value);
}

// Decimal text as a 64-bit number, 0 when it is not one.
int64_t Decimal64OrZero(std::string_view text) {
  int64_t v = 0;
  return TryDecimalToInt64(Trim(text), v) ? v : 0;
}

// Decimal text within 32 bits.
bool TryDecimal32(std::string_view text, int32_t& value) {
  int64_t v = 0;
  if (!TryDecimalToInt64(text, v) || v < std::numeric_limits<int32_t>::min() ||
      v > std::numeric_limits<int32_t>::max())
    return false;
  value = static_cast<int32_t>(v);
  return true;
}

// The text before the first separator (all of it when there is none) and
// what follows it.
std::string Before(std::string_view s, char separator) { return std::string(s.substr(0, s.find(separator))); }
std::string After(std::string_view s, char separator) {
  std::size_t p = s.find(separator);
  return p == std::string_view::npos ? std::string() : std::string(s.substr(p + 1));
}

// The header value of an authentication made from Basic credentials, keeping
// the object for the lines that follow.
std::string CredentialsValue(std::unique_ptr<TIdAuthentication>& authentication, bool basic,
                             const std::string& username, const std::string& password) {
  if (!authentication) {
    if (!basic) return {};
    authentication = std::make_unique<TIdBasicAuthentication>();
    authentication->SetUsername(username);
    authentication->SetPassword(password);
  }
  return authentication->HeaderValue();
}
}  // namespace

// ---------------------------------------------------------------- entity

TIdEntityHeaderInfo::TIdEntityHeaderInfo() { TIdEntityHeaderInfo::ResetFields(); }

void TIdEntityHeaderInfo::SetContentLength(int64_t value) {
  contentLength_ = value;
  ContentLengthKnown = value >= 0;
}

void TIdEntityHeaderInfo::ResetFields() {
  Connection.clear();
  ContentEncoding.clear();
  ContentLanguage.clear();
  contentLength_ = -1;
  ContentRangeEnd = 0;
  ContentRangeStart = 0;
  ContentRangeInstanceLength = 0;
  ContentType.clear();
  ContentVersion.clear();
  Date = 0;
  Expires = 0;
  LastModified = 0;
}

void TIdEntityHeaderInfo::ParseHeaders() {
  Connection = RawHeaders.ValueOf("Connection");
  ContentVersion = RawHeaders.ValueOf("Content-Version");
  ContentEncoding = RawHeaders.ValueOf("Content-Encoding");
  ContentLanguage = RawHeaders.ValueOf("Content-Language");
  ContentType = RawHeaders.ValueOf("Content-Type");

  // 64 bits: downloads of 2 GiB and more announce their real length.
  int64_t length = -1;
  SetContentLength(TryDecimalToInt64(Trim(RawHeaders.ValueOf("Content-Length")), length) && length >= 0 ? length : -1);

  ContentRangeStart = 0;
  ContentRangeEnd = 0;
  ContentRangeInstanceLength = 0;
  std::string range = RawHeaders.ValueOf("Content-Range");
  if (!range.empty()) {
    std::string rest = After(range, ' ');  // drops the unit, "bytes"
    std::string span = Before(rest, '/');
    std::string total = Before(After(rest, '/'), ' ');
    ContentRangeStart = Decimal64OrZero(Before(span, '-'));
    ContentRangeEnd = Decimal64OrZero(After(span, '-'));
    ContentRangeInstanceLength = Decimal64OrZero(total);
  }

  Date = ParseHttpDate(RawHeaders.ValueOf("Date"));
  LastModified = ParseHttpDate(RawHeaders.ValueOf("Last-Modified"));

  // Some servers send a number of seconds from now instead of a date.
  std::string expires = RawHeaders.ValueOf("Expires");
  int32_t seconds = 0;
  if (TryDecimal32(Trim(expires), seconds) && seconds != -1)
    Expires = Now() + static_cast<double>(seconds) / SecsPerDay;
  else
    Expires = ParseHttpDate(expires);

  Pragma = RawHeaders.ValueOf("Pragma");
}

void TIdEntityHeaderInfo::BuildHeaders() {
  RawHeaders.Clear();
  SetIfNotEmpty(RawHeaders, "Connection", Connection);
  SetIfNotEmpty(RawHeaders, "Content-Version", ContentVersion);
  SetIfNotEmpty(RawHeaders, "Content-Encoding", ContentEncoding);
  SetIfNotEmpty(RawHeaders, "Content-Language", ContentLanguage);
  SetIfNotEmpty(RawHeaders, "Content-Type", ContentType);
  if (ContentLength() >= 0) RawHeaders.SetValue("Content-Length", IntToStr(ContentLength()));
  SetIfNotEmpty(RawHeaders, "Cache-control", CacheControl);
  if (Date > 0) RawHeaders.SetValue("Date", FormatHttpDate(Date));
  if (Expires > 0) RawHeaders.SetValue("Expires", FormatHttpDate(Expires));
  SetIfNotEmpty(RawHeaders, "Pragma", Pragma);
  if (CustomHeaders.Count() > 0) RawHeaders.SetText(RawHeaders.Text() + CustomHeaders.Text());
}

// ---------------------------------------------------------------- request

TIdRequestHeaderInfo::TIdRequestHeaderInfo() { TIdRequestHeaderInfo::ResetFields(); }

void TIdRequestHeaderInfo::ResetFields() {
  TIdEntityHeaderInfo::ResetFields();
  Accept = "text/html, */*";
  AcceptCharSet.clear();
  UserAgent = "Mozilla/3.0 (compatible; Pinmark)";
  BasicAuthentication = false;
  Range.clear();
}

void TIdRequestHeaderInfo::ParseHeaders() {
  TIdEntityHeaderInfo::ParseHeaders();
  Accept = RawHeaders.ValueOf("Accept");
  AcceptCharSet = RawHeaders.ValueOf("Accept-Charset");
  AcceptEncoding = RawHeaders.ValueOf("Accept-Encoding");
  AcceptLanguage = RawHeaders.ValueOf("Accept-Language");
  Host = RawHeaders.ValueOf("Host");
  From = RawHeaders.ValueOf("From");
  Referer = RawHeaders.ValueOf("Referer");
  UserAgent = RawHeaders.ValueOf("User-Agent");
  std::string range = RawHeaders.ValueOf("Range");
  Range = range.find('=') == std::string::npos ? range : After(range, '=');
}

void TIdRequestHeaderInfo::BuildHeaders() {
  TIdEntityHeaderInfo::BuildHeaders();
  SetIfNotEmpty(RawHeaders, "Proxy-Connection", ProxyConnection);
  SetIfNotEmpty(RawHeaders, "Host", Host);
  SetIfNotEmpty(RawHeaders, "Accept", Accept);
  SetIfNotEmpty(RawHeaders, "Accept-Charset", AcceptCharSet);
  SetIfNotEmpty(RawHeaders, "Accept-Encoding", AcceptEncoding);
  SetIfNotEmpty(RawHeaders, "Accept-Language", AcceptLanguage);
  SetIfNotEmpty(RawHeaders, "From", From);
  SetIfNotEmpty(RawHeaders, "Referer", Referer);
  SetIfNotEmpty(RawHeaders, "User-Agent", UserAgent);
  if (!Range.empty()) RawHeaders.SetValue("Range", "bytes=" + Range);
  if (LastModified > 0) RawHeaders.SetValue("If-Modified-Since", FormatHttpDate(LastModified));
  SetIfNotEmpty(RawHeaders, "Authorization",
                CredentialsValue(Authentication, BasicAuthentication, Username, Password));
}

// ---------------------------------------------------------------- response

TIdResponseHeaderInfo::TIdResponseHeaderInfo() { TIdResponseHeaderInfo::ResetFields(); }

void TIdResponseHeaderInfo::ResetFields() {
  TIdEntityHeaderInfo::ResetFields();
  ContentType = "text/html";
  Location.clear();
  Server.clear();
  AcceptRanges.clear();
  ProxyAuthenticate.Clear();
  WWWAuthenticate.Clear();
}

void TIdResponseHeaderInfo::ParseHeaders() {
  TIdEntityHeaderInfo::ParseHeaders();
  Location = RawHeaders.ValueOf("Location");
  Server = RawHeaders.ValueOf("Server");
  ProxyConnection = RawHeaders.ValueOf("Proxy-Connection");
  WWWAuthenticate.Clear();
  RawHeaders.CollectValues("WWW-Authenticate", &WWWAuthenticate);
  ProxyAuthenticate.Clear();
  RawHeaders.CollectValues("Proxy-Authenticate", &ProxyAuthenticate);
  AcceptRanges = RawHeaders.ValueOf("Accept-Ranges");
}

void TIdResponseHeaderInfo::BuildHeaders() {
  TIdEntityHeaderInfo::BuildHeaders();
  if (ContentRangeEnd > 0 || ContentRangeInstanceLength > 0) {
    std::string span = ContentRangeEnd > 0 ? IntToStr(ContentRangeStart) + "-" + IntToStr(ContentRangeEnd) : "*";
    std::string total = ContentRangeInstanceLength > 0 ? IntToStr(ContentRangeInstanceLength) : "*";
    RawHeaders.SetValue("Content-Range", "bytes " + span + "/" + total);
  }
  SetIfNotEmpty(RawHeaders, "Accept-Ranges", AcceptRanges);
}

// ---------------------------------------------------------------- proxy

void TIdProxyConnectionInfo::SetProxyPort(int32_t value) {
  if (value != proxyPort_) Authentication.reset();
  proxyPort_ = value;
}

void TIdProxyConnectionInfo::SetProxyServer(std::string_view value) {
  if (!SameText(value, proxyServer_)) Authentication.reset();
  proxyServer_ = std::string(value);
}

void TIdProxyConnectionInfo::ResetFields() {
  SetProxyServer("");
  ProxyUsername.clear();
  ProxyPassword.clear();
  SetProxyPort(0);
}

void TIdProxyConnectionInfo::BuildProxyHeaders(TIdHeaderList& headers) {
  SetIfNotEmpty(headers, "Proxy-Authorization",
                CredentialsValue(Authentication, BasicAuthentication, ProxyUsername, ProxyPassword));
}
