#include "tools/crashdemo/DemoChain.h"

namespace {
// Each call is followed by a store, so that no call becomes a jump.
volatile int sink = 0;
}  // namespace

[[gnu::noinline]] void DemoChainInner(void (*goWrong)()) {
  goWrong();  // chain: inner
  sink = sink + 1;
}

[[gnu::noinline]] void DemoChainMiddle(void (*goWrong)()) {
  DemoChainInner(goWrong);  // chain: middle
  sink = sink + 1;
}

[[gnu::noinline]] void DemoChainOuter(void (*goWrong)()) {
  DemoChainMiddle(goWrong);  // chain: outer
  sink = sink + 1;
}
