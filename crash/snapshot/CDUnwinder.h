// Unwinding a thread's stack by the call-frame information of its code
// (libunwind), starting from a processor context that was copied while the
// thread stood still: the first frame is the context itself, each further
// frame a caller.
//
// The context must stay valid and the thread's stack must not change while
// this runs; with a context taken in a signal handler the first address is
// exact (not a return address). Every frame's stack pointer lies in readable
// memory and rises (except across a signal frame); the walk stops at the
// first frame that breaks this or at an address outside the process's code.
// Recursion is collapsed as the walk goes (one round of it is kept), so a
// stack of millions of frames unwinds whole in little memory. Only the first
// frame of an overflowed stack may stand below its stack: its callers'
// frames, which the walk reads, lie above. Not for signal handlers.
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
  uint64_t LeftOut = 0;  // frames walked but left out between the frame before and this one
};

// Longest stretch that counts as one round of a recursion.
inline constexpr std::size_t CDMaxRecursionPeriod = 16;

// Appends an item and drops the newest round when the tail of the list now
// repeats itself (x y x y -> x y), so recursion leaves one round behind.
// Works on any sequence with push_back, resize and indexing.
template <typename List, typename T, typename Same>
void CDAppendCollapsing(List& out, T item, Same same) {
  out.push_back(std::move(item));
  for (std::size_t period = 1; period <= CDMaxRecursionPeriod && 2 * period <= out.size(); ++period) {
    const std::size_t n = out.size();
    bool repeats = true;
    for (std::size_t i = 0; i < period && repeats; ++i) repeats = same(out[n - period + i], out[n - 2 * period + i]);
    if (repeats) {
      out.resize(n - period);
      return;
    }
  }
}

// At most maxFrames frames are kept after collapsing (a deep stack whose
// calls do not repeat in short rounds): the innermost ones and, so that the
// thread's outermost frames still show, the last maxFrames / 4 walked; the
// first of those tells in LeftOut how many were left out before it.
// outermost, when given, tells whether the walk ended at the thread's
// outermost frame (where its code says there is no caller: the thread's
// start in clone3, the program's _start), not somewhere on the way.
std::vector<TCDFrame> UnwindFromContext(const TCDContext& context, const TCDAddressSpace& space,
                                        std::size_t maxFrames, bool* outermost = nullptr);
