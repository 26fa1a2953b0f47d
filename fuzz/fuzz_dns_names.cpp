// Any text as a dyndns2 host name, and cut in two as a node and an account
// name: a name is published only when made of host labels and short enough,
// and a host name taken for a node's names back to that very name. The
// dyndns2 door, given the same zone, names exactly the nodes the zone does,
// so an update never reaches a node under a name other than its published one.
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

#include "service/core/DynDns2.h"
#include "service/dns/DnsZone.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static const TDnsZone zone("dyn.example.org");
  const std::string_view text(reinterpret_cast<const char*>(data), size);
  const std::size_t cut = text.find('/');
  const TDnsOwnerName name =
      zone.OwnerName(text.substr(0, cut), cut == std::string_view::npos ? "a" : text.substr(cut + 1));
  if (name.Valid() == name.Name.empty() || name.Valid() == !name.Reason.empty()) std::abort();
  if (name.Valid()) {
    if (name.Name.size() > 254 || name.Name.back() != '.') std::abort();
    for (char c : name.Name)
      if (!((c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '-' || c == '.')) std::abort();
  }
  const TDnsHostMatch match = zone.Match(text);
  if (match.Kind == TDnsHostMatch::NodeName) {
    const TDnsOwnerName owner = zone.OwnerName(match.Node, match.Account);
    std::string host(text);
    if (host.back() != '.') host += '.';
    for (char& c : host) c = static_cast<char>(c >= 'A' && c <= 'Z' ? c - 'A' + 'a' : c);
    if (!owner.Valid() || owner.Name != host) std::abort();
  } else if (!match.Node.empty() || !match.Account.empty()) {
    std::abort();
  }
  const TDynDns2Host host = ParseDynDns2Host(text, "dyn.example.org");
  if ((host.Kind == TDynDns2Host::Named) != (match.Kind == TDnsHostMatch::NodeName)) std::abort();
  if (host.Kind == TDynDns2Host::Named && (host.Node != match.Node || host.Account != match.Account)) std::abort();
  return 0;
}
