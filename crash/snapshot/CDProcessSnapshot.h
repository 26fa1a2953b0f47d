// A snapshot of the process at a failure, for the bug report to read.
//
// Take lists the threads (the crashed one, the main one, then the others in
// the order the system gives, unless only those two are wanted), learns
// from the thread registry what it knows of each (name, class, creator,
// whether the handling paused it) and from the system its priority, and
// takes each thread's capture while it stands still: the crashed thread's
// from the exception's context (or from where the handling holds it), the
// calling thread's from its own context, every other one's by stopping it
// briefly through the context source. For an exception whose throw was
// recorded, the crashed thread is not captured at all: its stack at the
// throw stands in for it. Afterwards the threads run on; Trace and the
// symbol session work on the copies.
//
// Take never raises: a thread that cannot be listed, stopped or copied is
// kept as not accessible. Not for signal handlers.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <vector>

#include "crash/capture/CDContext.h"
#include "crash/snapshot/CDStackTracer.h"
#include "crash/snapshot/CDSymbols.h"
#include "crash/snapshot/CDThreadContextSource.h"
#include "crash/snapshot/CDThreadRegistryView.h"
#include "crash/sys/CDAddressSpace.h"

// Which snapshot to take.
struct TCDSnapshotInput {
  pid_t CrashedThreadId = 0;
  pid_t MainThreadId = 0;
  // False: the crashed and the main thread only.
  bool ListThreads = true;
  // Threads of the crash reporter itself, left out like those the registry
  // hides; the calling thread is always left out of the list of others.
  std::function<bool(pid_t)> IsOwnThread;
  // Without a registry, threads have no names; without a context source,
  // other threads' stacks are not accessible.
  std::shared_ptr<const ICDThreadRegistryView> Threads;
  std::shared_ptr<ICDThreadContextSource> Contexts;

  // The crashed thread: where it failed, its context when there is one, and
  // where the handling holds it (frames below that stack pointer are the
  // handling's own; 0 when the context says it all).
  uint64_t ExceptionAddress = 0;
  TCDContext Context;
  uint64_t StackPointer = 0, FramePointer = 0;
  // The return addresses of the crashed thread's stack at the throw,
  // innermost first; empty when its own stack is to be traced.
  std::vector<uint64_t> ThrowStack;
};

// One thread as the snapshot found it.
struct TCDThreadSnapshot {
  pid_t Id = 0;
  bool Crashed = false;
  bool Caller = false;  // the thread that took the snapshot
  // Its registry entry, and its creator's, when the registry lists them.
  std::optional<TCDThreadRegEntry> Entry;
  std::optional<TCDThreadRegEntry> CreatorEntry;
  // Its priority counted from the process's, when that differs.
  std::optional<int64_t> RelativePriority;
  TCDThreadCapture Capture;
  bool Accessible = false;
  // How much work its stack analysis is: its stack size, at least one unit.
  uint64_t Weight = 0;
};

class TCDProcessSnapshot {
 public:
  TCDProcessSnapshot();
  ~TCDProcessSnapshot();
  TCDProcessSnapshot(const TCDProcessSnapshot&) = delete;
  TCDProcessSnapshot& operator=(const TCDProcessSnapshot&) = delete;

  // Takes the snapshot. Call once.
  void Take(const TCDSnapshotInput& input);

  // Whether the registry's lock could be had: without it no thread has a
  // name from the registry.
  bool RegistryLocked() const { return registryLocked_; }
  const std::vector<TCDThreadSnapshot>& Threads() const { return threads_; }
  const TCDAddressSpace& Space() const { return space_; }

  // The thread's call stack: from the throw for the crashed thread when the
  // throw was recorded, else traced on its copy; progress runs 0 to 1000.
  // Raises ECDTraceError (or anything else) when a step fails.
  std::vector<TCDStackEntry> Trace(const TCDThreadSnapshot& thread, const std::function<void(int)>& progress);

  TCDSymbolizer& Symbols() { return *symbols_; }
  // A step that faulted left the symbol session in an unknown state (its
  // locks may be held): it is abandoned, never used or freed again, and a
  // new one serves from here.
  void RenewSymbols();

 private:
  void ListThreads(const TCDSnapshotInput& input);
  void Capture(TCDThreadSnapshot& t, const TCDSnapshotInput& input);
  std::vector<TCDStackEntry> ThrowStackEntries(const TCDThreadCapture& c) const;

  TCDAddressSpace space_;
  std::unique_ptr<TCDSymbolizer> symbols_;
  std::vector<TCDThreadSnapshot> threads_;
  bool registryLocked_ = true;
  std::vector<uint64_t> throwStack_;
};
