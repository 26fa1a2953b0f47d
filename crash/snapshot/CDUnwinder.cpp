#include "crash/snapshot/CDUnwinder.h"

#define UNW_LOCAL_ONLY
#include <libunwind.h>
#include <ucontext.h>

#include <algorithm>
#include <deque>

namespace {

bool SameFrame(const TCDFrame& a, const TCDFrame& b) { return a.Ip == b.Ip && a.Exact == b.Exact; }

// The frames a walk keeps: recursion collapsed, then the innermost ones up
// to a limit and, past it, a window of the latest ones, counting those that
// fall out of it.
class TFrameKeeper {
 public:
  explicit TFrameKeeper(std::size_t maxFrames)
      : tailMax_(std::max<std::size_t>(maxFrames / 4, 1)), headMax_(maxFrames > tailMax_ ? maxFrames - tailMax_ : 1) {}

  void Add(const TCDFrame& frame) {
    if (tail_.empty() && leftOut_ == 0) {
      CDAppendCollapsing(head_, frame, SameFrame);
      if (head_.size() <= headMax_) return;
      tail_.push_back(head_.back());
      head_.pop_back();
      return;
    }
    CDAppendCollapsing(tail_, frame, SameFrame);
    if (tail_.size() > tailMax_) {
      tail_.pop_front();
      ++leftOut_;
    }
  }

  std::vector<TCDFrame> Take() {
    if (!tail_.empty()) tail_.front().LeftOut = leftOut_;
    head_.insert(head_.end(), tail_.begin(), tail_.end());
    return std::move(head_);
  }

 private:
  std::size_t tailMax_, headMax_;
  std::vector<TCDFrame> head_;
  std::deque<TCDFrame> tail_;
  uint64_t leftOut_ = 0;
};

// Steps that do not raise the stack pointer (frames of one function that
// moved no stack) end the walk after this many in a row: a broken chain
// could otherwise go round without end.
constexpr int kMaxFlatSteps = 64;

ucontext_t ToUcontext(const TCDContext& c) {
  ucontext_t uc{};
  greg_t* g = uc.uc_mcontext.gregs;
  g[REG_RAX] = static_cast<greg_t>(c.Rax);
  g[REG_RBX] = static_cast<greg_t>(c.Rbx);
  g[REG_RCX] = static_cast<greg_t>(c.Rcx);
  g[REG_RDX] = static_cast<greg_t>(c.Rdx);
  g[REG_RSI] = static_cast<greg_t>(c.Rsi);
  g[REG_RDI] = static_cast<greg_t>(c.Rdi);
  g[REG_RBP] = static_cast<greg_t>(c.Rbp);
  g[REG_RSP] = static_cast<greg_t>(c.Rsp);
  g[REG_R8] = static_cast<greg_t>(c.R8);
  g[REG_R9] = static_cast<greg_t>(c.R9);
  g[REG_R10] = static_cast<greg_t>(c.R10);
  g[REG_R11] = static_cast<greg_t>(c.R11);
  g[REG_R12] = static_cast<greg_t>(c.R12);
  g[REG_R13] = static_cast<greg_t>(c.R13);
  g[REG_R14] = static_cast<greg_t>(c.R14);
  g[REG_R15] = static_cast<greg_t>(c.R15);
  g[REG_RIP] = static_cast<greg_t>(c.Rip);
  g[REG_EFL] = static_cast<greg_t>(c.Eflags);
  return uc;
}

}  // namespace

const TCDMapping* OverflowedStack(const TCDAddressSpace& space, uint64_t stackPointer) {
  if (space.IsReadable(stackPointer, 8)) return nullptr;
  for (const TCDMapping& m : space.Mappings())
    if (m.Start > stackPointer && m.Start - stackPointer <= CDOverflowReach && m.Read && m.Write && !m.Exec)
      return &m;
  return nullptr;
}

std::vector<TCDFrame> UnwindFromContext(const TCDContext& context, const TCDAddressSpace& space,
                                        std::size_t maxFrames, bool* outermost) {
  if (outermost != nullptr) *outermost = false;
  const bool overflowed = OverflowedStack(space, context.Rsp) != nullptr;
  if (maxFrames == 0 || !context.Valid || !(overflowed || space.IsReadable(context.Rsp, 8)) ||
      !space.IsCode(context.Rip))
    return {};
  ucontext_t uc = ToUcontext(context);
  unw_cursor_t cursor;
  if (unw_init_local2(&cursor, &uc, UNW_INIT_SIGNAL_FRAME) < 0) return {};
  // The walk ends by itself: every step but a few flat ones raises the
  // stack pointer, which stays inside the stack.
  TFrameKeeper kept(maxFrames);
  bool first = true, signalFrame = false;
  TCDFrame previous;
  int flatSteps = 0;
  for (;;) {
    unw_word_t ip = 0, sp = 0;
    if (unw_get_reg(&cursor, UNW_REG_IP, &ip) < 0 || unw_get_reg(&cursor, UNW_REG_SP, &sp) < 0) break;
    if (ip == 0 || !space.IsCode(ip) || !(space.IsReadable(sp, 8) || (first && overflowed))) break;
    if (!first && !signalFrame && sp < previous.Sp) break;
    if (!first && sp == previous.Sp && (ip == previous.Ip || ++flatSteps > kMaxFlatSteps)) break;
    if (!first && sp != previous.Sp) flatSteps = 0;
    previous = TCDFrame{ip, sp, first || signalFrame};
    kept.Add(previous);
    first = false;
    signalFrame = unw_is_signal_frame(&cursor) > 0;
    const int step = unw_step(&cursor);
    if (step == 0 && outermost != nullptr) *outermost = true;
    if (step <= 0) break;
  }
  return kept.Take();
}
