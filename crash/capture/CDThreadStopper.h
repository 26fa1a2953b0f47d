// Stopping other threads: a thread is sent a reserved real-time signal, its
// handler copies the thread's processor context and then keeps the thread
// waiting inside the handler until it is released. While it waits its stack
// does not change, so its context and stack can be read and walked from
// another thread. Used to pause the program's threads while an exception is
// handled and to read other threads' contexts for the report.
//
// A stopped thread holds whatever locks it held when it stopped; whoever
// stops threads must keep the time short and must not wait for locks those
// threads might own. Every thread stopped must be released again; a thread
// that does not answer within the time-out is left alone.
#pragma once

#include <sys/types.h>
#include <ucontext.h>

#include <cstddef>
#include <cstdint>

#include "crash/capture/CDContext.h"

// What a stopped thread leaves for the reader: its registers and the full
// signal context (for an unwinder that starts from a signal frame).
struct TCDStoppedThread {
  pid_t ThreadId = 0;
  TCDContext Context;
  ucontext_t Ucontext;
};

inline constexpr std::size_t CDMaxStoppedThreads = 256;

class TCDThreadStopper {
 public:
  // Reserves the signal and installs its handler. Not signal-safe.
  static void Install();
  // Releases every stopped thread and puts the old handler back. Not
  // signal-safe.
  static void Remove();
  // Signal-safe.
  static bool Installed();
  // The reserved signal number. Signal-safe.
  static int Signal();

  // Stops a thread of this process and waits until it has stopped, at most
  // timeoutMs. False when it did not stop (gone, blocking the signal, too
  // slow) or when too many threads are stopped already. Stopping the calling
  // thread is refused. Signal-safe.
  static bool Stop(pid_t threadId, int timeoutMs = 250);
  // A copy of a stopped thread's context; false when it is not stopped.
  // Signal-safe.
  static bool Read(pid_t threadId, TCDStoppedThread& thread);
  // Signal-safe.
  static bool IsStopped(pid_t threadId);
  // Lets a stopped thread go on. Signal-safe.
  static void Release(pid_t threadId);
  // Releases every thread still stopped. Signal-safe.
  static void ReleaseAll();
};
