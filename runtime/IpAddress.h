// IP addresses as the service and its DNS side read and write them: one
// parser of address text and one printer, so that every part agrees on which
// texts are addresses and on how an address is written.
//
// Guarantees: Parse accepts exactly the texts inet_pton accepts for IPv4
// (four decimal parts, no leading zeros) or IPv6 (no zone, no prefix), as the
// whole text: a NUL byte or anything after the address makes it no address.
// Text is inet_ntop's form: dotted quad, or lower-case IPv6 with the longest
// run of zero groups written "::". No allocation beyond the result.
#pragma once

#include <array>
#include <cstddef>
#include <optional>
#include <string>
#include <string_view>

#include "runtime/Exception.h"

PINMARK_EXCEPTION_CLASS(EIpAddress, Exception);

enum class TIpFamily { IPv4, IPv6 };

class TIpAddress {
 public:
  // The address written in text; none when text is not exactly one address.
  // An IPv4-mapped IPv6 address (::ffff:192.0.2.1) stays IPv6 here; see
  // Unmapped.
  static std::optional<TIpAddress> Parse(std::string_view text);
  // The address in network order: 4 bytes for IPv4, 16 for IPv6 (as in an A
  // or AAAA record, or a socket address). Raises EIpAddress for another size.
  static TIpAddress FromBytes(const void* bytes, std::size_t size);

  TIpFamily Family() const { return family_; }
  // An IPv4-mapped IPv6 address as the IPv4 address it carries (a dual-stack
  // socket reports IPv4 callers so); any other address as it is.
  TIpAddress Unmapped() const;
  // The address with all but its first bits zero (bits counted in its own
  // family: 0 to 32 or 0 to 128; more keeps the whole address).
  TIpAddress Masked(int bits) const;
  std::string Text() const;
  // The 16 bytes of the address in IPv6 form, an IPv4 address mapped
  // (::ffff:a.b.c.d), so both families compare in one space.
  const std::array<unsigned char, 16>& Bytes16() const { return bytes_; }

  bool operator==(const TIpAddress&) const = default;

 private:
  TIpAddress(TIpFamily family, const std::array<unsigned char, 16>& bytes) : family_(family), bytes_(bytes) {}
  TIpFamily family_;
  std::array<unsigned char, 16> bytes_;
};

// The address in its usual text form, an IPv4-mapped IPv6 address written
// as IPv4; none when text is not an address. This is the form the service
// records, logs, compares and publishes addresses in.
std::optional<std::string> CanonicalAddress(std::string_view text);
