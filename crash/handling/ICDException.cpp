#include "crash/handling/ICDException.h"

#include <unistd.h>

#include <cstring>

#include "crash/capture/CDSafeText.h"
#include "crash/delivery/CDSendReport.h"
#include "crash/handling/CDHandlers.h"
#include "crash/snapshot/CDThreadContextSource.h"
#include "crash/snapshot/CDThreadRegistryView.h"
#include "crash/handling/ICDGuiBridge.h"
#include "crash/handling/CDClassNames.h"
#include "runtime/ExternalException.h"

TCDExceptionFacts FactsFromRequest(const TCDExceptionRequest& r) {
  TCDExceptionFacts f;
  f.Type = static_cast<TCDExceptionType>(r.Type);
  f.Source = static_cast<TCDExceptionSource>(r.Source);
  f.CanContinue = r.CanContinue != 0;
  f.ThreadId = static_cast<pid_t>(r.ThreadId);
  f.Address = r.Address;
  f.StackPointer = r.StackPointer;
  f.FramePointer = r.FramePointer;
  if (r.Context != 0) f.Context = *reinterpret_cast<const TCDContext*>(r.Context);
  f.RelatedObject = r.RelatedObject;
  f.Module = r.Module;
  if (r.PreparedStack != 0) f.PreparedStack = *reinterpret_cast<const TCDPreparedStack*>(r.PreparedStack);
  if (r.Object != 0) {
    const auto* object = reinterpret_cast<const TCDExceptionObject*>(r.Object);
    f.Error = object->Error;
    if (object->Signal != nullptr) {
      f.Signal = *object->Signal;
      if (!f.Error) f.Error = MakeSignalException(*f.Signal);
    }
  }
  f.ReportOut = reinterpret_cast<std::string*>(r.ReportOut);
  return f;
}

namespace {
template <typename E>
std::exception_ptr MakeExternal(const std::string& message, const TCDSignalFacts& f) {
  return std::make_exception_ptr(E(message, f.Signal, f.Code, f.Address, f.DataAddress));
}

struct TExternalClass {
  std::string_view Name;
  std::exception_ptr (*Make)(const std::string&, const TCDSignalFacts&);
};
constexpr TExternalClass kExternalClasses[] = {
    {"EAccessViolation", MakeExternal<EAccessViolation>}, {"EStackOverflow", MakeExternal<EStackOverflow>},
    {"EDivByZero", MakeExternal<EDivByZero>},             {"EIntOverflow", MakeExternal<EIntOverflow>},
    {"EZeroDivide", MakeExternal<EZeroDivide>},           {"EOverflow", MakeExternal<EOverflow>},
    {"EUnderflow", MakeExternal<EUnderflow>},             {"EInvalidOp", MakeExternal<EInvalidOp>},
    {"EPrivilege", MakeExternal<EPrivilege>},
};
}  // namespace

std::exception_ptr MakeSignalException(const TCDSignalFacts& facts) {
  TCDSafeTextBuffer<256> text;
  FormatSignalMessage(facts, text);
  const std::string message(text.View());
  const std::string_view name = SignalClassName(facts);
  for (const TExternalClass& c : kExternalClasses)
    if (c.Name == name) return c.Make(message, facts);
  return MakeExternal<EExternalException>(message, facts);
}

TICDException::TICDException(TCDExceptionFacts facts)
    : TICDSettings(facts.Module != 0 ? facts.Module : MainModuleHandle()), facts_(std::move(facts)) {
  // Whatever the handlers or the box change is this exception's own.
  MakeOwnCopy();
  classNames_ = ExceptionClassNames(facts_.Error);
  message_ = ::ExceptionMessage(facts_.Error);
  flags_ = EvaluateExceptionFilters(classNames_);
}

TICDException::~TICDException() {
  // A send still running in background must not mark a gone exception.
  ForgetSendsOf(*this);
  // The completing thread may still be at work on the report; it stops
  // after its current step, and is done with the report once it is gone.
  report_.Abort();
  composer_.reset();
  if (progress_) progress_->Close();
}

void TICDException::SetProgressAlert(std::unique_ptr<IProgressAlert> alert) { progress_ = std::move(alert); }

std::string TICDException::ExceptionClass() const {
  return classNames_.empty() ? std::string() : classNames_.front();
}

std::string TICDException::ExceptionMessage() const {
  if (facts_.Type == TCDExceptionType::Freeze) return GetFrozenMsg();
  return message_;
}

void WaitForCompleteReport(IProgressAlert* progress, bool showBox,
                           const std::function<void(const std::function<void()>& pump)>& complete) {
  const std::shared_ptr<ICDGuiBridge> bridge = CDGuiBridge();
  const bool onGui = bridge != nullptr && bridge->IsGuiThread();
  showBox = showBox && progress != nullptr;
  // Someone who asked (a button of the box) sees the box in front of them;
  // a wait of the handling itself shows it quietly in a corner.
  if (showBox) progress->Show(onGui);
  complete([&] {
    if (onGui) bridge->ProcessEvents();
  });
  if (showBox) progress->Close();
}

std::vector<uint64_t> TICDException::ThrowStack() const {
  std::vector<uint64_t> frames;
  if (!facts_.PreparedStack) return frames;
  const TCDPreparedStack& s = *facts_.PreparedStack;
  for (uint32_t i = 0; i < s.Count && i < CDMaxPreparedFrames; ++i) frames.push_back(s.Frames[i]);
  return frames;
}

void TICDException::StartReport(const std::vector<pid_t>& suspended, bool background) {
  if (composer_) return;
  TCDReportInput in;
  in.FromSettings(*this);
  in.Freeze = facts_.Type == TCDExceptionType::Freeze;
  in.ExceptionClass = ExceptionClass();
  in.ExceptionMessage = message_;
  in.ExceptionAddress = facts_.Address;
  if (facts_.Context) in.Context = *facts_.Context;
  in.StackPointer = facts_.StackPointer;
  in.FramePointer = facts_.FramePointer;
  in.CrashedThreadId = facts_.ThreadId;
  in.MainThreadId = getpid();
  in.ExceptionNumber = exceptionNumber_;
  in.ThrowStack = ThrowStack();
  in.Threads = std::make_shared<TCDThreadRegistryView>(suspended);
  in.Contexts = std::make_shared<TCDThreadContextSource>();
  in.ProgressAlert = progress_.get();
  composer_ = StartBugReport(report_, std::move(in), background);
}

void TICDException::CompleteReport() {
  if (!composer_) {
    // No report was started: there is nothing that could complete it.
    report_.MarkComplete();
    return;
  }
  if (report_.Complete()) {
    // Only its completion callbacks may still be running: no box for that.
    composer_->CompleteNow({}, -1);
    return;
  }
  WaitForCompleteReport(progress_.get(), GetPlWaitBox(),
                        [this](const std::function<void()>& pump) { composer_->CompleteNow(pump, -1); });
}

bool TICDException::CompleteReportWithin(int timeoutMs) {
  if (!composer_) {
    report_.MarkComplete();
    return true;
  }
  return composer_->CompleteNow({}, timeoutMs);
}

bool TICDException::CallActionHandlers(TCDAction action) { return CallActionHandlersFor(*this, action); }
