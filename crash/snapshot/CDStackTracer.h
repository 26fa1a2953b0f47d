// The call stack of one thread, as the bug report lists it.
//
// Two sources are combined. The thread's stack is scanned for values that
// may be return addresses (CallBefore: the bytes before them end in a call);
// stack slots that the frame-pointer chain passes through are marked sure.
// Then the candidates are refined: recursive stretches are removed, each is
// checked in depth (the unwinder's call-frame chain confirms it, or its call
// leads into the function of the entry below it), and the best-linked chain
// is chosen: the unwinder's frames as far as they reach, then the linked or
// sure candidates above them — none when the unwinder reached the thread's
// outermost frame, past which there is nothing. The creation site of the
// thread comes last.
//
// The capture (context, unwound frames, copy of the stack) is taken while
// the thread stands still (PrepareCapture); tracing works on the copy, so the
// thread may run on meanwhile. Each step has a name; a step that fails
// raises ECDTraceError with it, which the report writes as ">> internal error
// in <step>".
#pragma once

#include <sys/types.h>

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "crash/capture/CDContext.h"
#include "crash/snapshot/CDUnwinder.h"
#include "crash/sys/CDAddressSpace.h"
#include "runtime/Exception.h"

// A step of the tracer failed; the message is the step's name.
PINMARK_EXCEPTION_CLASS(ECDTraceError, Exception);

// What is taken of a thread while it stands still.
struct TCDThreadCapture {
  pid_t ThreadId = 0;
  TCDContext Context;           // invalid when it could not be had
  uint64_t FirstAddress = 0;    // the exception location, else the current address; 0 unknown
  uint64_t StackPointer = 0;    // the analysis starts here
  uint64_t FramePointer = 0;
  uint64_t StackTop = 0;        // end of the stack's mapping
  uint64_t CreationSite = 0;    // where the thread was created; 0 unknown
  std::vector<TCDFrame> Unwound;
  bool UnwoundToOutermost = false;  // Unwound ends at the thread's outermost frame
  std::vector<uint8_t> Stack;   // the bytes from StackPointer on
  // When the unwinder's frames end beyond the copy above (a deep stack) and
  // not at the thread's outermost frame: the bytes from the last frame's
  // stack pointer on, where the scan goes on.
  uint64_t UpperStart = 0;
  std::vector<uint8_t> Upper;

  bool Accessible() const { return StackPointer != 0 && !Stack.empty(); }
  // The slot at the address, if it lies in one of the copies.
  bool Slot(uint64_t address, uint64_t& value) const;
};

// Fills StackTop, Unwound and Stack from Context (or from StackPointer and
// FramePointer when set by the caller: frames below StackPointer belong to
// whoever holds the thread and are left out). Call it while the thread
// stands still. At most maxStackBytes are copied from the stack pointer on,
// and as much again above the last unwound frame when that lies beyond.
void PrepareCapture(TCDThreadCapture& capture, const TCDAddressSpace& space, std::size_t maxStackBytes);

struct TCDStackEntry {
  uint64_t Address = 0;
  bool Exact = false;  // not a return address (first entry, a frame a signal interrupted)
  bool Sure = false;   // confirmed by the unwinder or the frame-pointer chain
  bool CreationSite = false;
  uint64_t LeftOut = 0;  // frames of a deep stack left out just before this entry
};

// A candidate of the scan.
struct TCDStackCandidate {
  uint64_t Slot = 0;   // stack address holding it
  uint64_t Value = 0;  // the return address
  bool Sure = false;
  bool Direct = false;  // its call is relative, to Target
  uint64_t Target = 0;
};

class TCDStackTracer {
 public:
  // Reads code bytes; returns how many could be read.
  using TReadCode = std::function<std::size_t(uint64_t address, void* buffer, std::size_t size)>;
  // Start of the function holding a code address; 0 when unknown.
  using TFunctionStart = std::function<uint64_t(uint64_t address)>;
  // Progress of one thread's analysis, 0 to 1000.
  using TProgress = std::function<void(int position)>;

  TCDStackTracer(const TCDAddressSpace& space, TReadCode readCode, TFunctionStart functionStart);

  // The entries of the thread's call stack, innermost first.
  std::vector<TCDStackEntry> Trace(const TCDThreadCapture& capture, const TProgress& progress = {});

  // The steps, in their order.
  std::vector<TCDStackCandidate> CollectPossibleStackItems(const TCDThreadCapture& capture,
                                                           const TProgress& progress);
  static void RemoveRecursiveStackAreas(std::vector<TCDStackCandidate>& candidates);
  void InDeepChecks(const TCDThreadCapture& capture, std::vector<TCDStackCandidate>& candidates,
                    const TProgress& progress);
  std::vector<TCDStackEntry> RealizeOptimalLinkChains(const TCDThreadCapture& capture,
                                                      const std::vector<TCDStackCandidate>& candidates,
                                                      const TProgress& progress);
  static void RemoveRecursiveAreas(std::vector<TCDStackEntry>& entries);

 private:
  // Whether the call before the candidate leads into the function that holds
  // the code address `inner`.
  bool Links(const TCDStackCandidate& candidate, uint64_t inner);

  const TCDAddressSpace& space_;
  TReadCode readCode_;
  TFunctionStart functionStart_;
};
