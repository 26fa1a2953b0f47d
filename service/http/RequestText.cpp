#include "service/http/RequestText.h"

#include "runtime/Base64.h"
#include "runtime/SysUtils.h"

std::optional<TBasicCredentials> ParseBasicAuthorization(std::string_view header) {
  const std::string text = Trim(header);
  if (text.size() < 6 || !SameText(std::string_view(text).substr(0, 6), "Basic ")) return std::nullopt;
  const std::string encoded = Trim(std::string_view(text).substr(6));
  if (encoded.size() > 1400) return std::nullopt;
  const std::optional<std::string> decoded = DecodeBase64(encoded);
  if (!decoded || decoded->size() > 1024) return std::nullopt;
  const std::size_t colon = decoded->find(':');
  if (colon == std::string::npos) return std::nullopt;
  return TBasicCredentials{decoded->substr(0, colon), decoded->substr(colon + 1)};
}

std::optional<std::string> CookieValue(std::string_view header, std::string_view name) {
  while (!header.empty()) {
    const std::size_t semi = header.find(';');
    const std::string pair = Trim(header.substr(0, semi));
    const std::size_t eq = pair.find('=');
    if (eq != std::string::npos && std::string_view(pair).substr(0, eq) == name) return pair.substr(eq + 1);
    if (semi == std::string_view::npos) break;
    header.remove_prefix(semi + 1);
  }
  return std::nullopt;
}

std::string UrlDecode(std::string_view text, bool plusIsSpace) {
  auto hex = [](char c) -> int {
    if (c >= '0' && c <= '9') return c - '0';
    if ((c | 0x20) >= 'a' && (c | 0x20) <= 'f') return (c | 0x20) - 'a' + 10;
    return -1;
  };
  std::string out;
  out.reserve(text.size());
  for (std::size_t i = 0; i < text.size(); ++i) {
    if (text[i] == '%' && i + 2 < text.size() && hex(text[i + 1]) >= 0 && hex(text[i + 2]) >= 0) {
      out += static_cast<char>(hex(text[i + 1]) * 16 + hex(text[i + 2]));
      i += 2;
    } else {
      out += plusIsSpace && text[i] == '+' ? ' ' : text[i];
    }
  }
  return out;
}

std::vector<std::pair<std::string, std::string>> FormParams(std::string_view text) {
  std::vector<std::pair<std::string, std::string>> params;
  while (!text.empty()) {
    const std::size_t amp = text.find('&');
    const std::string_view pair = text.substr(0, amp);
    const std::size_t eq = pair.find('=');
    if (!pair.empty())
      params.emplace_back(UrlDecode(pair.substr(0, eq), true),
                          eq == std::string_view::npos ? std::string() : UrlDecode(pair.substr(eq + 1), true));
    if (amp == std::string_view::npos) break;
    text.remove_prefix(amp + 1);
  }
  return params;
}
