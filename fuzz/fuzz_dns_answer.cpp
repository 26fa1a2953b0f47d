// Any bytes as the name server's answer to a signed update: the check never
// crashes, never reads beyond the bytes, and never takes them for success,
// since nobody without the key can sign an answer over this request. The
// same bytes as the answer to the verification's question: read without a
// crash, an answer always with addresses of the type asked, anything else
// with its reason.
#include <cstdint>
#include <cstdlib>
#include <string_view>

#include <arpa/inet.h>

#include "service/dns/DnsQuery.h"
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
// The questions the seeds answer: ID 0x1234, for A and for AAAA.
const TDnsQuery& Question(bool v6) {
  static const TDnsQuery a = TDnsQuery::Make("laptop.alice.dyn.example.org.", TDnsRecordType::A, 0x1234);
  static const TDnsQuery aaaa = TDnsQuery::Make("laptop.alice.dyn.example.org.", TDnsRecordType::AAAA, 0x1234);
  return v6 ? aaaa : a;
}
}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string_view answer(reinterpret_cast<const char*>(data), size);
  const TDnsOutcome outcome = Request().Check(answer, Key(), kTime);
  if (outcome.Kind == TDnsOutcome::Done) std::abort();
  if (outcome.Reason.empty()) std::abort();
  for (bool v6 : {false, true}) {
    const TDnsHeld held = Question(v6).Read(answer);
    if (held.Kind != TDnsHeld::Answered && (held.Reason.empty() || !held.Addresses.empty())) std::abort();
    unsigned char bytes[16];
    for (const std::string& address : held.Addresses)
      if (inet_pton(v6 ? AF_INET6 : AF_INET, address.c_str(), bytes) != 1) std::abort();
  }
  return 0;
}
