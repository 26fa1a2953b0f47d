#include "service/core/NameRules.h"


#include "runtime/SysUtils.h"

namespace {
// Length of the UTF-8 sequence at s[i] when it is well formed (shortest form,
// no surrogates, at most U+10FFFF), else 0; code gets the character.
std::size_t Utf8Sequence(std::string_view s, std::size_t i, char32_t& code) {
  const auto b = [&](std::size_t k) { return static_cast<unsigned char>(s[i + k]); };
  const unsigned char c = b(0);
  std::size_t n;
  if (c < 0x80) {
    code = c;
    return 1;
  } else if (c >= 0xC2 && c <= 0xDF) {
    n = 2, code = c & 0x1F;
  } else if (c >= 0xE0 && c <= 0xEF) {
    n = 3, code = c & 0x0F;
  } else if (c >= 0xF0 && c <= 0xF4) {
    n = 4, code = c & 0x07;
  } else {
    return 0;
  }
  if (i + n > s.size()) return 0;
  for (std::size_t k = 1; k < n; ++k) {
    if ((b(k) & 0xC0) != 0x80) return 0;
    code = (code << 6) | (b(k) & 0x3F);
  }
  const char32_t least[] = {0, 0, 0x80, 0x800, 0x10000};
  if (code < least[n] || code > 0x10FFFF || (code >= 0xD800 && code <= 0xDFFF)) return 0;
  return n;
}
}  // namespace

std::size_t Utf8Length(std::string_view text, std::size_t at) {
  char32_t code = 0;
  return Utf8Sequence(text, at, code);
}

void CheckRequestName(std::string_view what, std::string_view name) {
  if (name.size() > MaxNameBytes)
    throw EBadName(std::string(what) + " is longer than " + std::to_string(MaxNameBytes) + " bytes");
  for (std::size_t i = 0; i < name.size();) {
    char32_t code = 0;
    const std::size_t n = Utf8Sequence(name, i, code);
    if (n == 0) throw EBadName(std::string(what) + " is not UTF-8 text");
    if (code < 0x20 || (code >= 0x7F && code < 0xA0)) throw EBadName(std::string(what) + " holds a control character");
    i += n;
  }
}

bool IsDnsLabel(std::string_view label) {
  if (label.empty() || label.size() > MaxLabelBytes || label.front() == '-' || label.back() == '-') return false;
  for (char c : label)
    if (!((c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '-')) return false;
  return true;
}

void CheckNewAccountName(std::string_view name) {
  if (!IsDnsLabel(name))
    throw EBadName("an account name is 1 to 63 letters, digits and hyphens, not starting or ending with a hyphen");
}

bool IsDigest(std::string_view digest) {
  return digest.size() == 32 && digest.find_first_not_of("0123456789abcdefABCDEF") == std::string_view::npos;
}

void CheckNewPassword(std::string_view password, std::string_view again) {
  if (password.empty()) throw EBadPassword("no password given");
  if (password.size() > MaxPasswordBytes)
    throw EBadPassword("the password is longer than " + std::to_string(MaxPasswordBytes) + " bytes");
  if (password.find_first_of("\r\n") != std::string_view::npos) throw EBadPassword("the password holds a line break");
  if (again != password) throw EBadPassword("the two passwords differ");
}

std::string NormalDigest(std::string_view digest) { return LowerCase(digest); }
