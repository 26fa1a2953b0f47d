// The check-in: one exchange with the service that reports the account, the
// password digest and the node name, and learns this computer's public IPv4
// address from the answer. The window's button and timer run it, and so does
// the headless pinmark-checkin; both go through TCheckIn, so the request
// bytes and the records in the settings file are the same whoever runs it.
//
// Guarantees: a run always ends. Connecting and every wait for the service's
// answer are limited, the whole exchange ends within kDeadline, and at most
// kMaxAnswer bytes of an answer are read, so a service that never answers,
// answers without end or drips its answer cannot hold the caller or make it
// allocate without bound. A run that fails raises and records only
// the request; the answer, the address and the time stamp keep their values.
//
// No windows here: this unit links neither Qt nor the window's units.
#pragma once

#include <cstdint>
#include <functional>
#include <mutex>
#include <string>
#include <string_view>

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

// The time between two periodic check-ins for a refresh period in minutes:
// minutes × 60 000 ms, wrapping in 32 bits; 0 means none.
uint32_t RefreshIntervalMs(int32_t minutes);

// The address derived from the answer recorded in Temp/HTTPResponse, recorded
// in Temp/IPAddress and returned. The address always follows the recorded
// answer, so this is what the window shows whenever it shows the address.
std::string RecordAddressFromAnswer(TIniPinmark& settings);

class TCheckIn {
 public:
  // Milliseconds allowed for the connect and for each wait on the answer.
  static constexpr int32_t kTimeout = 30000;
  // Milliseconds allowed for the whole exchange: connecting, TLS, the request
  // and the answer together. The limits above bound each wait alone, so a
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
  // Called with the new address once it is recorded, before the time stamp.
  std::function<void(const std::string& address)> OnAddress;

  // One run on a client of its own, made for this run with the time-outs
  // above and gone at its end (with its connection), also when the run
  // raises. Returns the address (or "UNKNOWN"); failures raise. Blocks.
  std::string Run();
  // One run over a client the caller made and set up.
  std::string Run(TIdHTTP& client);

  // Held by a run while it writes to the settings file. A caller that ends
  // the process in the middle of a run on another thread takes it first, so
  // that no write is cut off and no temporary file is left behind.
  std::mutex& WriteLock() { return writing_; }

 private:
  TIniPinmark& settings_;
  std::mutex writing_;
};
