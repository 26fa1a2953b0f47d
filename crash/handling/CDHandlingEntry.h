// The handling entry, the single way in for every interception point, and
// the interception points themselves: the application object's handler,
// the runtime's show-exception routine, exceptions that leave a thread
// function, fatal signals, std::terminate, hidden exceptions and freezes.
//
// The entry hands the exception as a request to the exception-handling
// thread and waits until it is done: the GUI thread keeps dispatching its
// events meanwhile, other threads simply wait. When the process is blocked
// (a thread holds a lock the handling needs) the faulting thread does what
// it can itself and the process ends. It returns when the exception has
// been handled and the program is to go on.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <exception>
#include <string>

#include "crash/capture/CDContext.h"
#include "crash/handling/CDRequest.h"
#include "crash/handling/ICDException.h"

struct TCDEntryArgs {
  TCDExceptionType Type = TCDExceptionType::Exception;
  const TCDExceptionObject* Object = nullptr;
  uintptr_t Address = 0;
  std::string* ReportOut = nullptr;
  uintptr_t RelatedObject = 0;
  TCDExceptionSource Source = TCDExceptionSource::AppHandleException;
  const TCDContext* Context = nullptr;
  uintptr_t FramePointer = 0;
  uintptr_t StackPointer = 0;
  bool CanContinue = true;
  // The crashed thread when it is not the calling one (a freeze names the
  // main thread); 0 for the calling thread.
  pid_t ThreadId = 0;
};

// The handling entry. Signal-safe as far as a fatal signal needs it (no
// allocation on the way to the handling thread or into the blocked path).
void CDHandleException(const TCDEntryArgs& args);

// ---- interception points ----

// The application object's handler (source 5); the toolkit side has
// cancelled any mouse capture first.
void HandleApplicationException(std::exception_ptr error, uintptr_t sender);
// The runtime's routine that shows an exception (source 3).
void HandleShownException(std::exception_ptr error);
// An exception the program caught itself (source 15, hidden): passed to the
// hidden-exception handlers while any are registered; one without a message
// is not passed on.
void HandleHiddenException(std::exception_ptr error);
// A runtime error (source 11): a new exception with the text, "Runtime
// error" when there is none; it cannot continue.
void HandleRuntimeError(const std::string& text);
// A freeze of the main thread, reported by the watchdog (source 1).
void HandleFreeze();

// Installs and removes the interception points of the process: fatal
// signals, std::terminate, exceptions leaving thread functions, the
// runtime's show-exception routine and thread names. Not signal-safe.
void InstallInterceptionPoints();
void RemoveInterceptionPoints();
