#include "crash/snapshot/CDStackTracer.h"

#include <algorithm>
#include <cstring>
#include <optional>
#include <unordered_set>

#include "crash/snapshot/CDCallDecoder.h"
#include "crash/snapshot/CDStepGuard.h"
#include "crash/sys/CDMemory.h"

namespace {

// Recursion collapses as the unwinder walks; a deep stack of calls that do
// not repeat in short rounds keeps this many frames.
constexpr std::size_t kMaxFrames = 20000;

bool InCopy(uint64_t address, uint64_t start, const std::vector<uint8_t>& copy, uint64_t& value) {
  if (address < start || address - start > copy.size() || copy.size() - (address - start) < sizeof value)
    return false;
  std::memcpy(&value, copy.data() + (address - start), sizeof value);
  return true;
}

template <typename F>
auto Step(const char* name, F f) -> decltype(f()) {
  TCDStepName step(name);
  try {
    return f();
  } catch (...) {
    throw ECDTraceError(name);
  }
}

}  // namespace

bool TCDThreadCapture::Slot(uint64_t address, uint64_t& value) const {
  return InCopy(address, StackPointer, Stack, value) || InCopy(address, UpperStart, Upper, value);
}

void PrepareCapture(TCDThreadCapture& c, const TCDAddressSpace& space, std::size_t maxStackBytes) {
  const uint64_t holderSp = c.StackPointer;
  if (c.Context.Valid) {
    if (c.FirstAddress == 0) c.FirstAddress = c.Context.Rip;
    c.Unwound = UnwindFromContext(c.Context, space, kMaxFrames, &c.UnwoundToOutermost);
    if (c.StackPointer == 0) c.StackPointer = c.Context.Rsp;
    if (c.FramePointer == 0) c.FramePointer = c.Context.Rbp;
  }
  // Frames below the holder's stack pointer are the holder's own.
  if (holderSp != 0)
    c.Unwound.erase(std::remove_if(c.Unwound.begin(), c.Unwound.end(),
                                   [&](const TCDFrame& f) { return f.Sp < holderSp; }),
                    c.Unwound.end());
  const TCDMapping* stack = space.Find(c.StackPointer);
  if (!stack || !stack->Read) {
    // An overflowed stack: the analysis starts at its first readable byte,
    // just above the fault.
    stack = OverflowedStack(space, c.StackPointer);
    if (stack == nullptr) {
      c.Stack.clear();
      return;
    }
    c.StackPointer = stack->Start;
  }
  c.StackTop = stack->End;
  const std::size_t size = static_cast<std::size_t>(std::min<uint64_t>(c.StackTop - c.StackPointer, maxStackBytes));
  c.Stack.resize(size);
  c.Stack.resize(ReadOwnMemoryPartly(c.StackPointer, c.Stack.data(), size));
  // The chain above an unwinder that stopped deep down is looked for in the
  // stack above its last frame, not in the copy below, which it passed.
  c.Upper.clear();
  c.UpperStart = 0;
  if (!c.UnwoundToOutermost && !c.Unwound.empty()) {
    const uint64_t last = c.Unwound.back().Sp;
    if (last > c.StackPointer + c.Stack.size() && last < c.StackTop) {
      const std::size_t upper = static_cast<std::size_t>(std::min<uint64_t>(c.StackTop - last, maxStackBytes));
      c.Upper.resize(upper);
      c.Upper.resize(ReadOwnMemoryPartly(last, c.Upper.data(), upper));
      if (!c.Upper.empty()) c.UpperStart = last;
    }
  }
}

TCDStackTracer::TCDStackTracer(const TCDAddressSpace& space, TReadCode readCode, TFunctionStart functionStart)
    : space_(space), readCode_(std::move(readCode)), functionStart_(std::move(functionStart)) {}

