// The fatal signals: SIGSEGV, SIGBUS, SIGFPE, SIGILL, SIGABRT and SIGTRAP are
// caught on the thread's alternate stack and handed to one hook with the
// facts of the signal. What a signal means (an access violation and where,
// a stack overflow, a division by zero) is worked out here, without
// allocating, so that the same class and message come out whether the
// report is made normally or by the faulting thread itself.
#pragma once

#include <signal.h>
#include <ucontext.h>

#include <cstdint>

#include "crash/capture/CDContext.h"
#include "crash/capture/CDSafeText.h"

inline constexpr int CDFatalSignals[] = {SIGSEGV, SIGBUS, SIGFPE, SIGILL, SIGABRT, SIGTRAP};

enum class TCDAccess : uint8_t { Unknown, Read, Write, Execute };

// What one fatal signal says.
struct TCDSignalFacts {
  int Signal = 0;
  int Code = 0;                 // si_code
  uintptr_t Address = 0;        // the faulting instruction
  uintptr_t DataAddress = 0;    // the memory touched (SIGSEGV, SIGBUS), else 0
  TCDAccess Access = TCDAccess::Unknown;
  bool StackOverflow = false;
  bool SentByProcess = false;   // kill, raise, abort: not the processor
  TCDContext Context;
};

// Works the facts out of a signal; stackLow/High are the thread's stack
// (0, 0 when unknown). Signal-safe.
TCDSignalFacts DescribeSignal(int signal, const siginfo_t* info, const ucontext_t* context, uintptr_t stackLow,
                              uintptr_t stackHigh);

// The class the signal becomes ("EAccessViolation", "EStackOverflow", ...).
// Signal-safe.
const char* SignalClassName(const TCDSignalFacts& facts);
// Its message, appended to text. Signal-safe.
void FormatSignalMessage(const TCDSignalFacts& facts, TCDSafeText& text);

// Receives every fatal signal on the thread that caught it. If it returns,
// the process dies of the signal as it would have without us.
using TCDFatalSignalHook = void (*)(int signal, siginfo_t* info, ucontext_t* context);

// Installs the handlers (on the alternate stack, with the other fatal
// signals blocked while one is handled, so that a fault inside the handler
// ends the process instead of looping). Not signal-safe.
void InstallFatalSignalHandlers(TCDFatalSignalHook hook);
// Puts back the handlers that were there before. Not signal-safe.
void RemoveFatalSignalHandlers();
// Ends the process by the signal, with the system's own handling of it.
// Signal-safe.
[[noreturn]] void DieOfSignal(int signal);
