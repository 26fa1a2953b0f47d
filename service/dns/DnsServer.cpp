#include "service/dns/DnsServer.h"

#include <arpa/inet.h>
#include <netdb.h>

#include <cstring>
#include <memory>

#include "runtime/IpAddress.h"

namespace {
uint16_t Port(const std::string& text, const std::string& whole) {
  if (text.empty() || text.size() > 5 || text.find_first_not_of("0123456789") != std::string::npos)
    throw EDnsServer("the DNS server \"" + whole + "\" has no valid port after ':'");
  const unsigned long port = std::stoul(text);
  if (port == 0 || port > 65535) throw EDnsServer("the DNS server \"" + whole + "\" has a port outside 1 to 65535");
  return static_cast<uint16_t>(port);
}
}  // namespace

TDnsServer::TDnsServer(const std::string& text) {
  std::string host = text;
  uint16_t port = DefaultPort;
  if (!host.empty() && host.front() == '[') {
    const std::size_t close = host.find(']');
    if (close == std::string::npos) throw EDnsServer("the DNS server \"" + text + "\" lacks the ']' after its address");
    const std::string rest = host.substr(close + 1);
    host = host.substr(1, close - 1);
    if (!rest.empty()) {
      if (rest.front() != ':') throw EDnsServer("the DNS server \"" + text + "\" has text after its address");
      port = Port(rest.substr(1), text);
    }
  } else if (const std::size_t colon = host.find(':');
             colon != std::string::npos && host.find(':', colon + 1) == std::string::npos) {
    // One colon: HOST:PORT. More than one: an IPv6 address without a port.
    port = Port(host.substr(colon + 1), text);
    host = host.substr(0, colon);
  }
  if (host.empty()) throw EDnsServer("the DNS server \"" + text + "\" has no host");

  addrinfo hints{};
  hints.ai_socktype = SOCK_DGRAM;
  hints.ai_flags = AI_ADDRCONFIG;
  addrinfo* found = nullptr;
  int rc = getaddrinfo(host.c_str(), nullptr, &hints, &found);
  if (rc == EAI_NONAME || rc == EAI_ADDRFAMILY) {
    // AI_ADDRCONFIG hides loopback addresses on machines with no other address of that family.
    hints.ai_flags = 0;
    rc = getaddrinfo(host.c_str(), nullptr, &hints, &found);
  }
  if (rc != 0) throw EDnsServer("cannot find the DNS server " + host + ": " + gai_strerror(rc));
  std::unique_ptr<addrinfo, decltype(&freeaddrinfo)> holder(found, freeaddrinfo);
  std::memcpy(&address_, found->ai_addr, found->ai_addrlen);
  length_ = found->ai_addrlen;

  if (address_.ss_family == AF_INET6) {
    auto* v6 = reinterpret_cast<sockaddr_in6*>(&address_);
    v6->sin6_port = htons(port);
    text_ = "[" + TIpAddress::FromBytes(&v6->sin6_addr, 16).Text() + "]:" + std::to_string(port);
  } else {
    auto* v4 = reinterpret_cast<sockaddr_in*>(&address_);
    v4->sin_port = htons(port);
    text_ = TIpAddress::FromBytes(&v4->sin_addr, 4).Text() + ":" + std::to_string(port);
  }
}
