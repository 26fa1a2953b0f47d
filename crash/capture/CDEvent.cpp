#include "crash/capture/CDEvent.h"

#include <linux/futex.h>
#include <sys/syscall.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>

namespace {
long Futex(std::atomic<uint32_t>* word, int op, uint32_t value, const timespec* timeout) {
  static_assert(sizeof(std::atomic<uint32_t>) == sizeof(uint32_t));
  return syscall(SYS_futex, reinterpret_cast<uint32_t*>(word), op, value, timeout, nullptr, 0);
}

timespec FromMs(int64_t ms) { return timespec{static_cast<time_t>(ms / 1000), static_cast<long>(ms % 1000) * 1000000}; }
}  // namespace

int64_t CDMonotonicMs() {
  timespec ts{};
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return static_cast<int64_t>(ts.tv_sec) * 1000 + ts.tv_nsec / 1000000;
}

void CDSleepMs(int milliseconds) {
  timespec left = FromMs(milliseconds < 0 ? 0 : milliseconds);
  while (nanosleep(&left, &left) != 0 && errno == EINTR) {
  }
}

void TCDEvent::Set() {
  state_.store(1, std::memory_order_release);
  Futex(&state_, FUTEX_WAKE_PRIVATE, INT32_MAX, nullptr);
}

void TCDEvent::Reset() { state_.store(0, std::memory_order_release); }

bool TCDEvent::IsSet() const { return state_.load(std::memory_order_acquire) != 0; }

bool TCDEvent::Wait(int timeoutMs) const {
  const int64_t deadline = timeoutMs < 0 ? -1 : CDMonotonicMs() + timeoutMs;
  const int savedErrno = errno;
  while (!IsSet()) {
    if (deadline < 0) {
      Futex(&state_, FUTEX_WAIT_PRIVATE, 0, nullptr);
      continue;
    }
    const int64_t left = deadline - CDMonotonicMs();
    if (left <= 0) break;
    const timespec ts = FromMs(left);
    Futex(&state_, FUTEX_WAIT_PRIVATE, 0, &ts);
  }
  errno = savedErrno;
  return IsSet();
}
