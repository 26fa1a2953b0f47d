// The pass that keeps what DNS holds true: it asks the name server, name by
// name, whether each published name still holds the address published, and
// has the update sent again where it does not (a record deleted by hand, a
// name server rebuilt, a zone restored from an older copy).
//
// Each name is asked with a plain question for its type. Asking for the
// zone's SOA serial first, to skip a zone that has not changed, would save
// nothing here: every update the service sends raises the serial, so a zone
// with nodes that move has a new serial at nearly every pass, and a zone
// restored or rebuilt may come back with the very serial last seen.
//
// The first pass runs at once when started, as fast as Window questions out
// at once allow, so that names shown "verifying" after a start are settled
// soon; later passes come every Every, their questions spread evenly over
// the period so that the name server sees a trickle, not a burst. A pass in
// which some questions got no answer is followed by an unspread one after
// at most RetryAfter.
//
// Guarantees: nothing is changed on an answer that could not be believed
// or on no answer; Stop returns within a poll step; an error of the queue's
// store ends the pass (logged) and the next one comes after RetryAfter.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <mutex>
#include <thread>

#include "service/dns/DnsQueue.h"
#include "service/dns/DnsServer.h"

struct TDnsVerifierOptions {
  std::chrono::milliseconds Every{std::chrono::hours(1)};
  int Window = 64;                              // questions out at once
  std::chrono::milliseconds Timeout{5000};      // the wait for one answer, resends included
  std::chrono::milliseconds RetryAfter{60000};  // after a pass with names left unanswered
};

// What one pass did.
struct TDnsPass {
  std::size_t Asked = 0;       // questions sent (names asked)
  std::size_t Held = 0;        // names that hold what was published
  std::size_t Resent = 0;      // names made due again
  std::size_t Unanswered = 0;  // no answer, or an error answer
  std::chrono::steady_clock::duration Took{};
};

class TDnsVerifier {
 public:
  using TClock = std::function<TServiceTime()>;

  // wake is called when a name became due again (the worker's Wake).
  TDnsVerifier(TDnsQueue& queue, const TDnsServer& server, TDnsVerifierOptions options, std::function<void()> wake,
               TClock clock = {});
  ~TDnsVerifier();
  TDnsVerifier(const TDnsVerifier&) = delete;
  TDnsVerifier& operator=(const TDnsVerifier&) = delete;

  void Start();
  void Stop();

  // Waits until count passes have ended (at most limit); the last one's figures.
  std::optional<TDnsPass> WaitForPasses(uint64_t count, std::chrono::milliseconds limit);

  // Parses --dns-verify: a whole number with s, m, h or d ("90s", "1h"),
  // from 10 s to 7 d. Throws EDnsUpdate.
  static std::chrono::milliseconds ParseEvery(const std::string& text);

 private:
  void Run();
  TDnsPass Pass(bool spread);
  TServiceTime Now() const;
  bool Sleep(std::chrono::steady_clock::time_point until);

  TDnsQueue& queue_;
  TDnsServer server_;
  TDnsVerifierOptions options_;
  std::function<void()> wake_;
  TClock clock_;
  int wakeFd_ = -1;
  std::atomic<bool> stop_{false};
  std::thread thread_;
  std::mutex lock_;
  std::condition_variable passed_;
  uint64_t passes_ = 0;
  TDnsPass last_;
};
