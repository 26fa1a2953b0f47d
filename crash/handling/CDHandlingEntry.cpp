#include "crash/handling/CDHandlingEntry.h"

#include <fenv.h>
#include <unistd.h>

#include <atomic>
#include <exception>
#include <memory>
#include <mutex>
#include <optional>
#include <typeinfo>
#include <vector>

#include "crash/capture/CDBlockedProbe.h"
#include "crash/capture/CDEvent.h"
#include "crash/capture/CDMemoryReserve.h"
#include "crash/capture/CDRestartBlock.h"
#include "crash/capture/CDSignalHandler.h"
#include "crash/capture/CDThreadHook.h"
#include "crash/capture/CDThreadRegistry.h"
#include "crash/capture/CDThrowTrace.h"
#include "crash/handling/CDBlockedHandling.h"
#include "crash/handling/CDFreezeWatchdog.h"
#include "crash/handling/CDHandlers.h"
#include "crash/handling/CDHandlingThread.h"
#include "crash/handling/CDProcessing.h"
#include "crash/handling/ICDGuiBridge.h"
#include "crash/snapshot/CDStepGuard.h"
#include "crash/handling/CDClassNames.h"
#include "crash/sys/CDModule.h"
#include "runtime/Exception.h"
#include "runtime/ThreadName.h"

namespace {

std::terminate_handler previousTerminate = nullptr;
// How long a fatal signal on the box's thread waits for the shown report to
// be saved.
constexpr int kSaveShownWaitMs = 10000;
bool installed = false;

// A request whose thread does not wait for it: it owns what the request
// points at until the handling thread is done with it.
struct TDetachedRequest {
  TCDEvent Done;
  TCDExceptionObject Object;
  std::optional<TCDContext> Context;
  TCDPreparedStack Stack;
  bool HasStack = false;
};
std::mutex detachedLock;
std::vector<std::unique_ptr<TDetachedRequest>> detached;

// The GUI thread raised while it shows the box of an earlier exception:
// waiting here would keep that box from ever returning, because its loop
// lies below this wait. The request is queued behind the shown one and the
// thread goes on at once; the new box comes up once the first has closed.
void SubmitDetached(TCDExceptionRequest request, const TCDEntryArgs& a, const TCDPreparedStack* stack) {
  auto d = std::make_unique<TDetachedRequest>();
  if (a.Object != nullptr) d->Object.Error = a.Object->Error;
  if (a.Context != nullptr) d->Context = *a.Context;
  if (stack != nullptr) {
    d->Stack = *stack;
    d->HasStack = true;
  }
  request.Event = reinterpret_cast<uintptr_t>(&d->Done);
  request.Object = reinterpret_cast<uintptr_t>(&d->Object);
  request.Context = d->Context ? reinterpret_cast<uintptr_t>(&*d->Context) : 0;
  request.PreparedStack = d->HasStack ? reinterpret_cast<uintptr_t>(&d->Stack) : 0;
  request.ReportOut = 0;
  std::lock_guard<std::mutex> guard(detachedLock);
  std::erase_if(detached, [](const std::unique_ptr<TDetachedRequest>& r) { return r->Done.IsSet(); });
  if (TCDHandlingThread::Submit(request)) detached.push_back(std::move(d));
}

// Asked of the runtime's own type matching, without rethrowing (which would
// allocate, and the allocator may be what the process is blocked on).
bool IsAbort(const TCDExceptionObject* object) {
  if (object == nullptr || !object->Error) return false;
  const std::type_info* type = object->Error.__cxa_exception_type();
  void* address = const_cast<void*>(ExceptionObjectAddress(object->Error));
  return type != nullptr && typeid(EAbort).__do_catch(type, &address, 1);
}

// Threads whose failure the handling itself is waiting on: the handling
// thread, the crash reporter's other threads, and a GUI thread that runs the
// box for the handling.
bool PartOfTheHandling(pid_t threadId) {
  return TCDHandlingThread::IsHandlingThread(threadId) || TCDThreadRegistry::Instance().IsOwn(threadId) ||
         TCDProcessing::IsPresentingThread(threadId);
}

void OnFatalSignal(int signal, siginfo_t* info, ucontext_t* context) {
  // A fault inside a step of a report being made costs that step, not the
  // process: it does not come back when it was one.
  if (signal == SIGSEGV || signal == SIGBUS || signal == SIGILL || signal == SIGFPE)
    CDRecoverGuardedFault(signal, info, context);
  const pid_t self = CurrentThreadId();
  uintptr_t low = 0, high = 0;
  TCDThreadRegistry::Instance().StackOf(self, low, high);
  // Lives on this thread's alternate stack while it waits.
  const TCDSignalFacts facts = DescribeSignal(signal, info, context, low, high);
  const TCDExceptionObject object{nullptr, &facts};
  if (PartOfTheHandling(self) || !TCDHandlingThread::Running()) {
    // The box of an earlier exception stands on this thread: its report,
    // shown to the user already, is saved before this signal ends the
    // process.
    if (TCDProcessing::IsPresentingThread(self)) TCDProcessing::SaveShownReport(kSaveShownWaitMs);
    TCDBlockedInput in;
    in.ThreadId = self;
    in.Address = facts.Address;
    in.Context = &facts.Context;
    in.Object = &object;
    HandleInFaultingThread(in);
  }
  // Counted until the request is handed over (CDHandleException).
  TCDHandlingThread::FatalOnItsWay();
  TCDEntryArgs args;
  args.Object = &object;
  args.Address = facts.Address;
  args.Source = TCDExceptionSource::SystemException;
  args.Context = &facts.Context;
  args.FramePointer = facts.Context.Rbp;
  args.StackPointer = facts.Context.Rsp;
  args.CanContinue = false;
  CDHandleException(args);
}

void HandleError(std::exception_ptr error, TCDExceptionSource source, bool canContinue, uintptr_t related,
                 TCDExceptionType type = TCDExceptionType::Exception) {
  TCDExceptionObject object;
  object.Error = std::move(error);
  TCDEntryArgs args;
  args.Type = type;
  args.Object = &object;
  args.Source = source;
  args.CanContinue = canContinue;
  args.RelatedObject = related;
  // The throwing instruction, when this thread threw it with recording on.
  TCDPreparedStack stack;
  if (FindThrowTrace(ExceptionObjectAddress(object.Error), stack)) args.Address = stack.ThrowAddress;
  CDHandleException(args);
}

void OnThreadException(std::exception_ptr error) {
  HandleError(std::move(error), TCDExceptionSource::ThreadFunction,
              !TCDThreadRegistry::IsMainThread(CurrentThreadId()), 0);
}

std::string RuntimeErrorText() {
  const std::exception_ptr active = std::current_exception();
  if (!active) return std::string();
  std::string text = "terminate called after throwing an instance of '" + ExceptionClassName(active) + "'";
  const std::string message = ExceptionMessage(active);
  if (!message.empty()) text += ": " + message;
  return text;
}

[[noreturn]] void OnTerminate() {
  static std::atomic<bool> entered{false};
  if (entered.exchange(true) || PartOfTheHandling(CurrentThreadId())) {
    // The handling itself ended up here: report what can be reported without it.
    TCDBlockedInput in;
    in.Source = TCDExceptionSource::RuntimeError;
    in.ThreadId = CurrentThreadId();
    HandleInFaultingThread(in);
  }
  HandleRuntimeError(RuntimeErrorText());
  CloseProcess();
}

}  // namespace

