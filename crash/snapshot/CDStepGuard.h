// Faults inside the report's own steps. The stack tracer walks stacks by
// heuristics and reads code that other threads may unload meanwhile; a
// fault there must cost its section, not the process.
//
// A step runs under RunFaultGuarded. The crash reporter's handlers of
// synchronous signals (SIGSEGV, SIGBUS, SIGILL, SIGFPE) offer each fault to
// CDRecoverGuardedFault first, which jumps back out of the step when the
// fault happened inside a guarded step of the faulting thread. The jump
// skips the destructors of the step's frames: locks the step held stay held
// and its memory is lost, so whoever ran the step must not use that step's
// objects again (the composer drops its symbol session, for one).
#pragma once

#include <signal.h>

#include <cstdint>
#include <functional>

struct TCDStepFault {
  int Signal = 0;
  uint64_t Address = 0;  // of the faulting instruction
  const char* Step = "";  // the step that was running (see TCDStepName)
};

// Runs f; false when a fault interrupted it, with the fault described.
// Guards nest: an inner guard leaves the fault to the outer one.
bool RunFaultGuarded(const std::function<void()>& f, TCDStepFault& fault);

// Signal-safe. Does not return when the fault happened inside a guarded
// step of the calling thread; otherwise returns at once.
void CDRecoverGuardedFault(int signal, const siginfo_t* info, const void* ucontext);

// Names the step that runs while it lives, for the fault's description.
class TCDStepName {
 public:
  explicit TCDStepName(const char* name);
  ~TCDStepName();
  TCDStepName(const TCDStepName&) = delete;
  TCDStepName& operator=(const TCDStepName&) = delete;

 private:
  const char* previous_;
};
