// A thread's processor context as the crash reporter keeps it: the x86-64
// general registers, the instruction pointer and the flags, copied out of a
// signal frame (or taken of the calling thread) so that it outlives the frame.
//
// Everything here is safe in a signal handler: plain copies, no allocation,
// no locks.
#pragma once

#include <ucontext.h>

#include <cstdint>

struct TCDContext {
  uint64_t Rax = 0, Rbx = 0, Rcx = 0, Rdx = 0, Rsi = 0, Rdi = 0, Rbp = 0, Rsp = 0;
  uint64_t R8 = 0, R9 = 0, R10 = 0, R11 = 0, R12 = 0, R13 = 0, R14 = 0, R15 = 0;
  uint64_t Rip = 0, Eflags = 0;
  bool Valid = false;
};

// Signal-safe.
inline TCDContext ContextFromUcontext(const ucontext_t& uc) {
  const greg_t* g = uc.uc_mcontext.gregs;
  TCDContext c;
  c.Rax = static_cast<uint64_t>(g[REG_RAX]);
  c.Rbx = static_cast<uint64_t>(g[REG_RBX]);
  c.Rcx = static_cast<uint64_t>(g[REG_RCX]);
  c.Rdx = static_cast<uint64_t>(g[REG_RDX]);
  c.Rsi = static_cast<uint64_t>(g[REG_RSI]);
  c.Rdi = static_cast<uint64_t>(g[REG_RDI]);
  c.Rbp = static_cast<uint64_t>(g[REG_RBP]);
  c.Rsp = static_cast<uint64_t>(g[REG_RSP]);
  c.R8 = static_cast<uint64_t>(g[REG_R8]);
  c.R9 = static_cast<uint64_t>(g[REG_R9]);
  c.R10 = static_cast<uint64_t>(g[REG_R10]);
  c.R11 = static_cast<uint64_t>(g[REG_R11]);
  c.R12 = static_cast<uint64_t>(g[REG_R12]);
  c.R13 = static_cast<uint64_t>(g[REG_R13]);
  c.R14 = static_cast<uint64_t>(g[REG_R14]);
  c.R15 = static_cast<uint64_t>(g[REG_R15]);
  c.Rip = static_cast<uint64_t>(g[REG_RIP]);
  c.Eflags = static_cast<uint64_t>(g[REG_EFL]);
  c.Valid = true;
  return c;
}
