// The dyndns2 update protocol's host names, as routers and update clients
// send them: "hostname=H1,H2,..." where each H is NODE.ACCOUNT.ZONE and ZONE
// is the service's zone. Only the naming; the core does the update.
//
// A name with no dot, an empty label, a label that is no DNS label or a name
// over 253 bytes is not a fully qualified name ("notfqdn"); one outside the
// zone, or with other than exactly two labels in front of it, names no host
// here ("nohost"). Names compare without regard to ASCII case; one dot at the
// end is allowed.
#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

struct TDynDns2Host {
  enum TKind { Named, NotFqdn, NoHost };
  TKind Kind = NoHost;
  std::string Node, Account;  // for Named
};

inline constexpr std::size_t DynDns2MaxHosts = 20;
inline constexpr std::size_t DynDns2MaxHostBytes = 253;

TDynDns2Host ParseDynDns2Host(std::string_view hostname, std::string_view zone);
// The names of a hostname parameter; none when it names more than
// DynDns2MaxHosts ("numhost"). Empty items are dropped.
std::optional<std::vector<std::string>> SplitDynDns2Hosts(std::string_view list);
// The addresses of an update, at most one per family, IPv4 first: myip is
// one address or an IPv4 and an IPv6 address separated by a comma (in
// either order), myipv6 one IPv6 address; an empty value is no value. A
// single myip that is no address is none (the caller's address is taken,
// as clients of the protocol expect). When neither gives an address, the
// caller's address (canonical) is the one. None for what cannot be meant:
// more than two items, an item that is no address in a list, two of one
// family, a myipv6 that is no IPv6 address or that differs from myip's.
std::optional<std::vector<std::string>> DynDns2Addresses(std::string_view myip, std::string_view myipv6,
                                                         std::string_view caller);
// A zone as given by the operator: lower case, no dot at either end; empty
// when zone is no DNS name.
std::string NormalZone(std::string_view zone);
