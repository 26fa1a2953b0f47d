// Where an exception was thrown. By the time an exception reaches the crash
// reporter (a catch in the event loop, the end of a thread function) the
// frames that threw it are gone; so every throw of the program records, per
// thread, the object thrown, the throwing address and the return addresses
// of the stack at that moment. The report lists that stack for the crashed
// thread instead of the catching one (the request's prepared stack).
//
// Recording happens in an interposed __cxa_throw, only while enabled; the
// few most recent throws of each thread are kept.
#pragma once

#include <sys/types.h>

#include <cstddef>
#include <cstdint>
#include <exception>

inline constexpr std::size_t CDMaxPreparedFrames = 64;

// A stack taken in advance: the return addresses from the throw outwards.
struct TCDPreparedStack {
  uintptr_t ThrowAddress = 0;  // the instruction after the throwing call
  pid_t ThreadId = 0;
  uint32_t Count = 0;
  uintptr_t Frames[CDMaxPreparedFrames] = {};
};

// Signal-safe.
void EnableThrowTrace(bool enabled);

// The throw record of this exception object on the calling thread; false
// when it was thrown elsewhere or before recording was on. Signal-safe.
bool FindThrowTrace(const void* exceptionObject, TCDPreparedStack& stack);

// The address of the object an exception_ptr holds, without rethrowing it.
// Signal-safe.
const void* ExceptionObjectAddress(const std::exception_ptr& error);
