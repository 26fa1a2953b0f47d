// Any text as a key file: refused with EDnsKey, or a key the service can
// sign with (a fully qualified name, a supported algorithm, a secret).
#include <cstdint>
#include <cstdlib>
#include <string_view>

#include "service/dns/DnsKey.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  try {
    const TDnsKey key = TDnsKey::Parse(std::string_view(reinterpret_cast<const char*>(data), size));
    if (key.Name.empty() || key.Name.back() != '.' || key.Name.size() > 254) std::abort();
    if (key.Secret.empty() || TDnsKey::Parse("k:" + key.SecretBase64()).Secret != key.Secret) std::abort();
  } catch (const EDnsKey&) {
  }
  return 0;
}
