// A manual-reset event on a futex: one word of memory that threads wait on
// until someone sets it. It needs no allocation and no lock, so a signal
// handler can set it and wait on it, and a request can carry its address.
//
// Every operation is safe in a signal handler.
#pragma once

#include <atomic>
#include <cstdint>

class TCDEvent {
 public:
  TCDEvent() = default;
  TCDEvent(const TCDEvent&) = delete;
  TCDEvent& operator=(const TCDEvent&) = delete;

  // Wakes every waiter; the event stays set until Reset. Signal-safe.
  void Set();
  // Signal-safe.
  void Reset();
  // Signal-safe.
  bool IsSet() const;
  // Waits until set; a negative timeout waits without limit. True when set.
  // Signal-safe.
  bool Wait(int timeoutMs = -1) const;

 private:
  mutable std::atomic<uint32_t> state_{0};
};

// Milliseconds of a monotonic clock. Signal-safe.
int64_t CDMonotonicMs();
// Sleeps for the given milliseconds. Signal-safe.
void CDSleepMs(int milliseconds);
