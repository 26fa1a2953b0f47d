#include "crash/settings/CDClock.h"

#include <mutex>

namespace {
std::mutex& ClockLock() {
  static std::mutex lock;
  return lock;
}
TCDClock& Clock() {
  static TCDClock clock;
  return clock;
}
}  // namespace

TCDClock SetCDClock(TCDClock clock) {
  std::lock_guard<std::mutex> guard(ClockLock());
  TCDClock previous = std::move(Clock());
  Clock() = std::move(clock);
  return previous;
}

TDateTime CDNow() {
  TCDClock clock;
  {
    // Called outside the lock: a test clock may take its time.
    std::lock_guard<std::mutex> guard(ClockLock());
    clock = Clock();
  }
  return clock ? clock() : Now();
}
