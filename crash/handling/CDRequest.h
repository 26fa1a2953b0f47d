// The exception request: the fixed record in which an interception point
// hands an exception to the exception-handling thread, fourteen machine
// words in a fixed order, written through a pipe in one piece.
//
// Pointers in the record point into the faulting thread's memory, which
// stays valid because that thread waits until its request is done.
#pragma once

#include <cstddef>
#include <cstdint>
#include <exception>

#include "crash/capture/CDSignalHandler.h"

// Where an exception was intercepted.
enum class TCDExceptionSource : int32_t {
  Freeze = 1,              // the freeze watchdog (no exception object)
  ShowException = 3,       // the runtime's routine that shows an exception
  AppShowException = 4,    // the application object's routine that shows one
  AppHandleException = 5,  // the application object's handler (the event loop's)
  Synchronize = 10,        // a worker thread's synchronised call into the main thread
  RuntimeError = 11,       // std::terminate and other runtime errors
  ThreadFunction = 13,     // an exception left a thread function
  SystemException = 14,    // a fatal signal
  Hidden = 15,             // an exception the program handled itself
};

// What the request's object word points at: the exception in flight, or
// the facts of a fatal signal (made into an exception object by the
// handling thread, where allocating is safe). Neither for a freeze.
struct TCDExceptionObject {
  std::exception_ptr Error;
  const TCDSignalFacts* Signal = nullptr;
};

struct TCDExceptionRequest {
  uintptr_t Event = 0;          // TCDEvent* set when done; 0 asks the handling thread to stop
  uintptr_t ThreadId = 0;       // the faulting thread
  uintptr_t Type = 0;           // TCDExceptionType
  uintptr_t Object = 0;         // const TCDExceptionObject*
  uintptr_t Address = 0;        // the exception address
  uintptr_t CanContinue = 0;
  uintptr_t StackPointer = 0;
  uintptr_t FramePointer = 0;
  uintptr_t Context = 0;        // const TCDContext*, or 0
  uintptr_t ReportOut = 0;      // std::string* that receives the report when no window may be shown, or 0
  uintptr_t Source = 0;         // TCDExceptionSource
  uintptr_t RelatedObject = 0;  // the sender passed to the application's handler
  uintptr_t Module = 0;         // TCDModuleHandle of the module the exception belongs to
  uintptr_t PreparedStack = 0;  // const TCDPreparedStack*, or 0
};
static_assert(sizeof(TCDExceptionRequest) == 14 * sizeof(uintptr_t));
