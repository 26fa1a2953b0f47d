// A plain question to the name server (the A or AAAA set at one name) and
// the reading of its answer, for the pass that checks that each published
// name still holds what was published.
//
// The question is not signed: a forged answer can at most have an update
// sent again, or one skipped until the next pass, and nothing is changed on
// its word alone. Read takes only an authoritative answer to this very
// question (its ID, the name, type and class asked) as the server's word.
//
// Guarantees: Read never raises and never reads past the answer's bytes,
// whatever they hold; the addresses it returns are at most what 64 KiB of
// answer can carry.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "service/dns/DnsUpdate.h"

// What the name server holds at a name, as its answer says.
struct TDnsHeld {
  enum TKind {
    Answered,    // Addresses holds the set (empty: no such name or no such set)
    Failed,      // the server answered, but with an error or not as the zone's authority
    Unverified,  // these bytes are no answer to this question: wait for the real one
  } Kind = Failed;
  std::vector<std::string> Addresses;  // canonical text, sorted
  std::string Reason;                  // Failed and Unverified: why, as one line
};

// A fresh, unpredictable message ID, so that answers cannot be guessed at.
uint16_t DnsRandomId();

class TDnsQuery {
 public:
  // The question for the type set at owner (fully qualified, with the final dot).
  static TDnsQuery Make(const std::string& owner, TDnsRecordType type, uint16_t id);

  TDnsHeld Read(std::string_view answer) const;

  const std::string& Wire() const { return wire_; }
  uint16_t Id() const { return id_; }

 private:
  std::string wire_, owner_;
  TDnsRecordType type_ = TDnsRecordType::A;
  uint16_t id_ = 0;
};
