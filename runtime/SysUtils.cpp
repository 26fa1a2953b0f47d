#include "runtime/SysUtils.h"

#include <unistd.h>

#include <cstdarg>
#include <cstdio>
#include <ctime>
#include <limits>
#include <vector>

std::string Format(const char* format, ...) {
  va_list args;
  va_start(args, format);
  va_list copy;
  va_copy(copy, args);
  int n = std::vsnprintf(nullptr, 0, format, copy);
  va_end(copy);
  std::string out;
  if (n > 0) {
    out.resize(static_cast<std::size_t>(n));
    std::vsnprintf(out.data(), out.size() + 1, format, args);
  }
  va_end(args);
  return out;
}

namespace {
bool IsBlank(char c) { return static_cast<unsigned char>(c) <= 32; }
char Upper(char c) { return (c >= 'a' && c <= 'z') ? static_cast<char>(c - 32) : c; }
char Lower(char c) { return (c >= 'A' && c <= 'Z') ? static_cast<char>(c + 32) : c; }

int HexDigit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

// Shared by the 32- and 64-bit conversions; `bits` is 32 or 64.
bool ParseInteger(std::string_view s, int bits, int64_t& value) {
  std::size_t i = 0;
  while (i < s.size() && s[i] == ' ') ++i;
  bool negative = false;
  if (i < s.size() && (s[i] == '+' || s[i] == '-')) negative = s[i++] == '-';
  bool hex = false;
  if (i < s.size() && s[i] == '$') {
    hex = true;
    ++i;
  } else if (i + 1 < s.size() && s[i] == '0' && (s[i + 1] == 'x' || s[i + 1] == 'X')) {
    hex = true;
    i += 2;
  }
  if (i >= s.size()) return false;
  const uint64_t unsignedMax = bits == 32 ? 0xFFFFFFFFull : std::numeric_limits<uint64_t>::max();
  uint64_t magnitude = 0;
  for (; i < s.size(); ++i) {
    int d = hex ? HexDigit(s[i]) : (s[i] >= '0' && s[i] <= '9' ? s[i] - '0' : -1);
    if (d < 0) return false;
    unsigned base = hex ? 16 : 10;
    if (magnitude > (unsignedMax - static_cast<unsigned>(d)) / base) return false;
    magnitude = magnitude * base + static_cast<unsigned>(d);
  }
  if (!hex) {
    uint64_t limit = (bits == 32 ? 0x7FFFFFFFull : 0x7FFFFFFFFFFFFFFFull) + (negative ? 1 : 0);
    if (magnitude > limit) return false;
  }
  // Hexadecimal values wrap into the signed range of the width.
  uint64_t bitsValue = negative ? (~magnitude + 1) : magnitude;
  if (bits == 32)
    value = static_cast<int32_t>(static_cast<uint32_t>(bitsValue));
  else
    value = static_cast<int64_t>(bitsValue);
  return true;
}

[[noreturn]] void RaiseConvertError(std::string_view s) {
  throw EConvertError(Format("'%s' is not a valid integer value", std::string(s).c_str()));
}
}  // namespace

std::string Trim(std::string_view s) {
  std::size_t b = 0, e = s.size();
  while (b < e && IsBlank(s[b])) ++b;
  while (e > b && IsBlank(s[e - 1])) --e;
  return std::string(s.substr(b, e - b));
}

std::string TrimLeft(std::string_view s) {
  std::size_t b = 0;
  while (b < s.size() && IsBlank(s[b])) ++b;
  return std::string(s.substr(b));
}

std::string TrimRight(std::string_view s) {
  std::size_t e = s.size();
  while (e > 0 && IsBlank(s[e - 1])) --e;
  return std::string(s.substr(0, e));
}

std::string UpperCase(std::string_view s) {
  std::string out(s);
  for (char& c : out) c = Upper(c);
  return out;
}

std::string LowerCase(std::string_view s) {
  std::string out(s);
  for (char& c : out) c = Lower(c);
  return out;
}

bool SameText(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (std::size_t i = 0; i < a.size(); ++i)
    if (Upper(a[i]) != Upper(b[i])) return false;
  return true;
}

bool StartsText(std::string_view prefix, std::string_view s) {
  return s.size() >= prefix.size() && SameText(s.substr(0, prefix.size()), prefix);
}

std::size_t FindText(std::string_view haystack, std::string_view needle) {
  if (needle.size() > haystack.size()) return std::string_view::npos;
  for (std::size_t i = 0; i + needle.size() <= haystack.size(); ++i)
    if (SameText(haystack.substr(i, needle.size()), needle)) return i;
  return std::string_view::npos;
}

