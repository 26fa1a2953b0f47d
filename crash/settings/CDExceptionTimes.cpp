#include "crash/settings/CDExceptionTimes.h"

#include <time.h>

#include <algorithm>

uint32_t CDSecondsNow() {
  timespec ts{};
  clock_gettime(CLOCK_BOOTTIME, &ts);
  return std::max<uint32_t>(1, static_cast<uint32_t>(ts.tv_sec));
}

void TCDExceptionTimes::Shift(uint32_t now) {
  std::move_backward(times_.begin(), times_.end() - 1, times_.end());
  times_[0] = now;
}

void TCDExceptionTimes::Record(uint32_t now) {
  std::lock_guard<std::mutex> guard(lock_);
  Shift(now);
}

bool TCDExceptionTimes::TryRecord(uint32_t now) {
  std::unique_lock<std::mutex> guard(lock_, std::try_to_lock);
  if (!guard.owns_lock()) return false;
  Shift(now);
  return true;
}

bool TCDExceptionTimes::TryTimes(TCDExceptionTimeList& times) const {
  std::unique_lock<std::mutex> guard(lock_, std::try_to_lock);
  if (!guard.owns_lock()) return false;
  times = times_;
  return true;
}

TCDExceptionTimeList TCDExceptionTimes::Times() const {
  std::lock_guard<std::mutex> guard(lock_);
  return times_;
}

void TCDExceptionTimes::SetTimes(const TCDExceptionTimeList& times) {
  std::lock_guard<std::mutex> guard(lock_);
  times_ = times;
}

TCDExceptionTimes& ProcessExceptionTimes() {
  static TCDExceptionTimes times;
  return times;
}

bool AutoActionThresholdPasses(int32_t threshold, const TCDExceptionTimeList& times, uint32_t now) {
  if (threshold <= 0) return false;
  if (threshold == 1) return true;
  const auto window = static_cast<uint32_t>(threshold);
  return std::all_of(times.begin(), times.end(),
                     [&](uint32_t t) { return t != 0 && t <= now && now - t <= window; });
}
