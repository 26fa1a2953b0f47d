#include "service/core/DynDns2.h"

#include <optional>

#include "runtime/SysUtils.h"
#include "runtime/IpAddress.h"
#include "service/core/NameRules.h"

namespace {
// Labels of a name without its final dot; empty when any label is no DNS label.
std::vector<std::string_view> Labels(std::string_view name) {
  std::vector<std::string_view> labels;
  while (true) {
    const std::size_t dot = name.find('.');
    const std::string_view label = name.substr(0, dot);
    if (!IsDnsLabel(label)) return {};
    labels.push_back(label);
    if (dot == std::string_view::npos) return labels;
    name.remove_prefix(dot + 1);
  }
}
}  // namespace

std::string NormalZone(std::string_view zone) {
  if (!zone.empty() && zone.back() == '.') zone.remove_suffix(1);
  if (zone.empty() || zone.size() > DynDns2MaxHostBytes || Labels(zone).empty()) return {};
  return LowerCase(zone);
}

TDynDns2Host ParseDynDns2Host(std::string_view hostname, std::string_view zone) {
  TDynDns2Host host;
  if (!hostname.empty() && hostname.back() == '.') hostname.remove_suffix(1);
  if (hostname.size() > DynDns2MaxHostBytes || hostname.find('.') == std::string_view::npos) {
    host.Kind = TDynDns2Host::NotFqdn;
    return host;
  }
  const std::vector<std::string_view> labels = Labels(hostname);
  if (labels.empty()) {
    host.Kind = TDynDns2Host::NotFqdn;
    return host;
  }
  const std::string name = LowerCase(hostname);
  const std::string suffix = "." + std::string(zone);
  if (zone.empty() || name.size() <= suffix.size() ||
      name.compare(name.size() - suffix.size(), suffix.size(), suffix) != 0)
    return host;  // not in the zone
  const std::string_view front = std::string_view(hostname).substr(0, name.size() - suffix.size());
  const std::size_t dot = front.find('.');
  if (dot == std::string_view::npos || front.find('.', dot + 1) != std::string_view::npos) return host;
  host.Kind = TDynDns2Host::Named;
  host.Node = std::string(front.substr(0, dot));
  host.Account = std::string(front.substr(dot + 1));
  return host;
}

std::optional<std::vector<std::string>> DynDns2Addresses(std::string_view myip, std::string_view myipv6,
                                                         std::string_view caller) {
  std::optional<std::string> v4, v6;
  // Puts a given address in its family's place; false when that is taken by another.
  auto place = [&](const std::string& address) {
    std::optional<std::string>& slot = address.find(':') == std::string::npos ? v4 : v6;
    if (slot && *slot != address) return false;
    slot = address;
    return true;
  };
  const std::string ip = Trim(myip);
  if (ip.find(',') != std::string::npos) {
    const std::size_t comma = ip.find(',');
    const std::optional<std::string> first = CanonicalAddress(Trim(std::string_view(ip).substr(0, comma)));
    const std::optional<std::string> second = CanonicalAddress(Trim(std::string_view(ip).substr(comma + 1)));
    if (!first || !second || !place(*first) || *first == *second || !place(*second)) return std::nullopt;
  } else if (const std::optional<std::string> one = CanonicalAddress(ip)) {
    place(*one);
  }
  const std::string ipv6 = Trim(myipv6);
  if (!ipv6.empty()) {
    const std::optional<std::string> one = CanonicalAddress(ipv6);
    if (!one || one->find(':') == std::string::npos || !place(*one)) return std::nullopt;
  }
  std::vector<std::string> addresses;
  if (!v4 && !v6) {
    if (const std::optional<std::string> from = CanonicalAddress(caller)) addresses.push_back(*from);
    return addresses;
  }
  if (v4) addresses.push_back(*v4);
  if (v6) addresses.push_back(*v6);
  return addresses;
}

std::optional<std::vector<std::string>> SplitDynDns2Hosts(std::string_view list) {
  std::vector<std::string> hosts;
  while (!list.empty()) {
    const std::size_t comma = list.find(',');
    const std::string item = Trim(list.substr(0, comma));
    if (!item.empty()) {
      if (hosts.size() == DynDns2MaxHosts) return std::nullopt;
      hosts.push_back(item);
    }
    if (comma == std::string_view::npos) break;
    list.remove_prefix(comma + 1);
  }
  return hosts;
}
