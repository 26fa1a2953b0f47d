// Any bytes as the name server's answer to a signed update: the check never
// crashes, never reads beyond the bytes, and never takes them for success,
// since nobody without the key can sign an answer over this request.
#include <cstdint>
#include <cstdlib>
#include <string_view>

#include "service/dns/DnsUpdate.h"

namespace {
// The request the seeds answer: ID 0x1234, signed at 1,800,000,000.
constexpr int64_t kTime = 1800000000;

const TDnsKey& Key() {
  static const TDnsKey key = TDnsKey::Parse("hmac-sha256:pinmark-update:cGlubWFyay10ZXN0LXNlY3JldC0zMi1ieXRlcyEhISE=");
  return key;
}
const TDnsUpdate& Request() {
  static const TDnsUpdate update =
      TDnsUpdate::Make("dyn.example.org.", "laptop.alice.dyn.example.org.", "192.0.2.7", 60, Key(), 0x1234, kTime);
  return update;
}
}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string_view answer(reinterpret_cast<const char*>(data), size);
  const TDnsOutcome outcome = Request().Check(answer, Key(), kTime);
  if (outcome.Kind == TDnsOutcome::Done) std::abort();
  if (outcome.Reason.empty()) std::abort();
  return 0;
}
