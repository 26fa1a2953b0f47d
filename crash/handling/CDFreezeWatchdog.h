// The freeze watchdog (only with CheckFreeze): a thread that every
// FreezeTimeout/10 ms asks the GUI thread for a sign of life and counts the
// periods without one. At ten it reports a freeze (the handling entry with
// type 1, source 1, can continue), starts counting again and waits 1.5
// times longer between questions; any answer resets the count and the
// period. While an exception is being handled the watchdog is paused.
//
// Not for signal handlers, except where a function says so.
#pragma once

#include <functional>

class TCDFreezeWatchdog {
 public:
  static constexpr int kPeriodsToFreeze = 10;

  // Starts the thread; ping asks the GUI thread for a sign of life and is
  // given the function to call once the GUI thread runs it. report is
  // called on the watchdog thread when a freeze is seen.
  static void Start(int freezeTimeoutMs, std::function<void(std::function<void()> answer)> ping,
                    std::function<void()> report);
  static void Stop();
  static bool Running();

  // Nested pauses; counted. Signal-safe.
  static void Pause();
  static void Resume();
  // The count of unanswered periods starts again. Signal-safe.
  static void ResetCounter();
  // For tests: the current period and count.
  static int PeriodMs();
  static int Counter();
};
