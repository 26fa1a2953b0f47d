// Any text as base64: refused, or decoded into bytes whose encoding is as
// long as the text and decodes to the same bytes (the text itself may differ
// in unused bits of its last group). And the same text as an IP address.
#include <cstdint>
#include <cstdlib>
#include <optional>
#include <string>
#include <string_view>

#include "runtime/Base64.h"
#include "runtime/IpAddress.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string_view text(reinterpret_cast<const char*>(data), size);
  if (const std::optional<std::string> bytes = DecodeBase64(text)) {
    if (bytes->size() > text.size() / 4 * 3) std::abort();
    const std::string again = EncodeBase64(*bytes);
    if (again.size() != text.size() || DecodeBase64(again) != bytes) std::abort();
  }
  // The same text as an IP address: none, or one that reads back the same.
  if (const std::optional<TIpAddress> address = TIpAddress::Parse(text)) {
    if (TIpAddress::Parse(address->Text()) != address) std::abort();
    if (address->Masked(64).Text().empty()) std::abort();
  }
  return 0;
}