std::string ReplaceAll(std::string_view s, std::string_view from, std::string_view to, bool ignoreCase) {
  if (from.empty()) return std::string(s);
  std::string out;
  std::size_t pos = 0;
  while (pos <= s.size()) {
    std::size_t hit = ignoreCase ? FindText(s.substr(pos), from) : s.substr(pos).find(from);
    if (hit == std::string_view::npos) break;
    out.append(s.substr(pos, hit));
    out.append(to);
    pos += hit + from.size();
  }
  if (pos < s.size()) out.append(s.substr(pos));
  return out;
}

std::string PercentEncode(std::string_view text, bool (*keep)(unsigned char)) {
  static constexpr char kHex[] = "0123456789ABCDEF";
  std::string out;
  out.reserve(text.size());
  // Kept characters go over in runs: most texts need no encoding at all.
  std::size_t run = 0;
  for (std::size_t i = 0; i < text.size(); ++i) {
    const auto c = static_cast<unsigned char>(text[i]);
    if (keep(c)) continue;
    out.append(text, run, i - run);
    const char encoded[] = {'%', kHex[c >> 4], kHex[c & 15]};
    out.append(encoded, 3);
    run = i + 1;
  }
  out.append(text, run);
  return out;
}

bool TryStrToInt(std::string_view s, int32_t& value) {
  int64_t v = 0;
  if (!ParseInteger(s, 32, v)) return false;
  value = static_cast<int32_t>(v);
  return true;
}

bool TryStrToInt64(std::string_view s, int64_t& value) { return ParseInteger(s, 64, value); }

int32_t StrToInt(std::string_view s) {
  int32_t v = 0;
  if (!TryStrToInt(s, v)) RaiseConvertError(s);
  return v;
}

int64_t StrToInt64(std::string_view s) {
  int64_t v = 0;
  if (!TryStrToInt64(s, v)) RaiseConvertError(s);
  return v;
}

int32_t StrToIntDef(std::string_view s, int32_t def) {
  int32_t v = 0;
  return TryStrToInt(s, v) ? v : def;
}

int64_t StrToInt64Def(std::string_view s, int64_t def) {
  int64_t v = 0;
  return TryStrToInt64(s, v) ? v : def;
}

bool TryDecimalToInt64(std::string_view s, int64_t& value) {
  std::size_t i = !s.empty() && (s[0] == '+' || s[0] == '-') ? 1 : 0;
  if (i >= s.size()) return false;
  for (std::size_t j = i; j < s.size(); ++j)
    if (s[j] < '0' || s[j] > '9') return false;
  return TryStrToInt64(s, value);
}

std::string IntToStr(int64_t value) { return std::to_string(value); }

std::string IntToHex(uint64_t value, int digits) {
  return Format("%0*llX", digits, static_cast<unsigned long long>(value));
}

std::string BytesToHex(std::string_view bytes) {
  static const char digits[] = "0123456789abcdef";
  std::string out;
  out.reserve(bytes.size() * 2);
  for (const char c : bytes) {
    out += digits[static_cast<unsigned char>(c) >> 4];
    out += digits[static_cast<unsigned char>(c) & 15];
  }
  return out;
}

std::vector<std::string> SplitItems(std::string_view text, char separator) {
  std::vector<std::string> items;
  if (text.empty()) return items;
  std::size_t start = 0;
  while (true) {
    std::size_t end = text.find(separator, start);
    items.push_back(Trim(text.substr(start, end == std::string_view::npos ? std::string_view::npos : end - start)));
    if (end == std::string_view::npos) break;
    start = end + 1;
  }
  return items;
}

std::string ExtractFileName(std::string_view path) {
  std::size_t slash = path.rfind('/');
  return std::string(slash == std::string_view::npos ? path : path.substr(slash + 1));
}

std::string ExtractFilePath(std::string_view path) {
  std::size_t slash = path.rfind('/');
  return slash == std::string_view::npos ? std::string() : std::string(path.substr(0, slash + 1));
}

std::string ChangeFileExt(std::string_view path, std::string_view ext) {
  std::size_t slash = path.rfind('/');
  std::size_t dot = path.rfind('.');
  if (dot == std::string_view::npos || (slash != std::string_view::npos && dot < slash))
    return std::string(path) + std::string(ext);
  return std::string(path.substr(0, dot)) + std::string(ext);
}

std::string ApplicationExeName() {
  std::vector<char> buf(4096);
  ssize_t n = readlink("/proc/self/exe", buf.data(), buf.size() - 1);
  if (n <= 0) return std::string();
  return std::string(buf.data(), static_cast<std::size_t>(n));
}

uint32_t GetTickCount() {
  timespec ts{};
  clock_gettime(CLOCK_MONOTONIC, &ts);
  uint64_t ms = static_cast<uint64_t>(ts.tv_sec) * 1000u + static_cast<uint64_t>(ts.tv_nsec) / 1000000u;
  return static_cast<uint32_t>(ms);
}