std::vector<TCDStackCandidate> TCDStackTracer::CollectPossibleStackItems(const TCDThreadCapture& c,
                                                                         const TProgress& progress) {
  std::vector<TCDStackCandidate> out;
  if (!c.Accessible()) return out;
  const uint64_t total = std::max<uint64_t>(c.Stack.size() + c.Upper.size(), 1);
  uint64_t scanned = 0;
  uint8_t code[CDMaxCallLength];
  auto scan = [&](uint64_t start, std::size_t size) {
    const uint64_t first = (start + 7) & ~uint64_t{7};
    const uint64_t end = start + size;
    for (uint64_t slot = first; slot + 8 <= end; slot += 8) {
      if (progress && (slot - first) % 65536 == 0)
        progress(static_cast<int>((scanned + slot - first) * 25 / total));
      uint64_t value = 0;
      c.Slot(slot, value);
      if (value < CDMaxCallLength || !space_.IsCode(value - 1)) continue;
      // Only the bytes of the same code mapping count; a call never spans
      // into the mapping before.
      const TCDMapping* m = space_.Find(value - 1);
      std::size_t want = static_cast<std::size_t>(std::min<uint64_t>(CDMaxCallLength, value - m->Start));
      if (readCode_(value - want, code, want) != want) continue;
      TCDCallSite call = CallBefore(code, want, value);
      if (call.Length == 0) continue;
      out.push_back(TCDStackCandidate{slot, value, false, call.Direct, call.Target});
    }
    scanned += size;
  };
  scan(c.StackPointer, c.Stack.size());
  if (!c.Upper.empty()) scan(c.UpperStart, c.Upper.size());
  const uint64_t end = c.StackPointer + c.Stack.size();
  // The frame-pointer chain: each frame pointer holds the one of its caller,
  // the slot after it the return address; follow it while it rises inside
  // the stack.
  std::unordered_set<uint64_t> chain;
  for (uint64_t fp = c.FramePointer; fp >= c.StackPointer && fp + 16 <= end;) {
    chain.insert(fp + 8);
    uint64_t next = 0;
    if (!c.Slot(fp, next) || next <= fp) break;
    fp = next;
  }
  for (TCDStackCandidate& cand : out)
    if (chain.count(cand.Slot)) cand.Sure = true;
  if (progress) progress(25);
  return out;
}

void TCDStackTracer::RemoveRecursiveStackAreas(std::vector<TCDStackCandidate>& candidates) {
  std::vector<TCDStackCandidate> kept;
  kept.reserve(std::min<std::size_t>(candidates.size(), 4096));
  for (TCDStackCandidate& c : candidates)
    CDAppendCollapsing(kept, std::move(c), [](const TCDStackCandidate& a, const TCDStackCandidate& b) {
      return a.Value == b.Value;
    });
  candidates = std::move(kept);
}

bool TCDStackTracer::Links(const TCDStackCandidate& candidate, uint64_t inner) {
  if (!candidate.Direct) return false;
  const uint64_t start = functionStart_(inner);
  if (start != 0 && candidate.Target == start) return true;
  // A call into another module goes through a stub of the caller's own
  // (PLT): it links when the stub lies in the caller's module and the inner
  // entry in another one.
  const TCDMapping* stub = space_.Find(candidate.Target);
  const TCDMapping* caller = space_.Find(candidate.Value - 1);
  const TCDMapping* callee = space_.Find(inner);
  return stub && caller && callee && stub->Exec && stub->Path == caller->Path && callee->Path != caller->Path;
}

void TCDStackTracer::InDeepChecks(const TCDThreadCapture& c, std::vector<TCDStackCandidate>& candidates,
                                  const TProgress& progress) {
  // A caller's return address lies right below the stack pointer it returns
  // to; the unwinder's frames confirm those slots.
  std::unordered_set<uint64_t> confirmed;
  for (std::size_t i = 1; i < c.Unwound.size(); ++i)
    if (!c.Unwound[i].Exact) confirmed.insert(c.Unwound[i].Sp - 8);
  for (std::size_t i = 0; i < candidates.size(); ++i) {
    if (confirmed.count(candidates[i].Slot)) candidates[i].Sure = true;
    if (progress && i % 256 == 0) progress(25 + static_cast<int>(i * 625 / candidates.size()));
  }
  if (progress) progress(650);
}

