// Every thread of the program runs inside the crash reporter's frame: an
// interposed pthread_create (which QThread, std::thread and plain pthreads
// all go through) wraps each new thread so that it gets its own alternate
// signal stack, an entry in the thread registry with its creator, and an
// exception frame around its function. An exception that leaves the
// function is handed to the crash reporter; afterwards the thread ends with
// exit code 0 (a null result). The interposed pthread_setname_np and the
// runtime's naming call enter every thread name into the registry as well.
//
// Until EnableThreadHook(true) both interposed calls pass straight through.
// None of this is signal-safe; it runs at thread start and end.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <exception>

#include "crash/capture/CDAltStack.h"
#include "crash/capture/CDThreadRegistry.h"

// Called on the thread for an exception that left its function; returns
// when the exception has been handled.
using TCDThreadExceptionHook = void (*)(std::exception_ptr error);

// Not signal-safe.
void SetThreadExceptionHook(TCDThreadExceptionHook hook);
// From now on new threads are wrapped (true) or not (false). Not
// signal-safe.
void EnableThreadHook(bool enabled);
// Signal-safe.
bool ThreadHookEnabled();

// What a wrapped thread gets, for threads that exist already (the main
// thread) or that our own code starts: its alternate signal stack and its
// registry entry, both removed again when the scope ends.
class TCDThreadScope {
 public:
  // creatorAddress and creatorThreadId 0: not known. Not signal-safe.
  TCDThreadScope(uintptr_t startAddress, uintptr_t creatorAddress, pid_t creatorThreadId);
  // Not signal-safe.
  ~TCDThreadScope();
  TCDThreadScope(const TCDThreadScope&) = delete;
  TCDThreadScope& operator=(const TCDThreadScope&) = delete;

 private:
  TCDAltStack altStack_;
  pid_t threadId_;
};

// The calling thread's stack, from its thread attributes. Not signal-safe.
bool CurrentThreadStack(uintptr_t& low, uintptr_t& high);
