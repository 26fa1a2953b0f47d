#include "http/protocol/IdCookie.h"

#include <chrono>

#include "http/protocol/IdHttpDate.h"
#include "runtime/DateTime.h"
#include "runtime/SysUtils.h"

namespace {
TDateTime NowUTC() {
  using namespace std::chrono;
  auto seconds = duration_cast<std::chrono::seconds>(system_clock::now().time_since_epoch()).count();
  return UnixToDateTime(static_cast<int64_t>(seconds));
}

constexpr const char* RSInvalidPort = "'%s' is not a valid port";
constexpr const char* RSInvalidPortList = "'%s' is not a valid port list";

bool HasFlag(const TStringList& attributes, std::string_view name) { return attributes.IndexOf(name) >= 0; }

// A port of a "Port" list: decimal, 1 to 65535.
int32_t PortNumber(const std::string& text) {
  int64_t port = 0;
  if (!TryDecimalToInt64(text, port) || port < 1 || port > 65535) throw EConvertError(Format(RSInvalidPort, text.c_str()));
  return static_cast<int32_t>(port);
}
}  // namespace

void TIdNetscapeCookie::SetCookieText(std::string_view text) {
  if (text == CookieText) return;
  CookieText = std::string(text);

  TStringList attributes;
  bool first = true;
  std::size_t pos = 0;
  while (pos <= text.size()) {
    std::size_t semicolon = text.find(';', pos);
    std::string item = Trim(text.substr(pos, semicolon == std::string_view::npos ? std::string_view::npos : semicolon - pos));
    pos = semicolon == std::string_view::npos ? text.size() + 1 : semicolon + 1;
    std::size_t eq = item.find('=');
    if (first) {
      CookieName = item.substr(0, eq);
      Value = eq == std::string::npos ? std::string() : item.substr(eq + 1);
      first = false;
    } else if (!item.empty()) {
      attributes.Add(eq == std::string::npos ? UpperCase(item) : UpperCase(item.substr(0, eq)) + item.substr(eq));
    }
  }
  LoadAttributes(attributes);
}

void TIdNetscapeCookie::LoadAttributes(const TStringList& attributes) {
  Path = attributes.Values("PATH");
  if (!Path.empty() && Path.front() == '"') Path.erase(0, 1);
  if (!Path.empty() && Path.back() == '"') Path.pop_back();
  if (Path.empty()) Path = "/";
  Expires = attributes.Values("EXPIRES");
  Domain = attributes.Values("DOMAIN");
  Secure = HasFlag(attributes, "SECURE");
}

void TIdNetscapeCookie::AssignFrom(const TIdNetscapeCookie& other) {
  CookieText = other.CookieText;
  Domain = other.Domain;
  Expires = other.Expires;
  CookieName = other.CookieName;
  Path = other.Path;
  Secure = other.Secure;
  Value = other.Value;
  Style = other.Style;
}

void TIdCookieRFC2109::LoadAttributes(const TStringList& attributes) {
  TIdNetscapeCookie::LoadAttributes(attributes);
  int64_t maxAge = -1;
  MaxAge = TryDecimalToInt64(attributes.Values("MAX-AGE"), maxAge) ? maxAge : -1;
  Version = attributes.Values("VERSION");
  Comment = attributes.Values("COMMENT");
  if (Expires.empty()) {
    Style = 0;
    if (MaxAge >= 0) Expires = FormatHttpDate(NowUTC() + static_cast<double>(MaxAge) / SecsPerDay);
  }
}

void TIdCookieRFC2109::AssignFrom(const TIdNetscapeCookie& other) {
  TIdNetscapeCookie::AssignFrom(other);
  if (auto* o = dynamic_cast<const TIdCookieRFC2109*>(&other)) {
    MaxAge = o->MaxAge;
    Version = o->Version;
    Comment = o->Comment;
  }
}

void TIdCookieRFC2965::LoadAttributes(const TStringList& attributes) {
  TIdCookieRFC2109::LoadAttributes(attributes);
  CommentURL = attributes.Values("COMMENTURL");
  Discard = HasFlag(attributes, "DISCARD");
  PortList.clear();
  std::string port = attributes.Values("PORT");
  if (port.empty()) {
    PortList.push_back(80);
  } else if (port.size() >= 2 && port.front() == '"' && port.back() == '"') {
    std::string inner = port.substr(1, port.size() - 2);
    if (inner.empty()) {
      PortList.push_back(80);
    } else {
      std::size_t pos = 0;
      while (pos <= inner.size()) {
        std::size_t comma = inner.find(',', pos);
        std::string part = Trim(inner.substr(pos, comma == std::string::npos ? std::string::npos : comma - pos));
        PortList.push_back(PortNumber(part));
        pos = comma == std::string::npos ? inner.size() + 1 : comma + 1;
      }
    }
  } else if (port.front() == '"') {
    throw EConvertError(Format(RSInvalidPortList, port.c_str()));
  }
}

void TIdCookieRFC2965::AssignFrom(const TIdNetscapeCookie& other) {
  TIdCookieRFC2109::AssignFrom(other);
  if (auto* o = dynamic_cast<const TIdCookieRFC2965*>(&other)) {
    CommentURL = o->CommentURL;
    Discard = o->Discard;
    PortList = o->PortList;
  }
}
