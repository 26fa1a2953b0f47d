#include "crash/snapshot/CDProcessSnapshot.h"

#include <ucontext.h>

#include <algorithm>
#include <chrono>
#include <map>
#include <mutex>

#include "crash/sys/CDMemory.h"
#include "crash/sys/CDProcessList.h"
#include "runtime/ThreadName.h"

namespace {

constexpr auto kRegistryWait = std::chrono::milliseconds(50);
// A stack is copied up to this size; deeper recursion than fits is cut.
constexpr std::size_t kMaxStackCopy = 8u << 20;

TCDContext OwnContext() {
  ucontext_t uc;
  if (getcontext(&uc) != 0) return TCDContext{};
  return ContextFromUcontext(uc);
}

}  // namespace

TCDProcessSnapshot::TCDProcessSnapshot() = default;
TCDProcessSnapshot::~TCDProcessSnapshot() = default;

void TCDProcessSnapshot::Take(const TCDSnapshotInput& input) {
  throwStack_ = input.ThrowStack;
  space_ = TCDAddressSpace::OfThisProcess();
  symbols_ = std::make_unique<TCDSymbolizer>();
  try {
    ListThreads(input);
  } catch (...) {
    threads_.clear();
  }
  for (TCDThreadSnapshot& t : threads_) Capture(t, input);
}

void TCDProcessSnapshot::ListThreads(const TCDSnapshotInput& input) {
  std::vector<TCDThreadRegEntry> entries;
  try {
    if (input.Threads) registryLocked_ = input.Threads->Snapshot(kRegistryWait, entries);
  } catch (...) {
    registryLocked_ = false;  // as if its lock could not be had
    entries.clear();
  }
  std::map<pid_t, TCDThreadRegEntry> registry;
  for (TCDThreadRegEntry& e : entries) registry[e.ThreadId] = std::move(e);
  auto find = [&](pid_t id) -> std::optional<TCDThreadRegEntry> {
    auto it = registry.find(id);
    if (it == registry.end()) return std::nullopt;
    return it->second;
  };
  const pid_t self = CurrentThreadId();

  std::vector<pid_t> order{input.CrashedThreadId};
  if (input.MainThreadId != input.CrashedThreadId) order.push_back(input.MainThreadId);
  if (input.ListThreads) {
    for (pid_t id : ListThreadIds()) {
      if (std::find(order.begin(), order.end(), id) != order.end()) continue;
      if (id == self || (input.IsOwnThread && input.IsOwnThread(id))) continue;
      if (auto it = registry.find(id); it != registry.end() && it->second.Name == "-") continue;
      order.push_back(id);
    }
  }

  // A thread's priority counts from the process's, which is the main
  // thread's: in a process started with a nice value its threads are not all
  // of a different priority.
  TCDProcStat mainStat;
  const int64_t baseNice = ReadThreadStat(input.MainThreadId, mainStat) ? mainStat.Nice : 0;
  for (pid_t id : order) {
    TCDThreadSnapshot t;
    t.Id = id;
    t.Crashed = id == input.CrashedThreadId;
    t.Caller = id == self;
    t.Entry = find(id);
    TCDProcStat stat;
    if (ReadThreadStat(id, stat) && stat.Nice != baseNice) t.RelativePriority = baseNice - stat.Nice;
    if (t.Entry && t.Entry->CreationSite != 0) {
      t.Capture.CreationSite = t.Entry->CreationSite;
      if (t.Entry->CreatorId != 0) t.CreatorEntry = find(t.Entry->CreatorId);
    }
    threads_.push_back(std::move(t));
  }
}

void TCDProcessSnapshot::Capture(TCDThreadSnapshot& t, const TCDSnapshotInput& input) {
  TCDThreadCapture& c = t.Capture;
  c.ThreadId = t.Id;
  bool stopped = false;
  if (t.Crashed && !input.ThrowStack.empty()) {
    // The stack at the throw says where it went wrong; what the thread does
    // now is the handling's wait.
    c.FirstAddress = input.ExceptionAddress;
    t.Accessible = c.FirstAddress != 0;
    t.Weight = 100;
    return;
  }
  if (t.Crashed) {
    c.FirstAddress = input.ExceptionAddress;
    c.StackPointer = input.StackPointer;
    c.FramePointer = input.FramePointer;
    if (input.Context.Valid) c.Context = input.Context;  // the crashed thread waits for the handling
  }
  if (!c.Context.Valid && t.Caller) c.Context = OwnContext();
  try {
    if (!c.Context.Valid && !t.Caller && input.Contexts) {
      TCDContext context;
      if (input.Contexts->Stop(t.Id, context)) {
        c.Context = context;
        stopped = true;
      }
    }
    if (c.Context.Valid || c.StackPointer != 0) PrepareCapture(c, space_, kMaxStackCopy);
  } catch (...) {
    c.Stack.clear();
    c.Unwound.clear();
  }
  if (stopped) {
    try {
      input.Contexts->Resume(t.Id);
    } catch (...) {
      // Nothing more to do for it here.
    }
  }
  t.Accessible = c.Accessible() || c.FirstAddress != 0;
  t.Weight = std::max<uint64_t>(c.Stack.size(), 1) * 100;
}

std::vector<TCDStackEntry> TCDProcessSnapshot::Trace(const TCDThreadSnapshot& t,
                                                     const std::function<void(int)>& progress) {
  if (t.Crashed && !throwStack_.empty()) {
    std::vector<TCDStackEntry> entries = ThrowStackEntries(t.Capture);
    progress(1000);
    return entries;
  }
  TCDStackTracer tracer(space_, ReadOwnMemoryPartly,
                        [this](uint64_t address) { return symbols_->FunctionStartOf(address); });
  return tracer.Trace(t.Capture, progress);
}

std::vector<TCDStackEntry> TCDProcessSnapshot::ThrowStackEntries(const TCDThreadCapture& c) const {
  // The exception address (the capture's first address) is where the
  // throwing call returns to, as every recorded frame is a return address;
  // the walk's first frame is that call itself.
  std::vector<TCDStackEntry> entries{TCDStackEntry{c.FirstAddress, false, true, false}};
  for (uint64_t frame : throwStack_)
    if (frame != 0 && !(entries.size() == 1 && frame == c.FirstAddress))
      entries.push_back(TCDStackEntry{frame, false, true, false});
  TCDStackTracer::RemoveRecursiveAreas(entries);
  if (c.CreationSite != 0) entries.push_back(TCDStackEntry{c.CreationSite, false, true, true});
  return entries;
}

void TCDProcessSnapshot::RenewSymbols() {
  static std::mutex lock;
  static auto* abandoned = new std::vector<TCDSymbolizer*>;
  {
    std::lock_guard<std::mutex> guard(lock);
    abandoned->push_back(symbols_.release());
  }
  symbols_ = std::make_unique<TCDSymbolizer>();
}
