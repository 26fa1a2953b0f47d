#include "http/protocol/IdURI.h"

#include <algorithm>

#include "runtime/SysUtils.h"

namespace {
constexpr std::size_t npos = std::string::npos;

// Directory, document and query of what follows the authority (or of a
// whole relative reference).
void SplitPath(std::string_view w, bool absolute, TIdURI& uri) {
  std::size_t q = w.find('?');
  if (q == npos) q = w.find('=');
  std::size_t slash = q == npos ? w.rfind('/') : w.substr(0, q + 1).rfind('/');
  std::size_t s = slash == npos ? 0 : slash + 1;  // characters that belong to the directory
  uri.Directory = absolute ? "/" + std::string(w.substr(0, s)) : std::string(w.substr(0, s));
  if (q != npos) {
    uri.DocumentName = std::string(w.substr(0, q));
    uri.Query = std::string(w.substr(q));
  } else {
    uri.DocumentName = std::string(w);
  }
  uri.DocumentName.erase(0, s);
}
}  // namespace

TIdURI::TIdURI(std::string_view text) {
  if (!text.empty()) ParseText(text);
}

void TIdURI::ParseText(std::string_view text) {
  FullText = std::string(text);
  NormalizeSlashes(FullText);
  std::string_view w = FullText;

  DocumentName.clear();
  Protocol.clear();
  Port.clear();
  Directory.clear();
  Host.clear();
  Fragment.clear();
  Username.clear();
  Password.clear();
  Query.clear();
  IPVersion = Id_IPv4;

  std::size_t p = w.find("://");
  if (p != npos) {
    Protocol = std::string(w.substr(0, p));
    w.remove_prefix(p + 3);

    std::size_t slash = w.find('/');
    std::string_view authority = w.substr(0, slash);
    w = slash == npos ? std::string_view() : w.substr(slash + 1);

    std::size_t at = authority.find('@');
    if (at != npos) {
      std::string_view userInfo = authority.substr(0, at);
      authority.remove_prefix(at + 1);
      std::size_t colon = userInfo.find(':');
      Username = std::string(userInfo.substr(0, colon));
      if (colon != npos) Password = std::string(userInfo.substr(colon + 1));
      if (Username.empty()) Password.clear();
    }

    std::size_t open = authority.find('[');
    std::size_t close = authority.find(']');
    if (open != npos && close != npos && open < close) {
      Host = std::string(authority.substr(open + 1, close - open - 1));
      std::size_t colon = authority.find(':', close);
      authority = colon == npos ? std::string_view() : authority.substr(colon + 1);
      IPVersion = Id_IPv6;
    } else {
      std::size_t colon = authority.find(':');
      Host = std::string(authority.substr(0, colon));
      authority = colon == npos ? std::string_view() : authority.substr(colon + 1);
    }
    Port = std::string(authority);

    SplitPath(w, true, *this);
    std::size_t hash = DocumentName.find('#');
    if (hash != npos) {
      Fragment = DocumentName.substr(hash + 1);
      DocumentName.erase(hash);
    }
  } else {
    SplitPath(w, false, *this);
  }

  if (Fragment.empty()) {
    std::size_t hash = Query.find('#');
    if (hash != npos) {
      Fragment = Query.substr(hash + 1);
      Query.erase(hash);
    }
  }
}

std::string TIdURI::ComposeText(TIdURIOptionalFields options) const {
  if (Protocol.empty()) throw EIdURIException("Protocol field is empty");
  std::string text = Protocol + "://";
  if (!Username.empty() && (options & ofAuthInfo)) {
    text += Username;
    if (!Password.empty()) text += ":" + Password;
    text += "@";
  }
  if (Host.empty()) throw EIdURIException("Host field is empty");
  text += HostForAuthority(Host);
  if (!Port.empty() && Port != "80") text += ":" + Port;
  text += Directory + DocumentName + Query;
  if (!Fragment.empty() && (options & ofBookmark)) text += "#" + Fragment;
  return text;
}

std::string TIdURI::ProxyTarget() {
  FullText = ComposeText(ofAuthInfo | ofBookmark);
  return ComposeText(ofNone);
}

std::string TIdURI::EncodeParamValue(std::string_view text) {
  return PercentEncode(text, [](unsigned char c) {
    static constexpr std::string_view kUnsafe = "*#%<> []";
    return c >= 33 && c <= 128 && kUnsafe.find(static_cast<char>(c)) == std::string_view::npos;
  });
}

std::string HostForAuthority(std::string_view host) {
  // Only an IPv6 literal has a colon: without brackets its last group would read as a port.
  if (host.find(':') == std::string_view::npos) return std::string(host);
  return "[" + std::string(host) + "]";
}

std::string MergePath(std::string_view base, std::string_view relative, char delimiter) {
  if (!relative.empty() && relative.front() == delimiter) return std::string(relative);
  bool namesDirectory = relative.empty() || relative.back() == delimiter;

  std::string joined(base);
  if (!joined.empty() && joined.back() != delimiter) joined += delimiter;
  joined += relative;

  std::string result;
  result.reserve(joined.size());
  for (std::size_t i = 0; i < joined.size(); ++i) {
    char c = joined[i];
    if (c == delimiter) {
      if (i == 0)
        result.assign(1, delimiter);
      else if (result.empty() || result.back() != delimiter)
        result += delimiter;
    } else if (c == '.' && !result.empty() && result.back() == delimiter && i + 1 < joined.size() &&
               joined[i + 1] == '.') {
      // ".." climbs out of the segment the result ends in.
      result.pop_back();
      while (!result.empty() && result.back() != delimiter) result.pop_back();
      ++i;
    } else {
      // The rest of the segment: only its first character could start a climb.
      const std::size_t next = std::min(joined.find(delimiter, i), joined.size());
      result.append(joined, i, next - i);
      i = next - 1;
    }
  }

  if (result.size() == 1 && result[0] == delimiter) return result;
  if (!result.empty() && result.back() == delimiter && !namesDirectory) result.pop_back();
  return result;
}

void NormalizeSlashes(std::string& text) {
  for (char& c : text)
    if (c == '\\') c = '/';
}
