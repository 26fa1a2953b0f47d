#include "service/http/WebhookUrl.h"

#include <array>

#include "runtime/SysUtils.h"

namespace {
bool HostNameChar(char c) {
  return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '-' || c == '.';
}

// Printable ASCII other than a blank; '#' starts a fragment, which is the receiver's business only.
bool TargetChar(char c) { return c > ' ' && c < 0x7f && c != '#'; }

bool Within(const std::array<unsigned char, 4>& a, unsigned first, unsigned second, int bits) {
  const std::uint32_t value = (std::uint32_t(a[0]) << 24) | (std::uint32_t(a[1]) << 16) | (std::uint32_t(a[2]) << 8) | a[3];
  const std::uint32_t net = (std::uint32_t(first) << 24) | (std::uint32_t(second) << 16);
  const std::uint32_t mask = bits == 0 ? 0 : ~std::uint32_t(0) << (32 - bits);
  return (value & mask) == (net & mask);
}

bool PublicV4(const boost::asio::ip::address_v4& address) {
  const std::array<unsigned char, 4> a = address.to_bytes();
  struct TRange {
    unsigned first, second;
    int bits;
  };
  // 0/8 this network, 10/8, 100.64/10 shared, 127/8, 169.254/16, 172.16/12,
  // 192.0.0/24 protocol assignments, 192.168/16, 198.18/15 benchmarks,
  // 224/4 multicast and 240/4 reserved with the broadcast address.
  static const TRange kNotPublic[] = {{0, 0, 8},     {10, 0, 8},      {100, 64, 10},  {127, 0, 8},
                                      {169, 254, 16}, {172, 16, 12},  {192, 168, 16}, {198, 18, 15},
                                      {224, 0, 4},    {240, 0, 4}};
  for (const TRange& r : kNotPublic)
    if (Within(a, r.first, r.second, r.bits)) return false;
  return !(a[0] == 192 && a[1] == 0 && a[2] == 0);
}
}  // namespace

TWebhookUrl TWebhookUrl::Parse(std::string_view text) {
  if (text.empty()) throw EWebhookUrl("the webhook URL is empty");
  if (text.size() > MaxLength) throw EWebhookUrl("the webhook URL is longer than 2048 characters");
  for (char c : text)
    if (static_cast<unsigned char>(c) <= ' ' || static_cast<unsigned char>(c) >= 0x7f)
      throw EWebhookUrl("the webhook URL holds a blank, a control character or a non-ASCII byte");
  TWebhookUrl url;
  const std::size_t colon = text.find("://");
  const std::string scheme = colon == std::string_view::npos ? "" : LowerCase(text.substr(0, colon));
  if (scheme != "http" && scheme != "https") throw EWebhookUrl("the webhook URL must begin with http:// or https://");
  url.Https = scheme == "https";
  url.Port = url.Https ? 443 : 80;
  std::string_view rest = text.substr(colon + 3);
  const std::size_t end = rest.find_first_of("/?#");
  std::string_view authority = rest.substr(0, end);
  std::string_view target = end == std::string_view::npos ? "" : rest.substr(end);
  if (authority.find('@') != std::string_view::npos)
    throw EWebhookUrl("the webhook URL holds a user name or password; put a token in its path or query instead");
  std::string_view port;
  bool portGiven = false;
  if (!authority.empty() && authority[0] == '[') {
    const std::size_t close = authority.find(']');
    if (close == std::string_view::npos) throw EWebhookUrl("the webhook URL's IPv6 address lacks its ']'");
    url.Host = authority.substr(1, close - 1);
    boost::system::error_code ec;
    const auto address = boost::asio::ip::make_address_v6(url.Host, ec);
    if (ec || address.scope_id() != 0) throw EWebhookUrl("the webhook URL's [" + url.Host + "] is no IPv6 address");
    url.Host = address.to_string();
    authority.remove_prefix(close + 1);
    if (!authority.empty() && authority[0] != ':') throw EWebhookUrl("the webhook URL has text after its ']'");
    portGiven = !authority.empty();
    if (portGiven) port = authority.substr(1);
  } else {
    const std::size_t portColon = authority.find(':');
    url.Host = LowerCase(authority.substr(0, portColon));
    portGiven = portColon != std::string_view::npos;
    if (portGiven) port = authority.substr(portColon + 1);
    if (url.Host.empty() || url.Host.size() > 253 || url.Host.front() == '.' || url.Host.front() == '-' ||
        url.Host.find("..") != std::string::npos)
      throw EWebhookUrl("the webhook URL has no host name");
    for (char c : url.Host)
      if (!HostNameChar(c)) throw EWebhookUrl("the webhook URL's host is no host name");
  }
  if (portGiven) {
    int64_t number = 0;
    if (port.size() > 5 || port.find_first_not_of("0123456789") != std::string_view::npos ||
        !TryDecimalToInt64(std::string(port), number) || number < 1 || number > 65535)
      throw EWebhookUrl("the webhook URL's port is not 1 to 65535");
    url.Port = static_cast<std::uint16_t>(number);
  }
  if (target.find('#') != std::string_view::npos) throw EWebhookUrl("the webhook URL has a fragment (#...)");
  for (char c : target)
    if (!TargetChar(c)) throw EWebhookUrl("the webhook URL's path holds a character that must be %-encoded");
  url.Target = target.empty() ? "/" : target[0] == '?' ? "/" + std::string(target) : std::string(target);
  return url;
}

std::string TWebhookUrl::HostField() const {
  const bool v6 = Host.find(':') != std::string::npos;
  std::string field = v6 ? "[" + Host + "]" : Host;
  if (Port != (Https ? 443 : 80)) field += ":" + std::to_string(Port);
  return field;
}

bool PublicAddress(const boost::asio::ip::address& address) {
  if (address.is_v4()) return PublicV4(address.to_v4());
  const boost::asio::ip::address_v6 v6 = address.to_v6();
  if (v6.is_v4_mapped()) return PublicV4(boost::asio::ip::make_address_v4(boost::asio::ip::v4_mapped, v6));
  const std::array<unsigned char, 16> b = v6.to_bytes();
  if (v6.is_unspecified() || v6.is_loopback() || v6.is_multicast()) return false;
  if ((b[0] & 0xfe) == 0xfc) return false;                  // fc00::/7 unique-local
  if (b[0] == 0xfe && (b[1] & 0xc0) == 0x80) return false;  // fe80::/10 link-local
  if (b[0] == 0xfe && (b[1] & 0xc0) == 0xc0) return false;  // fec0::/10 site-local, retired but routable inside
  // ::/96 (IPv4-compatible), 64:ff9b::/96 and 64:ff9b:1::/48 (NAT64) carry an IPv4 address that may be private.
  bool zeros = true;
  for (int i = 0; i < 12; ++i) zeros = zeros && b[i] == 0;
  if (zeros) return false;
  if (b[0] == 0x00 && b[1] == 0x64 && b[2] == 0xff && b[3] == 0x9b) return false;
  // 2002::/16 (6to4) embeds an IPv4 address too.
  if (b[0] == 0x20 && b[1] == 0x02) return false;
  // Anything outside 2000::/3 is not global unicast.
  return (b[0] & 0xe0) == 0x20;
}
