// Handling in the faulting thread itself, for a process that cannot be
// trusted to allocate or to load anything: a thread faulted while holding
// the allocator's or the loader's lock (the blocked-process test said so),
// or the crash reporter's own thread crashed. Everything here works in
// static storage with signal-safe calls only: a short report (the header
// lines that identify the exception, the crashed thread's location, its
// registers and stack dump) goes to the helper process, which shows the box
// and saves the report; without a helper the message and report go to
// the console (CDConsoleReport) and the report is appended to the
// bug-report file here.
// The process then ends: exit code 2 for a restart, 1 otherwise.
#pragma once

#include <sys/types.h>

#include <cstdint>

#include "crash/capture/CDContext.h"
#include "crash/handling/CDRequest.h"

// What the settings say, read at start-up, when reading them was still safe.
// Not signal-safe.
void CaptureBlockedHandlingSettings();

struct TCDBlockedInput {
  int32_t Type = 0;  // TCDExceptionType
  TCDExceptionSource Source = TCDExceptionSource::SystemException;
  bool CanContinue = false;
  pid_t ThreadId = 0;
  uintptr_t Address = 0;
  const TCDContext* Context = nullptr;
  const TCDExceptionObject* Object = nullptr;
};

// Reports and ends the process. Signal-safe.
[[noreturn]] void HandleInFaultingThread(const TCDBlockedInput& input);

// The next exception number of the process: 1 for the first report.
// Signal-safe.
uint64_t NextExceptionNumber();
