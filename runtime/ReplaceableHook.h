// A function that the program or its tests may replace at run time (a clock,
// a box, a presenter): set from one thread while others call it. Each call
// works on a copy taken under the lock and runs outside it, so a hook may
// block, and a hook may replace itself.
//
// Thread-safe. Not for signal handlers.
#pragma once

#include <functional>
#include <mutex>
#include <utility>

template <typename Signature>
class TReplaceableHook {
 public:
  using Function = std::function<Signature>;

  // Returns the previous function (empty when none was set).
  Function Set(Function function) {
    std::lock_guard<std::mutex> guard(lock_);
    return std::exchange(function_, std::move(function));
  }
  Function Get() const {
    std::lock_guard<std::mutex> guard(lock_);
    return function_;
  }
  explicit operator bool() const { return static_cast<bool>(Get()); }

 private:
  mutable std::mutex lock_;
  Function function_;
};
