// Known call chains for the report tests: noinline functions whose lines the
// tests know, so a report's call stack can be checked line by line.
#pragma once

#include <sys/types.h>

#include <atomic>
#include <functional>

#include "crash/capture/CDContext.h"

// The lines of the calls and of the innermost statement, set by the chain.
struct TCDChainLines {
  int Outer = 0, Middle = 0, Inner = 0;
};

// ChainOuter -> ChainMiddle -> ChainInner, which executes an invalid
// instruction (SIGILL) at the line `lines.Inner`. The signal handler calls
// `atFault` with the faulting context while the chain is still on the stack,
// then jumps back out; ChainOuter returns normally afterwards.
void ChainOuter(const std::function<void(const TCDContext&)>& atFault, TCDChainLines& lines);

// A thread parked in ParkOuter -> ParkInner until `release` is set.
void ParkOuter(std::atomic<bool>& release, std::atomic<pid_t>& id, TCDChainLines& lines);
