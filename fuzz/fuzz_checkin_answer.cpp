// Arbitrary bytes as a service's answer: each family's address comes out as
// an address or "UNKNOWN", never anything else, and an address read again is
// the same address (the written form is canonical).
#include <cstdint>
#include <cstdlib>
#include <string>

#include "app/CheckIn.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string answer(reinterpret_cast<const char*>(data), size);
  const std::string ipv4 = AddressFromAnswer(answer);
  if (ipv4 != "UNKNOWN" && AddressFromAnswer(ipv4) != ipv4) std::abort();
  const std::string ipv6 = IPv6AddressFromAnswer(answer);
  if (ipv6 != "UNKNOWN" && IPv6AddressFromAnswer(ipv6) != ipv6) std::abort();
  if (ipv6 == "UNKNOWN") return 0;
  // Lower case, and never an IPv4 address written into IPv6 ("::ffff:a.b.c.d").
  if (ipv6.find_first_of("ABCDEF.") != std::string::npos) std::abort();
  return 0;
}
