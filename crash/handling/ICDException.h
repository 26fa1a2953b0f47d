// What the exception box, the assistants and the delivery see of one handled
// exception: its settings (the module's, with this exception's filter
// applied), the facts shown in the box, its report and its delivery state.
//
// TICDException is the handling's own: made from an exception request on the
// exception-handling thread, it keeps a copy of everything the request
// pointed at, so it outlives the faulting thread's wait. It owns its bug
// report's composition: the report completes on a thread of its own while
// the box shows it, and whoever needs it whole (saving, sending) waits in
// CompleteReport. When it goes, the completion stops and sends still running
// in background forget it.
//
// The handling creates the object for each exception it processes and keeps
// it alive until the handling of that exception has ended. Not for signal
// handlers.
#pragma once

#include <sys/types.h>

#include <atomic>
#include <cstdint>
#include <exception>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "crash/capture/CDContext.h"
#include "crash/capture/CDSignalHandler.h"
#include "crash/capture/CDThrowTrace.h"
#include "crash/delivery/ICDDeliverable.h"
#include "crash/handling/CDRequest.h"
#include "crash/report/CDReport.h"
#include "crash/report/CDReportComposer.h"
#include "crash/report/IProgressAlert.h"
#include "crash/settings/ICDSettings.h"

enum class TCDExceptionType : int32_t { Exception = 0, Freeze = 1, Hidden = 2 };

// Action codes of the box and of the action handlers.
enum class TCDAction : int32_t { Send = 0, Save = 1, Print = 2, Show = 3, Continue = 4, Restart = 5, Close = 6 };

// How the presentation of an exception ends.
enum class TCDEnding : int32_t { Continue = 4, Restart = 5, Close = 6 };

class ICDException : public ICDDeliverable {
 public:
  virtual TCDExceptionType ExceptionType() const = 0;
  // Class name of the exception object; empty when there is none.
  virtual std::string ExceptionClass() const = 0;
  // The message as the box shows it ("%exceptMsg%").
  virtual std::string ExceptionMessage() const = 0;
  virtual bool CanContinue() const = 0;
  // 0 full box, 1 assistant, 2 small box with details, 3 small box.
  virtual int32_t ShowMode() const = 0;

  virtual TCDReport& Report() = 0;
  // Raises the completing thread's priority and waits for the complete
  // report (with the please-wait box where the settings ask for it).
  virtual void CompleteReport() = 0;

  // Calls the program's action handlers; true when one of them took the
  // action over, which cancels the built-in one.
  virtual bool CallActionHandlers(TCDAction action) = 0;

  // Path of the screenshot taken for this exception, empty when none.
  virtual std::string ScreenShotFile() const = 0;

  // Whether a screenshot is wanted for this exception (its filter did not
  // switch it off and ScrShotDepth is above 0).
  virtual bool ScreenShotWanted() const { return Settings().GetScrShotDepth() > 0; }
  // The assistant its filter names for show mode 1; empty when none.
  virtual std::string AssistantName() const { return std::string(); }

  // Where the exception was intercepted (TCDExceptionSource); 0 when not known.
  virtual int32_t ExceptionSource() const { return 0; }

  // The automatic save has run (the box's, while it stood), wherever the
  // report went: nobody saves it again.
  virtual bool AutoSaved() const { return false; }
  virtual void SetAutoSaved() {}
};

// Everything the handling knows of one exception, copied out of its request.
struct TCDExceptionFacts {
  TCDExceptionType Type = TCDExceptionType::Exception;
  TCDExceptionSource Source = TCDExceptionSource::AppHandleException;
  bool CanContinue = true;
  pid_t ThreadId = 0;  // the crashed thread
  uintptr_t Address = 0;
  uintptr_t StackPointer = 0;
  uintptr_t FramePointer = 0;
  std::optional<TCDContext> Context;
  uintptr_t RelatedObject = 0;
  TCDModuleHandle Module = 0;
  std::optional<TCDPreparedStack> PreparedStack;
  // The exception object; for a fatal signal the exception it became.
  std::exception_ptr Error;
  std::optional<TCDSignalFacts> Signal;
  std::string* ReportOut = nullptr;
};

// Reads a request: copies what its pointers point at.
TCDExceptionFacts FactsFromRequest(const TCDExceptionRequest& request);

