// One signed dynamic update: the message that replaces the address of a
// name (or withdraws it), and the check of the name server's answer to it.
//
// The message deletes the whole A set at the name (the AAAA set for an IPv6
// address) and adds the new address with the given TTL, in one update, so
// the name never resolves to nothing and never to two addresses. ldns builds
// the message and reads answers; the TSIG signature is made here with
// OpenSSL's HMAC because the time it signs is passed in (ldns would read the
// clock itself), which keeps the message reproducible byte for byte.
//
// Guarantees: Make refuses (EDnsUpdate) an address that is not an IP
// address and never sends anything; Check never raises and never reads past
// the answer's bytes, whatever they hold; an answer counts as success only
// when it is signed with the key over this very request and within the
// allowed clock difference, so nobody without the key can make an update
// look done.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "runtime/Exception.h"
#include "service/dns/DnsKey.h"
#include "service/model/DnsRecordType.h"

// An update that cannot be made (an address that is not one, a bad name).
PINMARK_EXCEPTION_CLASS(EDnsUpdate, Exception);

// What the name server's answer (or its silence) means for the update.
struct TDnsOutcome {
  enum TKind {
    Done,        // the name server applied the update and said so, signed
    Failed,      // it refused, failed, or did not answer: try again later
    Unverified,  // these bytes are no answer to believe (unsigned, forged,
                 // unreadable): keep waiting for the real one
  } Kind = Failed;
  // For Failed and Unverified: what went wrong, as one line for the log and
  // the web page ("REFUSED: ...", "no answer from 127.0.0.1:53 ...").
  std::string Reason;
};

class TDnsUpdate {
 public:
  // Seconds by which the two clocks may differ (the usual TSIG fudge).
  static constexpr uint16_t Fudge = 300;

  // The signed update of owner (a name inside zone, both fully qualified
  // with the final dot) to address. type follows from the address.
  // timeSigned is seconds since 1970 (the signature's time).
  static TDnsUpdate Make(const std::string& zone, const std::string& owner, const std::string& address, uint32_t ttl,
                         const TDnsKey& key, uint16_t id, int64_t timeSigned);

  // The signed update that deletes owner's whole set of type, for a record
  // the node no longer holds; the rest as Make.
  static TDnsUpdate MakeWithdrawal(const std::string& zone, const std::string& owner, TDnsRecordType type,
                                   const TDnsKey& key, uint16_t id, int64_t timeSigned);

  // The record type an address is published as; throws EDnsUpdate when
  // address is neither an IPv4 nor an IPv6 address.
  static TDnsRecordType TypeOf(const std::string& address);

  // What the answer says about this update; now is seconds since 1970.
  TDnsOutcome Check(std::string_view answer, const TDnsKey& key, int64_t now) const;

  // The whole message as sent, its ID and the request's signature (which
  // the answer's signature covers).
  const std::string& Wire() const { return wire_; }
  uint16_t Id() const { return id_; }
  const std::string& Mac() const { return mac_; }

 private:
  // The set of type at owner deleted and, unless address is empty, address added.
  static TDnsUpdate Build(const std::string& zone, const std::string& owner, TDnsRecordType type,
                          const std::string& address, uint32_t ttl, const TDnsKey& key, uint16_t id,
                          int64_t timeSigned);

  std::string wire_, mac_;
  uint16_t id_ = 0;
};

// Appends a TSIG record signed with key at timeSigned to a complete DNS
// message (whose ID is the original ID) and returns the MAC.
std::string SignDnsMessage(std::string& wire, const TDnsKey& key, int64_t timeSigned, uint16_t fudge);
