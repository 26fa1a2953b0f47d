#include "crash/handling/ICDException.h"

#include <cstring>

#include "crash/capture/CDSafeText.h"
#include "crash/handling/CDHandlers.h"
#include "crash/handling/ICDGuiBridge.h"
#include "crash/sys/CDClassNames.h"
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
  // The completing thread may still be at work on the report; it must stop.
  report_.Abort();
  if (OnDestroy) OnDestroy();
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

void WaitForCompleteReport(TCDReport& report, IProgressAlert* progress, bool showBox) {
  if (report.Complete()) return;
  const std::shared_ptr<ICDGuiBridge> bridge = CDGuiBridge();
  const bool onGui = bridge != nullptr && bridge->IsGuiThread();
  showBox = showBox && progress != nullptr;
  // Someone who asked (a button of the box) sees the box in front of them;
  // a wait of the handling itself shows it quietly in a corner.
  if (showBox) progress->Show(onGui);
  while (!report.WaitComplete(50))
    if (onGui) bridge->ProcessEvents();
  if (showBox) progress->Close();
}

void TICDException::CompleteReport() {
  if (report_.Complete()) return;
  if (OnCompletionWanted) OnCompletionWanted();
  WaitForCompleteReport(report_, progress_.get(), GetPlWaitBox());
}

bool TICDException::CallActionHandlers(TCDAction action) { return CallActionHandlersFor(*this, action); }
