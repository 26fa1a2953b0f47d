#include "tests/crash/report/CDCallChain.h"

#include <setjmp.h>
#include <signal.h>
#include <ucontext.h>
#include <unistd.h>

#include <chrono>
#include <thread>

// Each call is followed by a store, so that no call becomes a jump.
namespace {
volatile int gSink = 0;
volatile bool gTrap = true;
const std::function<void(const TCDContext&)>* gAtFault = nullptr;
sigjmp_buf gBack;

void OnIllegal(int, siginfo_t*, void* uc) {
  (*gAtFault)(ContextFromUcontext(*static_cast<ucontext_t*>(uc)));
  siglongjmp(gBack, 1);
}
}  // namespace

[[gnu::noinline]] void ChainInner(TCDChainLines& lines) {
  lines.Inner = __LINE__ + 1;
  if (gTrap) __builtin_trap();
  gSink = gSink + 1;
}

[[gnu::noinline]] void ChainMiddle(TCDChainLines& lines) {
  lines.Middle = __LINE__; ChainInner(lines);
  gSink = gSink + 1;
}

[[gnu::noinline]] void ChainOuter(const std::function<void(const TCDContext&)>& atFault, TCDChainLines& lines) {
  struct sigaction sa {}, old {};
  sa.sa_sigaction = OnIllegal;
  sa.sa_flags = SA_SIGINFO | SA_NODEFER;
  sigemptyset(&sa.sa_mask);
  sigaction(SIGILL, &sa, &old);
  gAtFault = &atFault;
  if (sigsetjmp(gBack, 1) == 0) {
    lines.Outer = __LINE__; ChainMiddle(lines);
  }
  sigaction(SIGILL, &old, nullptr);
  gSink = gSink + 1;
}

[[gnu::noinline]] void ParkInner(std::atomic<bool>& release, std::atomic<pid_t>& id, TCDChainLines& lines) {
  id = gettid();
  lines.Inner = __LINE__; while (!release) std::this_thread::sleep_for(std::chrono::milliseconds(1));
  gSink = gSink + 1;
}

[[gnu::noinline]] void ParkOuter(std::atomic<bool>& release, std::atomic<pid_t>& id, TCDChainLines& lines) {
  lines.Outer = __LINE__; ParkInner(release, id, lines);
  gSink = gSink + 1;
}