void CDHandleException(const TCDEntryArgs& a) {
  const pid_t self = CurrentThreadId();
  // A fatal signal's request counts as on its way until it has been handed
  // over or can no longer be.
  struct THandedOver {
    bool Fatal;
    void Now() {
      if (Fatal) TCDHandlingThread::FatalHandedOver();
      Fatal = false;
    }
    ~THandedOver() { Now(); }
  } handedOver{a.Source == TCDExceptionSource::SystemException};
  // The handling thread never hands an exception to itself: it would wait
  // for its own request for ever.
  if (TCDHandlingThread::IsHandlingThread(self)) return;
  // The memory held back at start-up is given up first, so that a process
  // that ran out of memory still has room to make the report.
  TCDMemoryReserve::Release();
  // EAbort is how the program ends an operation quietly: it gets no box, and
  // the reserve is taken again for the next failure.
  if (a.Source != TCDExceptionSource::SystemException && IsAbort(a.Object)) {
    if (!a.CanContinue) CloseProcess();
    TCDMemoryReserve::Take();
    return;
  }
  // The report's stack analysis starts where the caller stands; a context
  // taken at the exception address (a fatal signal's) tells better.
  uintptr_t sp = a.StackPointer, fp = a.FramePointer;
  if (sp == 0) sp = reinterpret_cast<uintptr_t>(&sp);
  if (fp == 0) fp = reinterpret_cast<uintptr_t>(__builtin_frame_address(0));
  if (a.Context != nullptr && a.Address >= a.Context->Rip && a.Address - a.Context->Rip <= 4) {
    sp = a.Context->Rsp;
    fp = a.Context->Rbp;
  }
  TCDPreparedStack stack;
  const bool prepared = a.Object != nullptr && a.Object->Error &&
                        FindThrowTrace(ExceptionObjectAddress(a.Object->Error), stack);

  TCDExceptionRequest request;
  request.ThreadId = static_cast<uintptr_t>(a.ThreadId != 0 ? a.ThreadId : self);
  request.Type = static_cast<uintptr_t>(a.Type);
  request.Object = reinterpret_cast<uintptr_t>(a.Object);
  request.Address = a.Address;
  request.CanContinue = a.CanContinue ? 1 : 0;
  request.StackPointer = sp;
  request.FramePointer = fp;
  request.Context = reinterpret_cast<uintptr_t>(a.Context);
  request.ReportOut = reinterpret_cast<uintptr_t>(a.ReportOut);
  request.Source = static_cast<uintptr_t>(a.Source);
  request.RelatedObject = a.RelatedObject;
  request.Module = MainModuleHandle();
  request.PreparedStack = prepared ? reinterpret_cast<uintptr_t>(&stack) : 0;

  // The freeze watchdog must not count the handling's wait as a freeze. A
  // thread that shows a box already queues its request instead of waiting,
  // and a blocked process is handled right here, after which it ends.
  TCDFreezeWatchdog::Pause();
  if (TCDProcessing::IsPresentingThread(self) && a.Source != TCDExceptionSource::SystemException) {
    SubmitDetached(request, a, prepared ? &stack : nullptr);
    TCDFreezeWatchdog::Resume();
    TCDMemoryReserve::Take();
    return;
  }
  if (TCDBlockedProbe::ProcessIsBlocked()) {
    TCDBlockedInput in;
    in.Type = static_cast<int32_t>(a.Type);
    in.Source = a.Source;
    in.CanContinue = a.CanContinue;
    in.ThreadId = static_cast<pid_t>(request.ThreadId);
    in.Address = a.Address;
    in.Context = a.Context;
    in.Object = a.Object;
    HandleInFaultingThread(in);
  }
  // The handling (a nested event loop, a handler of the program) may leave
  // the floating-point unit otherwise than this thread had it.
  fenv_t floatingPoint;
  const bool keptFloatingPoint = fegetenv(&floatingPoint) == 0;
  TCDEvent done;
  request.Event = reinterpret_cast<uintptr_t>(&done);
  const bool submitted = TCDHandlingThread::Submit(request);
  handedOver.Now();
  if (submitted) {
    const std::shared_ptr<ICDGuiBridge> bridge = CDGuiBridge();
    // A thread that a fatal signal stopped runs no event loop.
    if (bridge != nullptr && a.Source != TCDExceptionSource::SystemException && bridge->IsGuiThread())
      bridge->WaitDispatching(done);
    else
      done.Wait();
  }
  TCDFreezeWatchdog::Resume();
  // The thread goes on as it was: its floating-point settings restored and
  // the memory reserve taken again for the next failure.
  if (keptFloatingPoint) fesetenv(&floatingPoint);
  TCDMemoryReserve::Take();
}

