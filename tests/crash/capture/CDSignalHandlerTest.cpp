#include "crash/capture/CDSignalHandler.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>

namespace {

struct Fault {
  int signal;
  int code;
  uintptr_t address;  // si_addr
  uint64_t err;       // the page-fault error code
  uint64_t sp;
};

TCDSignalFacts Describe(const Fault& f, uintptr_t stackLow = 0, uintptr_t stackHigh = 0) {
  siginfo_t info;
  std::memset(&info, 0, sizeof info);
  info.si_signo = f.signal;
  info.si_code = f.code;
  info.si_addr = reinterpret_cast<void*>(f.address);
  ucontext_t uc;
  std::memset(&uc, 0, sizeof uc);
  uc.uc_mcontext.gregs[REG_RIP] = 0x401234;
  uc.uc_mcontext.gregs[REG_RSP] = static_cast<greg_t>(f.sp);
  uc.uc_mcontext.gregs[REG_ERR] = static_cast<greg_t>(f.err);
  return DescribeSignal(f.signal, &info, &uc, stackLow, stackHigh);
}

std::string Message(const TCDSignalFacts& facts) {
  TCDSafeTextBuffer<256> text;
  FormatSignalMessage(facts, text);
  return std::string(text.View());
}

TEST(SignalFacts, EachSignalBecomesAClassAndAMessageThatSayWhatHappenedAndWhere) {
  const uint64_t sp = 0x7ffc00100000;
  struct Case {
    const char* what;
    Fault fault;
    const char* cls;
    const char* message;
  } cases[] = {
      {"a read of address 0", {SIGSEGV, SEGV_MAPERR, 0, 0x4, sp}, "EAccessViolation",
       "Access violation at address 0000000000401234. Read of address 0000000000000000"},
      {"a write", {SIGSEGV, SEGV_ACCERR, 0x10, 0x6, sp}, "EAccessViolation",
       "Access violation at address 0000000000401234. Write of address 0000000000000010"},
      {"a jump into data", {SIGSEGV, SEGV_ACCERR, 0x601000, 0x15, sp}, "EAccessViolation",
       "Access violation at address 0000000000401234. Execution of address 0000000000601000"},
      {"a push below the stack pointer", {SIGSEGV, SEGV_MAPERR, sp - 8, 0x6, sp}, "EStackOverflow",
       "Stack overflow at address 0000000000401234"},
      {"a general protection fault", {SIGSEGV, SI_KERNEL, 0, 0, sp}, "EAccessViolation",
       "Access violation at address 0000000000401234 (general protection fault)"},
      {"a SIGSEGV sent by kill", {SIGSEGV, SI_USER, 0, 0, sp}, "EAccessViolation",
       "Access violation at address 0000000000401234 (signal sent by a process)"},
      {"integer division", {SIGFPE, FPE_INTDIV, 0, 0, sp}, "EDivByZero", "Division by zero at address 0000000000401234"},
      {"integer overflow", {SIGFPE, FPE_INTOVF, 0, 0, sp}, "EIntOverflow", "Integer overflow at address 0000000000401234"},
      {"an invalid float", {SIGFPE, FPE_FLTINV, 0, 0, sp}, "EInvalidOp",
       "Invalid floating point operation at address 0000000000401234"},
      {"a privileged opcode", {SIGILL, ILL_PRVOPC, 0, 0, sp}, "EPrivilege",
       "Privileged instruction at address 0000000000401234"},
      {"an illegal opcode", {SIGILL, ILL_ILLOPN, 0, 0, sp}, "EExternalException",
       "Illegal instruction at address 0000000000401234"},
      {"abort", {SIGABRT, SI_TKILL, 0, 0, sp}, "EExternalException",
       "Abnormal program termination (abort) at address 0000000000401234"},
      {"a bus error", {SIGBUS, BUS_ADRERR, 0x7f0000001000, 0x4, sp}, "EExternalException",
       "Bus error (misaligned or vanished memory) at address 0000000000401234. Access of address 00007F0000001000"},
      {"a trap", {SIGTRAP, TRAP_BRKPT, 0, 0, sp}, "EExternalException",
       "Breakpoint or trace trap at address 0000000000401234"},
  };
  for (const Case& c : cases) {
    const TCDSignalFacts facts = Describe(c.fault);
    EXPECT_STREQ(SignalClassName(facts), c.cls) << c.what;
    EXPECT_EQ(Message(facts), c.message) << c.what;
    EXPECT_EQ(facts.Address, 0x401234u) << c.what;
    EXPECT_TRUE(facts.Context.Valid) << c.what;
  }
}

TEST(SignalFacts, AFaultJustBelowAKnownStackIsAnOverflowEvenFarFromTheStackPointer) {
  const uintptr_t low = 0x7f0000100000, high = 0x7f0000900000;
  // A frame that moved the stack pointer far down at once and touched the
  // guard page below the stack.
  const TCDSignalFacts deep = Describe({SIGSEGV, SEGV_ACCERR, low - 4096, 0x6, 0x7f0000500000}, low, high);
  EXPECT_TRUE(deep.StackOverflow);
  const TCDSignalFacts stray = Describe({SIGSEGV, SEGV_MAPERR, 0x1000, 0x4, 0x7f0000500000}, low, high);
  EXPECT_FALSE(stray.StackOverflow);
}

TEST(SafeText, NumbersAndPaddingComeOutRightAndAFullBufferStaysTerminated) {
  TCDSafeTextBuffer<64> t;
  t.Dec(INT64_MIN).Add(' ').Dec(7, 3).Add(' ').Hex(0xabc, 6).Add(' ').HexUpper(0xabc);
  EXPECT_EQ(t.View(), "-9223372036854775808 007 000abc ABC");
  t.Clear();
  t.Add("ab\r\ncd").PadTo(5).Add('|');
  EXPECT_EQ(t.View(), "ab\r\ncd   |");
  TCDSafeTextBuffer<8> small;
  small.Add("0123456789").PadTo(40);
  EXPECT_EQ(small.View(), "0123456");
  EXPECT_TRUE(small.Truncated());
  EXPECT_EQ(small.CStr()[small.Size()], '\0');
}

}  // namespace
