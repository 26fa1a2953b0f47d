// The times of the process's last ten exceptions, which decide whether an
// automatic restart or close is due (a program that keeps crashing should not
// keep restarting itself).
#pragma once

#include <array>
#include <cstdint>
#include <mutex>

inline constexpr int CDExceptionTimeCount = 10;
// Whole seconds, newest first; 0 marks a slot that holds no exception yet.
using TCDExceptionTimeList = std::array<uint32_t, CDExceptionTimeCount>;

// Whole seconds since the machine started. The clock is the same for every
// process, so a restarted process can go on with its predecessor's times.
// Never 0.
uint32_t CDSecondsNow();

class TCDExceptionTimes {
 public:
  // The nine newest move one place down and now goes first.
  void Record(uint32_t now);
  TCDExceptionTimeList Times() const;
  // Takes over the times of the process that restarted this one.
  void SetTimes(const TCDExceptionTimeList& times);
  // Record and Times for a thread that must not wait (a signal handler):
  // false, and nothing done, when the list is busy.
  bool TryRecord(uint32_t now);
  bool TryTimes(TCDExceptionTimeList& times) const;

 private:
  void Shift(uint32_t now);  // lock held
  mutable std::mutex lock_;
  TCDExceptionTimeList times_{};
};

// The one list of the process.
TCDExceptionTimes& ProcessExceptionTimes();

// An automatic-action threshold: 0 (or less) never passes, 1 always does,
// N above 1 passes only when all ten times lie within the last N seconds,
// the current exception being already recorded. A slot without an exception
// or with a time after now never lies within the window.
bool AutoActionThresholdPasses(int32_t threshold, const TCDExceptionTimeList& times, uint32_t now);
