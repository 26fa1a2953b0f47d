#include "runtime/IpAddress.h"

#include <arpa/inet.h>

#include <algorithm>
#include <cstring>

namespace {
constexpr std::array<unsigned char, 12> kMappedPrefix = {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0xff, 0xff};
// The longest address text there is: "ffff:ffff:ffff:ffff:ffff:ffff:255.255.255.255".
constexpr std::size_t kLongestText = INET6_ADDRSTRLEN - 1;
}  // namespace

std::optional<TIpAddress> TIpAddress::Parse(std::string_view text) {
  // inet_pton reads up to a NUL: copy to a terminated buffer, and refuse a
  // NUL inside, which would hide whatever follows it.
  if (text.empty() || text.size() > kLongestText || text.find('\0') != std::string_view::npos) return std::nullopt;
  char terminated[kLongestText + 1];
  std::memcpy(terminated, text.data(), text.size());
  terminated[text.size()] = '\0';
  std::array<unsigned char, 16> bytes{};
  if (::inet_pton(AF_INET, terminated, &bytes[12]) == 1) {
    std::copy(kMappedPrefix.begin(), kMappedPrefix.end(), bytes.begin());
    return TIpAddress(TIpFamily::IPv4, bytes);
  }
  if (::inet_pton(AF_INET6, terminated, bytes.data()) == 1) return TIpAddress(TIpFamily::IPv6, bytes);
  return std::nullopt;
}

TIpAddress TIpAddress::FromBytes(const void* bytes, std::size_t size) {
  std::array<unsigned char, 16> all{};
  if (size == 4) {
    std::copy(kMappedPrefix.begin(), kMappedPrefix.end(), all.begin());
    std::memcpy(&all[12], bytes, 4);
    return TIpAddress(TIpFamily::IPv4, all);
  }
  if (size != 16) throw EIpAddress("an IP address of " + std::to_string(size) + " bytes");
  std::memcpy(all.data(), bytes, 16);
  return TIpAddress(TIpFamily::IPv6, all);
}

TIpAddress TIpAddress::Unmapped() const {
  if (family_ == TIpFamily::IPv6 && std::equal(kMappedPrefix.begin(), kMappedPrefix.end(), bytes_.begin()))
    return TIpAddress(TIpFamily::IPv4, bytes_);
  return *this;
}

TIpAddress TIpAddress::Masked(int bits) const {
  // An IPv4 address sits in the last 32 of the 128 bits.
  const int keep = std::clamp(bits, 0, family_ == TIpFamily::IPv4 ? 32 : 128) + (family_ == TIpFamily::IPv4 ? 96 : 0);
  std::array<unsigned char, 16> masked = bytes_;
  for (int i = 0; i < 16; ++i) {
    const int left = keep - i * 8;
    if (left >= 8) continue;
    masked[static_cast<std::size_t>(i)] &= left <= 0 ? 0 : static_cast<unsigned char>(0xff << (8 - left));
  }
  return TIpAddress(family_, masked);
}

std::string TIpAddress::Text() const {
  char out[INET6_ADDRSTRLEN];
  if (family_ == TIpFamily::IPv4) return ::inet_ntop(AF_INET, &bytes_[12], out, sizeof out);
  return ::inet_ntop(AF_INET6, bytes_.data(), out, sizeof out);
}

std::optional<std::string> CanonicalAddress(std::string_view text) {
  const std::optional<TIpAddress> address = TIpAddress::Parse(text);
  if (!address) return std::nullopt;
  return address->Unmapped().Text();
}
