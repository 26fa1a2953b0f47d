// Arbitrary bytes as a service's answer, read for each family's address.
// The IPv6 one comes out as "UNKNOWN" or an address in its canonical form,
// which reads back as itself. (The IPv4 one keeps its parts as written,
// quoted blanks and all, so it need not read back the same.)
#include <cstdint>
#include <cstdlib>
#include <string>

#include "app/CheckIn.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string answer(reinterpret_cast<const char*>(data), size);
  (void)AddressFromAnswer(answer);
  const std::string ipv6 = IPv6AddressFromAnswer(answer);
  if (ipv6 != "UNKNOWN" && IPv6AddressFromAnswer(ipv6) != ipv6) std::abort();
  if (ipv6 == "UNKNOWN") return 0;
  // Lower case, and never an IPv4 address written into IPv6 ("::ffff:a.b.c.d").
  if (ipv6.find_first_of("ABCDEF.") != std::string::npos) std::abort();
  return 0;
}
