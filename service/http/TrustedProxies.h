// Who the caller is when the service sits behind reverse proxies.
//
// Only a connection from a trusted proxy (an address, or a network as
// ADDR/BITS, IPv4 or IPv6) may say for whom it speaks, in X-Forwarded-For.
// Each proxy appends the address it was reached from, so the list is read
// from its end: entries that are trusted proxies themselves are passed over,
// and the first one that is not is the caller. Whatever stands before it was
// written by the caller and is not believed. From any other connection the
// header is ignored, so nobody can claim an address by sending it.
//
// An entry that is no address ends the walk: the caller is then the last
// proxy that was trusted, never the text. At most MaxEntries entries are
// read from the end.
#pragma once

#include <array>
#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

#include "runtime/Exception.h"

// A text that is neither an address nor ADDR/BITS.
PINMARK_EXCEPTION_CLASS(ETrustedProxy, Exception);

class TTrustedProxies {
 public:
  static constexpr std::size_t MaxEntries = 32;

  // Adds "ADDR" or "ADDR/BITS"; raises ETrustedProxy when text is neither.
  void Add(std::string_view text);
  bool Empty() const { return networks_.empty(); }
  bool Trusted(std::string_view address) const;

  // The caller's address: peer is the connection's address, forwardedFor
  // the X-Forwarded-For values in the order they came (several headers
  // count as one list).
  std::string Caller(std::string_view peer, const std::vector<std::string>& forwardedFor) const;

 private:
  struct TNetwork {
    std::array<unsigned char, 16> bytes{};  // IPv4 as ::ffff:a.b.c.d
    int bits = 0;                           // of the 128
  };
  static bool Parse(std::string_view text, std::array<unsigned char, 16>& bytes);
  std::vector<TNetwork> networks_;
};
