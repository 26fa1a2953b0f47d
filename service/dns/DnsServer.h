// The name server the updates go to, given as HOST[:PORT].
//
// HOST is an IPv4 address, an IPv6 address (in brackets when a port
// follows: "[2001:db8::53]:5353") or a name, which is looked up once, when
// the server is given: the service should not depend on resolving a name
// each time it wants to update names. PORT defaults to 53.
//
// Guarantees: any text gets either a usable address or an EDnsServer that
// says what is wrong with it; nothing is sent.
#pragma once

#include <netinet/in.h>
#include <sys/socket.h>

#include <cstdint>
#include <string>

#include "runtime/Exception.h"

// A name server that cannot be used (--dns-server).
PINMARK_EXCEPTION_CLASS(EDnsServer, Exception);

class TDnsServer {
 public:
  static constexpr uint16_t DefaultPort = 53;

  explicit TDnsServer(const std::string& text);

  const sockaddr* Address() const { return reinterpret_cast<const sockaddr*>(&address_); }
  socklen_t AddressLength() const { return length_; }
  int Family() const { return address_.ss_family; }
  // The address as it appears in messages: "127.0.0.1:53", "[::1]:53".
  const std::string& Text() const { return text_; }

 private:
  sockaddr_storage address_{};
  socklen_t length_ = 0;
  std::string text_;
};