// The exception object a fatal signal becomes (EAccessViolation,
// EStackOverflow, ...), with the message the signal's facts give.
std::exception_ptr MakeSignalException(const TCDSignalFacts& facts);

// Waits until a report is complete: complete(pump) returns once it is,
// calling pump every 50 ms meanwhile. On the GUI thread its events keep
// flowing; with showBox the please-wait box stands meanwhile (in front when
// the GUI thread itself waits, quietly in a corner otherwise).
void WaitForCompleteReport(IProgressAlert* progress, bool showBox,
                           const std::function<void(const std::function<void()>& pump)>& complete);

class TICDException : public TICDSettings, public ICDException {
 public:
  // Takes the module's settings (as a private copy) and applies the
  // exception filters.
  explicit TICDException(TCDExceptionFacts facts);
  ~TICDException() override;

  const TCDExceptionFacts& Facts() const { return facts_; }
  // The class and its ancestors, as the filters saw them.
  const std::vector<std::string>& ClassNames() const { return classNames_; }
  const TCDExceptionFlags& Flags() const { return flags_; }
  TCDExceptionFlags& Flags() { return flags_; }

  int Phase() const { return phase_.load(); }
  void SetPhase(int phase) { phase_.store(phase); }

  // 1 for the first report of the process, then counting up; 0 until a
  // report is started.
  uint64_t ExceptionNumber() const { return exceptionNumber_; }
  void SetExceptionNumber(uint64_t number) { exceptionNumber_ = number; }

  // The please-wait box shown while someone waits for the complete report;
  // null when there is none. Set it before the report starts.
  void SetProgressAlert(std::unique_ptr<IProgressAlert> alert);
  IProgressAlert* ProgressAlert() const { return progress_.get(); }

  // Starts the bug report: the header at once, the sections completed on a
  // thread of their own when `background`, else before this returns.
  // suspended: the threads paused for this exception. Call once.
  void StartReport(const std::vector<pid_t>& suspended, bool background);

  void SetScreenShotFile(std::string file) { screenShot_ = std::move(file); }

  // What the report and the box need of the exception that the request
  // pointed at: where it was thrown, its return addresses innermost first;
  // empty when its stack was not recorded.
  std::vector<uint64_t> ThrowStack() const;

  // ICDException
  const TICDSettings& Settings() const override { return *this; }
  TICDSettings& Settings() override { return *this; }
  TCDExceptionType ExceptionType() const override { return facts_.Type; }
  std::string ExceptionClass() const override;
  std::string ExceptionMessage() const override;
  bool CanContinue() const override { return facts_.CanContinue; }
  int32_t ShowMode() const override { return flags_.ShowMode; }
  TCDReport& Report() override { return report_; }
  void CompleteReport() override;
  // Completes the report without the please-wait box, waiting at most
  // timeoutMs; true when it is complete.
  bool CompleteReportWithin(int timeoutMs);
  bool CallActionHandlers(TCDAction action) override;
  std::string ScreenShotFile() const override { return screenShot_; }
  bool ScreenShotWanted() const override { return flags_.CreateScreenShot; }
  std::string AssistantName() const override { return flags_.Assistant; }
  bool Sent() const override { return sent_.load(); }
  void SetSent(bool sent) override { sent_.store(sent); }
  bool Saved() const override { return saved_.load(); }
  void SetSaved(bool saved) override { saved_.store(saved); }
  // The automatic save has run: a report it had to keep elsewhere (not
  // "saved" in the configured file) is not kept twice.
  bool AutoSaved() const override { return autoSaved_.load(); }
  void SetAutoSaved() override { autoSaved_.store(true); }
  int32_t ExceptionSource() const override { return static_cast<int32_t>(facts_.Source); }

 protected:
  bool WillCreateScreenShot() const override { return flags_.CreateScreenShot; }

 private:
  TCDExceptionFacts facts_;
  std::vector<std::string> classNames_;
  std::string message_;
  TCDExceptionFlags flags_;
  std::atomic<int> phase_{1};
  uint64_t exceptionNumber_ = 0;
  TCDReport report_;
  std::unique_ptr<IProgressAlert> progress_;
  std::string screenShot_;
  std::atomic<bool> sent_{false};
  std::atomic<bool> saved_{false};
  std::atomic<bool> autoSaved_{false};
  // Completes report_ and drives progress_: declared after them, so that it
  // goes first.
  std::unique_ptr<TCDReportComposer> composer_;
};
