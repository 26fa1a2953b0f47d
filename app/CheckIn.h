// The check-in: one exchange with the service that reports the account, the
// password digest and the node name, and learns this computer's public IPv4
// address from the answer; with the IPv6 setting on, the same request once
// more over IPv6, which learns the IPv6 address. The window's button and
// timer run it, and so does the headless pinmark-checkin; both go through
// TCheckIn, so the request bytes and the records in the settings file are the
// same whoever runs it.
//
// Guarantees: a run always ends. Connecting and every wait for the service's
// answer are limited, each exchange ends within kDeadline, and at most
// kMaxAnswer bytes of an answer are read, so a service that never answers,
// answers without end or drips its answer cannot hold the caller or make it
// allocate without bound. A run whose IPv4 exchange fails raises and records
// only the request; the answer, the address and the time stamp keep their
// values. The IPv6 exchange after it fails quietly (the address is "none"
// with the reason) unless the service answered it with a refusal (4xx).
//
// No windows here: this unit links neither Qt nor the window's units.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>

#include "http/IdIPVersion.h"

class TIdHTTP;
class TIniPinmark;

// "<url>?userid=<name>&enc=<digest>&node=<node>", every value percent-encoded
// except letters, digits and "-._~", so that a blank, "&", "=" or "#" in a
// name can neither end the request line nor add a parameter of its own.
std::string CheckInRequest(std::string_view url, std::string_view name, std::string_view digest, std::string_view node);

// The address in an answer: four numbers from 0 to 255 separated by dots,
// joined as they were written (leading zeros kept); blanks and control
// characters around a part separate like a dot, a part in double quotes is
// taken without them. Anything else is "UNKNOWN".
std::string AddressFromAnswer(std::string_view answer);

// The address in an answer to the exchange over IPv6: one IPv6 address in
// text form, blanks and control characters around it skipped, written in its
// one canonical form (lower case, the longest run of zero groups as "::").
// An IPv4 address, also one written into IPv6 (::ffff:a.b.c.d, ::a.b.c.d),
// and anything else is "UNKNOWN".
std::string IPv6AddressFromAnswer(std::string_view answer);

// Whether the service's URL names its host by an IPv6 literal ("[2001:db8::1]"):
// then there is no IPv4 exchange, only the one over IPv6.
bool IsIPv6ServiceURL(const std::string& url);

// What a run learnt of one address family: the address, "UNKNOWN" for an
// answer that is no address, or "none" with the reason why there is none.
struct TFamilyAddress {
  std::string Address;
  std::string Reason;  // empty unless Address is "none"
  // "<address>", or "none: <reason>".
  std::string Text() const { return Reason.empty() ? Address : Address + ": " + Reason; }
};

// The time between two periodic check-ins for a refresh period in minutes:
// minutes × 60 000 ms, wrapping in 32 bits; 0 means none.
uint32_t RefreshIntervalMs(int32_t minutes);

// The address derived from the answer recorded in Temp/HTTPResponse, recorded
// in Temp/IPAddress and returned. The address always follows the recorded
// answer, so this is what the window shows whenever it shows the address.
std::string RecordAddressFromAnswer(TIniPinmark& settings);

// The IPv4 address as the window shows it: RecordAddressFromAnswer, or
// "none" when the service is reached over IPv6 alone (IPv6 on, an IPv6
// literal in the URL).
TFamilyAddress ShownAddress(TIniPinmark& settings);
// The IPv6 address as the window shows it: "none" with the reason when the
// last exchange over IPv6 failed, else the address derived from its recorded
// answer ("UNKNOWN" before the first one); recorded in Temp/IPv6Address.
TFamilyAddress RecordIPv6AddressFromAnswer(TIniPinmark& settings);

// What a run learnt: the IPv4 address and, with IPv6 on, the IPv6 one.
struct TCheckInAddresses {
  TFamilyAddress IPv4;
  std::optional<TFamilyAddress> IPv6;
};

class TCheckIn {
 public:
  // Milliseconds allowed for the connect and for each wait on the answer.
  static constexpr int32_t kTimeout = 30000;
  // Milliseconds allowed for each exchange: connecting, TLS, the request and
  // the answer together. The limits above bound each wait alone, so a
  // service that sends a byte now and then would hold the run for ever
  // without this. Twice one wait: a slow connect still leaves an answer as
  // long a wait.
  static constexpr int32_t kDeadline = 60000;
  // The most of an answer that is read: an address is a few bytes, and a
  // longer answer (which cannot be one) is not read further.
  static constexpr int64_t kMaxAnswer = 64 * 1024;

  // The settings are borrowed for the lifetime of this object.
  explicit TCheckIn(TIniPinmark& settings) : settings_(settings) {}

  int32_t Timeout = kTimeout;
  int32_t Deadline = kDeadline;
  // Called with each family's address once it is recorded, under the write
  // lock: the IPv4 one before the time stamp, the IPv6 one after its exchange.
  std::function<void(const TFamilyAddress& address)> OnAddress;
  std::function<void(const TFamilyAddress& address)> OnIPv6Address;

  // One run: each exchange on a client of its own, made for it with the
  // time-outs above and gone at its end (with its connection), also when it
  // raises. Failures raise (see above). Blocks.
  TCheckInAddresses Run();

  // Held by a run while it writes to the settings file. A caller that ends
  // the process in the middle of a run on another thread takes it first, so
  // that no write is cut off and no temporary file is left behind.
  std::mutex& WriteLock() { return writing_; }

 private:
  // A client for one exchange, held to one family when one is given.
  std::unique_ptr<TIdHTTP> MakeClient(std::optional<TIdIPVersion> family) const;
  // The request as the settings file gives it back, recorded first.
  std::string RecordRequest();
  // Posts the request over IPv6 and records the answer and its address.
  // Raises what the exchange raises; nothing is recorded then.
  TFamilyAddress ExchangeOverIPv6(const std::string& request);

  TIniPinmark& settings_;
  std::mutex writing_;
};