void HandleApplicationException(std::exception_ptr error, uintptr_t sender) {
  HandleError(std::move(error), TCDExceptionSource::AppHandleException, true, sender);
}

void HandleShownException(std::exception_ptr error) {
  HandleError(std::move(error), TCDExceptionSource::ShowException, true, 0);
}

void HandleHiddenException(std::exception_ptr error) {
  if (!error || !HiddenExceptionHandlersRegistered()) return;
  if (ExceptionMessage(error).empty()) return;
  HandleError(std::move(error), TCDExceptionSource::Hidden, true, 0, TCDExceptionType::Hidden);
}

void HandleRuntimeError(const std::string& text) {
  HandleError(std::make_exception_ptr(Exception(text.empty() ? std::string("Runtime error") : text)),
              TCDExceptionSource::RuntimeError, false, 0);
}

void HandleFreeze() {
  TCDEntryArgs args;
  args.Type = TCDExceptionType::Freeze;
  args.Source = TCDExceptionSource::Freeze;
  args.CanContinue = true;
  args.ThreadId = getpid();  // the main thread
  CDHandleException(args);
}

void InstallInterceptionPoints() {
  if (installed) return;
  installed = true;
  InstallFatalSignalHandlers(OnFatalSignal);
  previousTerminate = std::set_terminate(OnTerminate);
  SetThreadExceptionHook(OnThreadException);
  SetShowExceptionHook([](std::exception_ptr error) { HandleShownException(std::move(error)); });
  EnableThrowTrace(true);
  EnableThreadHook(true);
}

void RemoveInterceptionPoints() {
  if (!installed) return;
  installed = false;
  EnableThreadHook(false);
  EnableThrowTrace(false);
  SetShowExceptionHook(nullptr);
  SetThreadExceptionHook(nullptr);
  std::set_terminate(previousTerminate);
  RemoveFatalSignalHandlers();
}
