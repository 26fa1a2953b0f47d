#include "crash/snapshot/CDStepGuard.h"

#include <setjmp.h>
#include <ucontext.h>

namespace {

struct TGuard {
  sigjmp_buf Back;
  volatile sig_atomic_t Armed = 0;
  TCDStepFault Fault;
  const char* Step = "";
};

// Initial-exec storage: a signal handler may read it without allocating.
thread_local TGuard tGuard;

}  // namespace

bool RunFaultGuarded(const std::function<void()>& f, TCDStepFault& fault) {
  TGuard& g = tGuard;
  if (g.Armed) {
    f();
    return true;
  }
  if (sigsetjmp(g.Back, 1) == 0) {
    g.Armed = 1;
    f();
    g.Armed = 0;
    return true;
  }
  g.Armed = 0;
  fault = g.Fault;
  return false;
}

void CDRecoverGuardedFault(int signal, const siginfo_t*, const void* ucontext) {
  TGuard& g = tGuard;
  if (!g.Armed) return;
  g.Armed = 0;
  g.Fault.Signal = signal;
  g.Fault.Address =
      ucontext ? static_cast<uint64_t>(static_cast<const ucontext_t*>(ucontext)->uc_mcontext.gregs[REG_RIP]) : 0;
  g.Fault.Step = g.Step;
  siglongjmp(g.Back, 1);
}

TCDStepName::TCDStepName(const char* name) : previous_(tGuard.Step) { tGuard.Step = name; }

TCDStepName::~TCDStepName() { tGuard.Step = previous_; }
