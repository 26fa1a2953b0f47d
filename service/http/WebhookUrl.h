// Where an account's webhook points, read strictly from the URL its owner
// gave, and which addresses the service may send to.
//
// Only http and https URLs are taken, with a host name, an IPv4 address or
// a bracketed IPv6 address, an optional port, and a path with its query
// (ntfy's and Gotify's options are query parameters). A user name or
// password in the URL, a fragment, blanks and control characters are
// refused: the URL is shown on the page and in the log, and what it names
// must be what is sent to.
//
// The address rule keeps the service from being a way into the network it
// runs in: loopback, private (RFC 1918), shared (100.64/10), link-local,
// unique-local, multicast, unspecified and reserved addresses, and IPv6
// forms that embed one of them (IPv4-mapped), are not public. The rule is
// applied to every address the host resolves to when a delivery is sent,
// not to the name alone.
#pragma once

#include <boost/asio/ip/address.hpp>
#include <cstdint>
#include <string>
#include <string_view>

#include "runtime/Exception.h"

PINMARK_EXCEPTION_CLASS(EWebhookUrl, Exception);

struct TWebhookUrl {
  static constexpr std::size_t MaxLength = 2048;

  bool Https = false;
  std::string Host;  // a name in lower case, or an address (IPv6 without its brackets)
  std::uint16_t Port = 80;
  std::string Target = "/";  // the path and the query, as given

  // Raises EWebhookUrl with the reason, in words, for a URL it does not take.
  static TWebhookUrl Parse(std::string_view text);
  // The Host header's value: the host, bracketed for IPv6, with a port that is not the scheme's.
  std::string HostField() const;
};

// Whether address is one the service may send a webhook to without --webhook-allow-private.
bool PublicAddress(const boost::asio::ip::address& address);
