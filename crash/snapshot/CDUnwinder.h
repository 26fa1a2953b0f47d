// Unwinding a thread's stack by the call-frame information of its code
// (libunwind), starting from a processor context that was copied while the
// thread stood still: the first frame is the context itself, each further
// frame a caller.
//
// The context must stay valid and the thread's stack must not change while
// this runs; with a context taken in a signal handler the first address is
// exact (not a return address). Every frame's stack pointer lies in readable
// memory and rises (except across a signal frame); the walk stops at the
// first frame that breaks this, at an address outside the process's code or
// after maxFrames. Only the first frame of an overflowed stack may stand
// below its stack: its callers' frames, which the walk reads, lie above.
// Not for signal handlers.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "crash/capture/CDContext.h"
#include "crash/sys/CDAddressSpace.h"

// When the stack pointer lies past the end of its stack (a stack overflow:
// the guard page or the gap below the stack), the stack it ran out of: the
// readable, writable mapping that begins at most CDOverflowReach above it.
// Null when the stack pointer is readable, or no such stack is near.
inline constexpr uint64_t CDOverflowReach = 1u << 20;
const TCDMapping* OverflowedStack(const TCDAddressSpace& space, uint64_t stackPointer);

struct TCDFrame {
  uint64_t Ip = 0;
  uint64_t Sp = 0;     // the frame's stack pointer (for callers: the value after the return)
  bool Exact = false;  // Ip is where the frame stood (the context, or a frame a signal interrupted),
                       // not a return address
};

// outermost, when given, tells whether the walk ended at the thread's
// outermost frame (where its code says there is no caller: the thread's
// start in clone3, the program's _start), not somewhere on the way.
std::vector<TCDFrame> UnwindFromContext(const TCDContext& context, const TCDAddressSpace& space,
                                        std::size_t maxFrames, bool* outermost = nullptr);
