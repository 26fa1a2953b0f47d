#include "crash/snapshot/CDUnwinder.h"

#define UNW_LOCAL_ONLY
#include <libunwind.h>
#include <ucontext.h>

namespace {

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
  std::vector<TCDFrame> frames;
  if (outermost != nullptr) *outermost = false;
  const bool overflowed = OverflowedStack(space, context.Rsp) != nullptr;
  if (!context.Valid || !(overflowed || space.IsReadable(context.Rsp, 8)) || !space.IsCode(context.Rip))
    return frames;
  ucontext_t uc = ToUcontext(context);
  unw_cursor_t cursor;
  if (unw_init_local2(&cursor, &uc, UNW_INIT_SIGNAL_FRAME) < 0) return frames;
  bool signalFrame = false;
  while (frames.size() < maxFrames) {
    unw_word_t ip = 0, sp = 0;
    if (unw_get_reg(&cursor, UNW_REG_IP, &ip) < 0 || unw_get_reg(&cursor, UNW_REG_SP, &sp) < 0) break;
    if (ip == 0 || !space.IsCode(ip) || !(space.IsReadable(sp, 8) || (frames.empty() && overflowed))) break;
    if (!frames.empty() && !signalFrame && sp < frames.back().Sp) break;
    if (!frames.empty() && sp == frames.back().Sp && ip == frames.back().Ip) break;
    frames.push_back(TCDFrame{ip, sp, frames.empty() || signalFrame});
    signalFrame = unw_is_signal_frame(&cursor) > 0;
    const int step = unw_step(&cursor);
    if (step == 0 && outermost != nullptr) *outermost = true;
    if (step <= 0) break;
  }
  return frames;
}
