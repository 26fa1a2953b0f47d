// URLs split into their parts and composed back, the merging of relative
// paths, and the percent-encoding of form-field values.
//
// The parser is a plain textual splitter: it neither decodes nor validates nor
// encodes, so every part comes back exactly as it stood in the text. Odd text
// gives odd parts but never an error.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "http/IdException.h"
#include "http/IdIPVersion.h"

// What ComposeText includes besides protocol, host, port and path.
enum TIdURIOptionalFields : uint8_t {
  ofNone = 0,
  ofAuthInfo = 1,  // "user:password@" before the host
  ofBookmark = 2,  // "#fragment" at the end
};
constexpr TIdURIOptionalFields operator|(TIdURIOptionalFields a, TIdURIOptionalFields b) {
  return static_cast<TIdURIOptionalFields>(static_cast<uint8_t>(a) | static_cast<uint8_t>(b));
}

class TIdURI {
 public:
  TIdURI() = default;
  // Parses the text unless it is empty.
  explicit TIdURI(std::string_view text);

  std::string DocumentName;
  std::string Protocol;
  // The text last given to ParseText (slashes normalised), or the full text
  // last composed by ProxyTarget.
  std::string FullText;
  std::string Port;
  std::string Directory;
  std::string Host;  // an IPv6 literal without its brackets
  std::string Fragment;
  std::string Username;
  std::string Password;
  std::string Query;  // with its leading "?" (or "=", see ParseText)
  TIdIPVersion IPVersion = Id_IPv4;

  // Splits the text into the fields above. A "?" starts the query; without
  // one, an "=" does. Without "://" the text is a relative reference and its
  // directory gets no leading "/".
  void ParseText(std::string_view text);
  // Raises EIdURIException "Protocol field is empty" or "Host field is empty".
  // Port "80" is left out; an IPv6 host is written in brackets.
  std::string ComposeText(TIdURIOptionalFields options = ofNone) const;
  // The absolute target a proxy needs: no user information, no fragment.
  // FullText is set to the text with both.
  std::string ProxyTarget();

  // Every byte outside 33..128 and every one of *#%<> [] becomes %XX.
  static std::string EncodeParamValue(std::string_view text);
};

// The host as a URL's authority or a Host header writes it: an IPv6 literal
// in brackets ("[::1]"), anything else as it is.
std::string HostForAuthority(std::string_view host);

// Joins a relative path onto a base path, collapsing runs of the delimiter
// and resolving ".." segments; a relative path that begins with the
// delimiter replaces the base. "." segments are kept as they are.
std::string MergePath(std::string_view base, std::string_view relative, char delimiter = '/');

// Turns every backslash into "/". In the 8-bit encodings the program handles
// no multi-byte character has a backslash byte inside it, so every backslash
// byte is a real backslash.
void NormalizeSlashes(std::string& text);
