// A thread's alternate signal stack: the stack our fatal-signal handlers run
// on, so that a thread that overflowed its own stack can still be reported.
// Each stack has an inaccessible guard page below it, so that a handler that
// overflows the alternate stack faults instead of overwriting memory.
#pragma once

#include <signal.h>

#include <cstddef>

class TCDAltStack {
 public:
  TCDAltStack() = default;
  // Removes the stack if it is still installed. Not signal-safe.
  ~TCDAltStack();
  TCDAltStack(const TCDAltStack&) = delete;
  TCDAltStack& operator=(const TCDAltStack&) = delete;

  // Maps a stack and makes it the calling thread's alternate signal stack,
  // remembering the one it replaces. False when no stack could be mapped.
  // Not signal-safe (called at thread start).
  bool Install();
  // Puts the replaced stack back and unmaps ours. Call on the thread that
  // installed it. Not signal-safe.
  void Remove();

  // The usable size of every alternate stack. Not signal-safe (it asks
  // sysconf).
  static std::size_t Size();

 private:
  void* mapping_ = nullptr;
  std::size_t mappingSize_ = 0;
  stack_t previous_{};
  bool installed_ = false;
};