std::vector<TCDStackEntry> TCDStackTracer::RealizeOptimalLinkChains(const TCDThreadCapture& c,
                                                                    const std::vector<TCDStackCandidate>& candidates,
                                                                    const TProgress& progress) {
  std::vector<TCDStackEntry> out;
  if (c.FirstAddress != 0) out.push_back(TCDStackEntry{c.FirstAddress, true, true, false});
  // The unwinder's chain, as far as it reaches.
  uint64_t lastSp = c.StackPointer;
  for (std::size_t i = 0; i < c.Unwound.size(); ++i) {
    const TCDFrame& f = c.Unwound[i];
    lastSp = std::max(lastSp, f.Sp);
    if (i == 0 && f.Ip == c.FirstAddress) continue;
    out.push_back(TCDStackEntry{f.Ip, f.Exact, true, false, f.LeftOut});
  }
  // Past the outermost frame lie only stale values.
  if (c.UnwoundToOutermost && !c.Unwound.empty()) return out;

  // Above it, the best-linked chain of candidates: each one must be sure,
  // or its call must lead into the function of the entry below it. An
  // indirect call cannot be checked by itself; it may stand in the chain
  // when a candidate shortly above it links to it.
  auto begin = std::lower_bound(candidates.begin(), candidates.end(), lastSp,
                                [](const TCDStackCandidate& cand, uint64_t sp) { return cand.Slot < sp; });
  std::vector<TCDStackCandidate> above(begin, candidates.end());
  const std::size_t n = above.size();
  if (n == 0) return out;
  constexpr std::size_t kWindow = 64;
  const bool haveInner = !out.empty();
  const uint64_t innerCode = haveInner ? out.back().Address - (out.back().Exact ? 0 : 1) : 0;
  auto links = [&](std::size_t outer, uint64_t innerAddress) { return Links(above[outer], innerAddress - 1); };
  std::vector<bool> vouched(n, false);
  for (std::size_t j = 0; j < n; ++j) {
    if (above[j].Direct) continue;
    for (std::size_t k = j + 1; k < n && k <= j + kWindow && !vouched[j]; ++k) vouched[j] = links(k, above[j].Value);
  }
  auto edge = [&](std::size_t to, std::optional<std::size_t> from) {
    if (above[to].Sure || vouched[to]) return true;
    return from ? links(to, above[*from].Value) : Links(above[to], innerCode);
  };
  // reach[j]: length of the best chain that ends with candidate j; 0 unreachable.
  std::vector<std::size_t> reach(n, 0), previous(n, SIZE_MAX);
  for (std::size_t j = 0; j < n; ++j) {
    if (progress && j % 64 == 0) progress(650 + static_cast<int>(j * 350 / n));
    if (!haveInner || edge(j, std::nullopt)) reach[j] = 1;
    for (std::size_t i = j > kWindow ? j - kWindow : 0; i < j; ++i) {
      if (reach[i] == 0 || reach[i] + 1 <= reach[j]) continue;
      if (above[i].Value == above[j].Value) continue;
      if (edge(j, i)) {
        reach[j] = reach[i] + 1;
        previous[j] = i;
      }
    }
  }
  std::size_t best = SIZE_MAX;
  for (std::size_t j = 0; j < n; ++j)
    if (reach[j] > 0 && (best == SIZE_MAX || reach[j] >= reach[best])) best = j;
  std::vector<TCDStackEntry> chain;
  for (std::size_t j = best; j != SIZE_MAX; j = previous[j])
    chain.push_back(TCDStackEntry{above[j].Value, false, above[j].Sure, false});
  out.insert(out.end(), chain.rbegin(), chain.rend());
  return out;
}

void TCDStackTracer::RemoveRecursiveAreas(std::vector<TCDStackEntry>& entries) {
  std::vector<TCDStackEntry> kept;
  kept.reserve(std::min<std::size_t>(entries.size(), 4096));
  for (TCDStackEntry& e : entries)
    CDAppendCollapsing(kept, e, [](const TCDStackEntry& a, const TCDStackEntry& b) {
      return a.Address == b.Address && a.LeftOut == 0 && b.LeftOut == 0;
    });
  entries = std::move(kept);
}

std::vector<TCDStackEntry> TCDStackTracer::Trace(const TCDThreadCapture& c, const TProgress& progress) {
  std::vector<TCDStackCandidate> candidates =
      Step("CollectPossibleStackItems", [&] { return CollectPossibleStackItems(c, progress); });
  Step("RemoveRecursiveStackAreas", [&] { RemoveRecursiveStackAreas(candidates); });
  Step("InDeepChecks", [&] { InDeepChecks(c, candidates, progress); });
  std::vector<TCDStackEntry> entries =
      Step("RealizeOptimalLinkChains", [&] { return RealizeOptimalLinkChains(c, candidates, progress); });
  Step("RemoveRecursiveAreas", [&] { RemoveRecursiveAreas(entries); });
  if (c.CreationSite != 0) entries.push_back(TCDStackEntry{c.CreationSite, false, true, true});
  if (progress) progress(1000);
  return entries;
}
