#include "runtime/Base64.h"

#include <cstdint>

namespace {
constexpr char kAlphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";

int Value(char c) {
  if (c >= 'A' && c <= 'Z') return c - 'A';
  if (c >= 'a' && c <= 'z') return c - 'a' + 26;
  if (c >= '0' && c <= '9') return c - '0' + 52;
  if (c == '+') return 62;
  if (c == '/') return 63;
  return -1;
}
}  // namespace

std::string EncodeBase64(std::string_view data) {
  std::string out;
  out.reserve((data.size() + 2) / 3 * 4);
  std::size_t i = 0;
  for (; i + 2 < data.size(); i += 3) {
    const uint32_t v = static_cast<uint32_t>(static_cast<unsigned char>(data[i])) << 16 |
                       static_cast<uint32_t>(static_cast<unsigned char>(data[i + 1])) << 8 |
                       static_cast<unsigned char>(data[i + 2]);
    out += kAlphabet[v >> 18 & 63];
    out += kAlphabet[v >> 12 & 63];
    out += kAlphabet[v >> 6 & 63];
    out += kAlphabet[v & 63];
  }
  const std::size_t left = data.size() - i;
  if (left > 0) {
    uint32_t v = static_cast<uint32_t>(static_cast<unsigned char>(data[i])) << 16;
    if (left == 2) v |= static_cast<uint32_t>(static_cast<unsigned char>(data[i + 1])) << 8;
    out += kAlphabet[v >> 18 & 63];
    out += kAlphabet[v >> 12 & 63];
    out += left == 2 ? kAlphabet[v >> 6 & 63] : '=';
    out += '=';
  }
  return out;
}

std::optional<std::string> DecodeBase64(std::string_view text) {
  if (text.size() % 4 != 0) return std::nullopt;
  std::string out;
  out.reserve(text.size() / 4 * 3);
  for (std::size_t i = 0; i < text.size(); i += 4) {
    const bool last = i + 4 == text.size();
    int v[4];
    int pad = 0;
    for (std::size_t k = 0; k < 4; ++k) {
      const char c = text[i + k];
      // Padding only at the very end, as an "x=" or "==" tail.
      if (c == '=' && last && k >= 2) {
        if (k == 2 && text[i + 3] != '=') return std::nullopt;
        v[k] = 0;
        ++pad;
        continue;
      }
      v[k] = Value(c);
      if (v[k] < 0) return std::nullopt;
    }
    const uint32_t bits = static_cast<uint32_t>(v[0] << 18 | v[1] << 12 | v[2] << 6 | v[3]);
    out += static_cast<char>(bits >> 16 & 0xFF);
    if (pad < 2) out += static_cast<char>(bits >> 8 & 0xFF);
    if (pad < 1) out += static_cast<char>(bits & 0xFF);
  }
  return out;
}
