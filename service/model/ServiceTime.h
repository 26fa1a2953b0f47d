// The one kind of time the service works with, and the one place that reads
// the wall clock for it.
//
// Accounts, nodes, sessions, limits, webhooks and the DNS update queue all
// count wall-clock milliseconds since 1970-01-01 00:00 UTC, which is also what
// the SQLite files and the DNS queue keep: a time means the same after a
// restart and on another instance. The rules never read the clock
// themselves; they are handed the time, so that tests move it by hand.
//
// Deadlines of a connection or a wait (how long until a time-out) are not
// this time: they use std::chrono::steady_clock, which never jumps when the
// wall clock is set.
#pragma once

#include <chrono>
#include <cstdint>

// Milliseconds since 1970-01-01 00:00 UTC.
using TServiceTime = std::int64_t;

// The wall clock now. Only the program's edges call it (start-up, the front,
// the background workers); everything below is given the time.
inline TServiceTime ServiceClockNow() {
  return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::system_clock::now().time_since_epoch())
      .count();
}
