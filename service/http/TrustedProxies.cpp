#include "service/http/TrustedProxies.h"

#include <cstring>

#include "runtime/IpAddress.h"
#include "runtime/SysUtils.h"
#include "service/core/NameRules.h"

bool TTrustedProxies::Parse(std::string_view text, std::array<unsigned char, 16>& bytes) {
  const std::optional<TIpAddress> address = TIpAddress::Parse(text);
  if (!address) return false;
  bytes = address->Bytes16();
  return true;
}

void TTrustedProxies::Add(std::string_view text) {
  const auto refuse = [text] { return ETrustedProxy(std::string(text) + " is neither an address nor ADDR/BITS"); };
  const std::size_t slash = text.find('/');
  TNetwork n;
  if (!Parse(text.substr(0, slash), n.bytes)) throw refuse();
  const bool v4 = TIpAddress::Parse(text.substr(0, slash))->Unmapped().Family() == TIpFamily::IPv4;
  const int width = v4 ? 32 : 128;
  int bits = width;
  if (slash != std::string_view::npos) {
    int64_t value = -1;
    if (!TryDecimalToInt64(text.substr(slash + 1), value) || value < 0 || value > width ||
        text.substr(slash + 1).find_first_not_of("0123456789") != std::string_view::npos)
      throw refuse();
    bits = static_cast<int>(value);
  }
  n.bits = bits + (v4 ? 96 : 0);
  networks_.push_back(n);
}

bool TTrustedProxies::Trusted(std::string_view address) const {
  std::array<unsigned char, 16> bytes;
  if (!Parse(address, bytes)) return false;
  for (const TNetwork& n : networks_) {
    const int whole = n.bits / 8, rest = n.bits % 8;
    if (std::memcmp(bytes.data(), n.bytes.data(), static_cast<std::size_t>(whole)) != 0) continue;
    if (rest != 0) {
      const unsigned char mask = static_cast<unsigned char>(0xFF << (8 - rest));
      if ((bytes[static_cast<std::size_t>(whole)] & mask) != (n.bytes[static_cast<std::size_t>(whole)] & mask))
        continue;
    }
    return true;
  }
  return false;
}

std::string TTrustedProxies::Caller(std::string_view peer, const std::vector<std::string>& forwardedFor) const {
  std::string caller = CanonicalAddress(peer).value_or(std::string(peer));
  if (forwardedFor.empty() || !Trusted(caller)) return caller;
  std::vector<std::string_view> entries;
  for (auto header = forwardedFor.rbegin(); header != forwardedFor.rend() && entries.size() < MaxEntries; ++header) {
    std::string_view list = *header;
    while (!list.empty() && entries.size() < MaxEntries) {
      const std::size_t comma = list.rfind(',');
      entries.push_back(comma == std::string_view::npos ? list : list.substr(comma + 1));
      list = comma == std::string_view::npos ? std::string_view() : list.substr(0, comma);
    }
  }
  for (std::string_view entry : entries) {
    const std::optional<std::string> address = CanonicalAddress(Trim(entry));
    if (!address) break;
    caller = *address;
    if (!Trusted(caller)) break;
  }
  return caller;
}
