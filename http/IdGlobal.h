// Byte arrays and the one-byte-per-character conversion the HTTP client uses
// between text and the wire. No character set is involved anywhere.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

using TIdBytes = std::vector<uint8_t>;

inline TIdBytes ToBytes(std::string_view text) { return TIdBytes(text.begin(), text.end()); }

inline std::string BytesToString(const TIdBytes& bytes, std::size_t start = 0, std::size_t count = std::string::npos) {
  if (start >= bytes.size()) return {};
  std::size_t n = std::min(count, bytes.size() - start);
  return std::string(reinterpret_cast<const char*>(bytes.data() + start), n);
}
