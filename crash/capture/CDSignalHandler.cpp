#include "crash/capture/CDSignalHandler.h"

#include <unistd.h>

#include <atomic>
#include <cerrno>

#include "crash/capture/CDProcessStart.h"

namespace {

std::atomic<TCDFatalSignalHook> fatalHook{nullptr};
struct sigaction previous[std::size(CDFatalSignals)];
bool installed = false;

// How far below the stack pointer a push or a new frame touches: a fault
// this close to the stack pointer, below or just above it, is the stack
// running out rather than a stray pointer.
constexpr uintptr_t kFrameReach = 64 * 1024;

void OnFatalSignal(int signal, siginfo_t* info, void* context) {
  const int savedErrno = errno;
  if (TCDFatalSignalHook hook = fatalHook.load()) hook(signal, info, static_cast<ucontext_t*>(context));
  errno = savedErrno;
  DieOfSignal(signal);
}

}  // namespace

TCDSignalFacts DescribeSignal(int signal, const siginfo_t* info, const ucontext_t* context, uintptr_t stackLow,
                              uintptr_t stackHigh) {
  TCDSignalFacts f;
  f.Signal = signal;
  if (info != nullptr) {
    f.Code = info->si_code;
    f.SentByProcess = info->si_code <= 0;  // SI_USER, SI_TKILL, SI_QUEUE, ...
  }
  if (context != nullptr) {
    f.Context = ContextFromUcontext(*context);
    f.Address = f.Context.Rip;
  }
  if ((signal == SIGSEGV || signal == SIGBUS) && info != nullptr && !f.SentByProcess) {
    f.DataAddress = reinterpret_cast<uintptr_t>(info->si_addr);
    if (context != nullptr) {
      // The page-fault error code: bit 1 a write, bit 4 an instruction fetch.
      const auto err = static_cast<uint64_t>(context->uc_mcontext.gregs[REG_ERR]);
      f.Access = (err & 0x10) ? TCDAccess::Execute : (err & 0x2) ? TCDAccess::Write : TCDAccess::Read;
    }
  }
  if (signal == SIGSEGV && context != nullptr && info != nullptr && !f.SentByProcess && info->si_code != SI_KERNEL) {
    const uintptr_t sp = f.Context.Rsp;
    const uintptr_t a = f.DataAddress;
    const bool nearSp = a + kFrameReach >= sp && a <= sp + 256;
    const bool belowStack = stackHigh > stackLow && a < stackLow && a + kFrameReach >= stackLow;
    f.StackOverflow = nearSp || belowStack;
  }
  return f;
}

const char* SignalClassName(const TCDSignalFacts& f) {
  switch (f.Signal) {
    case SIGSEGV:
      return f.StackOverflow ? "EStackOverflow" : "EAccessViolation";
    case SIGFPE:
      switch (f.Code) {
        case FPE_INTDIV: return "EDivByZero";
        case FPE_INTOVF: return "EIntOverflow";
        case FPE_FLTDIV: return "EZeroDivide";
        case FPE_FLTOVF: return "EOverflow";
        case FPE_FLTUND: return "EUnderflow";
        case FPE_FLTRES:
        case FPE_FLTINV:
        case FPE_FLTSUB: return "EInvalidOp";
        default: return "EExternalException";
      }
    case SIGILL:
      return (f.Code == ILL_PRVOPC || f.Code == ILL_PRVREG) ? "EPrivilege" : "EExternalException";
    default:
      return "EExternalException";
  }
}

void FormatSignalMessage(const TCDSignalFacts& f, TCDSafeText& t) {
  const auto at = [&] { t.Add(" at address ").HexUpper(f.Address, 16); };
  switch (f.Signal) {
    case SIGSEGV:
      if (f.StackOverflow) {
        t.Add("Stack overflow");
        at();
        return;
      }
      t.Add("Access violation");
      at();
      if (f.SentByProcess) {
        t.Add(" (signal sent by a process)");
      } else if (f.Code == SI_KERNEL) {
        t.Add(" (general protection fault)");
      } else {
        t.Add(f.Access == TCDAccess::Write ? ". Write of address "
              : f.Access == TCDAccess::Execute ? ". Execution of address "
                                                : ". Read of address ");
        t.HexUpper(f.DataAddress, 16);
      }
      return;
    case SIGBUS:
      t.Add("Bus error (misaligned or vanished memory)");
      at();
      if (!f.SentByProcess) t.Add(". Access of address ").HexUpper(f.DataAddress, 16);
      return;
    case SIGFPE:
      switch (f.Code) {
        case FPE_INTDIV: t.Add("Division by zero"); break;
        case FPE_INTOVF: t.Add("Integer overflow"); break;
        case FPE_FLTDIV: t.Add("Floating point division by zero"); break;
        case FPE_FLTOVF: t.Add("Floating point overflow"); break;
        case FPE_FLTUND: t.Add("Floating point underflow"); break;
        case FPE_FLTRES:
        case FPE_FLTINV:
        case FPE_FLTSUB: t.Add("Invalid floating point operation"); break;
        default: t.Add("Arithmetic exception"); break;
      }
      at();
      return;
    case SIGILL:
      t.Add((f.Code == ILL_PRVOPC || f.Code == ILL_PRVREG) ? "Privileged instruction" : "Illegal instruction");
      at();
      return;
    case SIGABRT:
      t.Add("Abnormal program termination (abort)");
      at();
      return;
    case SIGTRAP:
      t.Add("Breakpoint or trace trap");
      at();
      return;
    default:
      t.Add("Signal ").Dec(f.Signal);
      at();
      return;
  }
}

void InstallFatalSignalHandlers(TCDFatalSignalHook hook) {
  fatalHook.store(hook);
  if (installed) return;
  struct sigaction action {};
  action.sa_sigaction = OnFatalSignal;
  action.sa_flags = SA_SIGINFO | SA_ONSTACK;
  sigemptyset(&action.sa_mask);
  for (int s : CDFatalSignals) sigaddset(&action.sa_mask, s);
  for (std::size_t i = 0; i < std::size(CDFatalSignals); ++i) {
    sigaction(CDFatalSignals[i], &action, &previous[i]);
    NoteTakenSignal(CDFatalSignals[i]);
  }
  installed = true;
}

void RemoveFatalSignalHandlers() {
  if (!installed) return;
  for (std::size_t i = 0; i < std::size(CDFatalSignals); ++i) {
    sigaction(CDFatalSignals[i], &previous[i], nullptr);
    NoteReturnedSignal(CDFatalSignals[i]);
  }
  installed = false;
  fatalHook.store(nullptr);
}

void DieOfSignal(int signal) {
  struct sigaction dfl {};
  dfl.sa_handler = SIG_DFL;
  sigemptyset(&dfl.sa_mask);
  sigaction(signal, &dfl, nullptr);
  sigset_t set;
  sigemptyset(&set);
  sigaddset(&set, signal);
  pthread_sigmask(SIG_UNBLOCK, &set, nullptr);
  raise(signal);
  // A signal whose default is to be ignored, or one that could not be raised.
  _exit(128 + signal);
}
