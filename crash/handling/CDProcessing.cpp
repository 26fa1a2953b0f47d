#include "crash/handling/CDProcessing.h"

#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "crash/capture/CDEvent.h"
#include "crash/capture/CDRestartBlock.h"
#include "crash/capture/CDSafeText.h"
#include "crash/capture/CDThreadRegistry.h"
#include "crash/capture/CDThreadStopper.h"
#include "crash/delivery/CDBugRepFile.h"
#include "crash/delivery/CDSendReport.h"
#include "crash/delivery/CDTempFolder.h"
#include "crash/handling/CDBlockedHandling.h"
#include "crash/handling/CDConsoleReport.h"
#include "crash/handling/CDEndDecision.h"
#include "crash/handling/CDFreezeWatchdog.h"
#include "crash/handling/CDHandlers.h"
#include "crash/handling/CDHandlingThread.h"
#include "crash/handling/CDPresenter.h"
#include "crash/handling/ICDGuiBridge.h"
#include "crash/handling/ICDHelperLink.h"
#include "crash/settings/CDExceptionTimes.h"
#include "crash/settings/CDTextVars.h"
#include "crash/sys/CDProcessList.h"
#include "runtime/SysUtils.h"
#include "runtime/ThreadName.h"

namespace {

std::atomic<pid_t> presentingThread{0};
// The exception whose box the GUI thread shows now, and the request of a
// fatal signal on that thread to save its report.
std::atomic<TICDException*> shownException{nullptr};
TCDEvent saveShownAsked, saveShownDone;
constexpr int kSaveShownCompleteMs = 5000;

std::string AutoSave(TICDException& e, bool unshown = false);
void TellWhereItWent(const std::string& note);

// On the handling thread, while it waits for the GUI thread: saves the shown
// exception's report when a fatal signal there asked for it.
void ServeSaveShown() {
  if (!saveShownAsked.IsSet() || saveShownDone.IsSet()) return;
  if (TICDException* e = shownException.load()) {
    try {
      e->CompleteReportWithin(kSaveShownCompleteMs);
      TellWhereItWent(AutoSave(*e));
    } catch (...) {
      // What could not be saved is lost with the process.
    }
  }
  saveShownDone.Set();
}

// Threads of the toolkit and the desktop libraries that the box and the
// program's windows need, as the GUI bridge names them; pausing them would
// freeze the box.
bool ToolkitThread(pid_t threadId, const std::vector<std::string>& prefixes) {
  if (prefixes.empty()) return false;
  char path[64];
  std::snprintf(path, sizeof path, "/proc/self/task/%d/comm", static_cast<int>(threadId));
  char name[32] = {};
  const int fd = ::open(path, O_RDONLY | O_CLOEXEC);
  if (fd < 0) return false;
  const ssize_t n = ::read(fd, name, sizeof name - 1);
  ::close(fd);
  if (n <= 0) return false;
  for (const std::string& prefix : prefixes)
    if (StartsText(prefix, name)) return true;
  return false;
}

// The program's threads stopped for the time of the handling; resumed when
// this goes, whichever way the processing ends.
class TPausedThreads {
 public:
  ~TPausedThreads() { ResumeAll(); }
  void PauseAllBut(const std::vector<pid_t>& keep, const std::vector<std::string>& toolkitPrefixes) {
    std::vector<TCDThreadInfo> threads;
    if (!TCDThreadRegistry::Instance().Snapshot(threads)) return;
    for (const TCDThreadInfo& t : threads) {
      if (t.Own || std::find(keep.begin(), keep.end(), t.ThreadId) != keep.end()) continue;
      if (ToolkitThread(t.ThreadId, toolkitPrefixes)) continue;
      if (TCDThreadStopper::Stop(t.ThreadId)) stopped_.push_back(t.ThreadId);
    }
  }
  void ResumeAll() {
    for (pid_t id : stopped_) TCDThreadStopper::Release(id);
    stopped_.clear();
  }
  const std::vector<pid_t>& Ids() const { return stopped_; }

 private:
  std::vector<pid_t> stopped_;
};

bool FatalOrFrozen(const TICDException& e) {
  return e.Facts().Signal.has_value() || e.ExceptionType() == TCDExceptionType::Freeze;
}

// Runs job on the GUI thread: from its event loop, or from the nested loop
// in which it waits for its own request. Nothing when the GUI thread has not
// taken the job within the time allowed; the job then does nothing when it
// comes up later. While it runs, its thread counts as presenting.
template <typename T>
std::optional<T> RunOnGuiThread(ICDGuiBridge& bridge, std::function<T()> job) {
  struct TJob {
    std::atomic<int> State{0};  // 0 waiting, 1 taken, 2 given up
    TCDEvent Taken, Done;
    std::optional<T> Result;
  };
  auto shared = std::make_shared<TJob>();
  bridge.Post([shared, job = std::move(job)] {
    int waiting = 0;
    if (!shared->State.compare_exchange_strong(waiting, 1)) return;
    shared->Taken.Set();
    presentingThread.store(CurrentThreadId());
    try {
      shared->Result = job();
    } catch (...) {
      // No result: the caller decides as if nobody had taken the job.
    }
    presentingThread.store(0);
    shared->Done.Set();
  });
  if (!shared->Taken.Wait(TCDProcessing::kGuiAnswerMs)) {
    int waiting = 0;
    if (shared->State.compare_exchange_strong(waiting, 2)) return std::nullopt;
  }
  while (!shared->Done.Wait(50)) ServeSaveShown();
  return shared->Result;
}

// Shows the exception on the GUI thread; nothing when it did not answer in
// time.
std::optional<TCDEnding> PresentOnGuiThread(TICDException& e, int showMode, ICDGuiBridge& bridge) {
  shownException.store(&e);
  struct TShown {
    ~TShown() { shownException.store(nullptr); }
  } shown;
  std::optional<std::optional<TCDEnding>> ending =
      RunOnGuiThread<std::optional<TCDEnding>>(bridge, [&e, showMode]() -> std::optional<TCDEnding> {
        try {
          return CDPresent(e, showMode);
        } catch (...) {
          return e.CanContinue() ? TCDEnding::Continue : TCDEnding::Close;
        }
      });
  if (!ending) return std::nullopt;
  return *ending;
}

// A console or service process: the message and, when the settings want the
// report shown, the complete report on the console; the report also goes to
// the caller's report text when it asked for one. The report is saved first:
// the console may have gone.
void PresentOnConsole(TICDException& e) {
  e.CompleteReport();
  const std::string saveNote = AutoSave(e);
  const std::string report = e.Report().Text();
  if (e.Facts().ReportOut != nullptr) *e.Facts().ReportOut = report;
  std::string message = e.ExceptionType() == TCDExceptionType::Freeze ? e.GetFrozenMsg() : e.GetExceptMsg();
  message = ExpandExceptionVars(message, e.ExceptionMessage(), report);
  if (!saveNote.empty()) message += "\n" + saveNote;
  const bool withReport = (e.GetAutoShowBugRep() || e.GetShowBtnVis()) && e.Flags().CreateBugReport;
  WriteConsoleReport(message, withReport ? report : std::string());
}

// Where the exception is shown, and what the user chose there.
std::optional<TCDEnding> Present(TICDException& e, const std::shared_ptr<ICDGuiBridge>& bridge) {
  const int showMode = e.ShowMode();
  if (bridge != nullptr && !FatalOrFrozen(e))
    if (std::optional<TCDEnding> ending = PresentOnGuiThread(e, showMode, *bridge)) return ending;
  // A fatal signal or a freeze, or a GUI thread that does not answer.
  if (ICDHelperLink* helper = CDHelperLink(); helper != nullptr && helper->Available()) {
    const TCDHelperOutcome outcome = helper->Present(e, showMode);
    if (outcome.Answered) {
      if (outcome.Answer.Sent) e.SetSent(true);
      if (outcome.Answer.Saved) e.SetSaved(true);
      return static_cast<TCDEnding>(outcome.Answer.Ending);
    }
  }
  if (bridge == nullptr) {
    PresentOnConsole(e);
    return std::nullopt;
  }
  // Nobody could show the box: the exception ends as Esc would have ended it.
  return e.CanContinue() ? TCDEnding::Continue : TCDEnding::Close;
}

// Appends the complete report to the bug-report file, unless the box saved
// it there already (a second save would count it as a second failure). A
// file that cannot take it does not lose it (SaveBugReportKeeping); the
// returned note says where it went then, and is empty otherwise. Unshown,
// the report of a failure that no box will ever show, is saved even where
// saving is left to the user: the user never had the chance, and the note
// then says where it went in any case.
std::string AutoSave(TICDException& e, bool unshown) {
  const bool unasked = unshown && !e.GetAutoSave();
  if (!e.Flags().CreateBugReport || !(e.GetAutoSave() || unasked)) return std::string();
  if ((e.GetAutoSaveIfNotSent() && e.Sent()) || e.Saved() || e.AutoSaved()) return std::string();
  if (e.CallActionHandlers(TCDAction::Save)) return std::string();
  e.CompleteReport();
  e.SetAutoSaved();
  const TCDSaveOutcome outcome = AutoSaveBugReport(e, e.Report().Text());
  if (unasked && !outcome.Elsewhere)
    return "The bug report of a further failure, which no box showed, was saved to " + outcome.Path + ".";
  return SaveOutcomeText(outcome);
}

// The console hears where a report went that did not go where it should.
void TellWhereItWent(const std::string& note) {
  if (note.empty()) return;
  const std::string line = ExtractFileName(ApplicationExeName()) + ": " + note + "\n";
  CDWriteAll(STDERR_FILENO, line.data(), line.size());
}

void Finish(TICDException& e, TPausedThreads& paused) {
  TellWhereItWent(AutoSave(e));
  paused.ResumeAll();
  TCDFreezeWatchdog::ResetCounter();
}

// The screenshot of the program as the exception found it, taken on the GUI
// thread before the box covers anything.
void TakeScreenShot(TICDException& e, ICDGuiBridge& bridge) {
  const int depth = e.GetScrShotDepth();
  const bool appOnly = e.GetScrShotAppOnly();
  const std::string folder = CDTempFolder() + "/";
  std::optional<std::string> file =
      RunOnGuiThread<std::string>(bridge, [&] { return bridge.TakeScreenShot(depth, appOnly, folder); });
  if (file) e.SetScreenShotFile(*file);
}

// The signals that end a thread in our handler.
constexpr uint64_t Bit(int signal) { return uint64_t{1} << (signal - 1); }
constexpr uint64_t kFatalSignals = Bit(SIGSEGV) | Bit(SIGBUS) | Bit(SIGFPE) | Bit(SIGILL) | Bit(SIGABRT) | Bit(SIGTRAP);
// How long the end of the process waits for failures still on their way.
constexpr int kWaitForFailuresMs = 5000;

// A failure that waited behind the one just handled, in a process that ends
// now: its report is made and saved without a box, whatever the settings
// say of saving (nobody will be asked).
void SaveWithoutBox(const TCDExceptionRequest& request) {
  try {
    auto e = std::make_unique<TICDException>(FactsFromRequest(request));
    if (e->ExceptionType() == TCDExceptionType::Hidden) return;
    ProcessExceptionTimes().Record(CDSecondsNow());
    if (!e->Flags().CreateBugReport) return;
    e->SetExceptionNumber(NextExceptionNumber());
    e->StartReport({}, true);
    e->CompleteReportWithin(kSaveShownCompleteMs);
    TellWhereItWent(AutoSave(*e, true));
  } catch (...) {
    // The next one is still saved.
  }
}

// Before the process ends: every failure of another thread that waits for
// the handling, or is on its way to it (a fatal signal in its handler, or
// pending for a thread that the handling had paused and has just let go),
// is saved first. Their threads stay where they wait until the end.
void SaveWaitingFailures() {
  const int64_t deadline = CDMonotonicMs() + kWaitForFailuresMs;
  // Nothing waiting, nothing on its way, three looks in a row: the
  // signal a released thread is about to take shows in one of them.
  for (int quiet = 0; quiet < 3;) {
    TCDExceptionRequest waiting;
    if (TCDHandlingThread::TakeWaiting(waiting)) {
      SaveWithoutBox(waiting);
      quiet = 0;
      continue;
    }
    const bool coming = TCDHandlingThread::FatalSignalsOnTheirWay() > 0 || (PendingSignalsOfThisProcess() & kFatalSignals) != 0;
    if (coming && CDMonotonicMs() >= deadline) return;
    quiet = coming ? 0 : quiet + 1;
    CDSleepMs(10);
  }
}

void Process(const TCDExceptionRequest& request) {
  ClearCDTempFolder();
  auto e = std::make_unique<TICDException>(FactsFromRequest(request));
  const std::shared_ptr<ICDGuiBridge> bridge = CDGuiBridge();
  // A process that a fatal signal may have corrupted gets no window of ours.
  if (bridge != nullptr && e->GetPlWaitBox() && !FatalOrFrozen(*e))
    e->SetProgressAlert(bridge->CreateProgressAlert(e->GetPlWaitTitle()));
  TPausedThreads paused;

  // Phase 1, before anything is shown or paused: a hidden exception goes only
  // to its own handlers; any other is counted among the process's exception
  // times and offered to the program's handlers.
  if (e->ExceptionType() == TCDExceptionType::Hidden) {
    CallHiddenExceptionHandlers(*e, 1);
    return;
  }
  ProcessExceptionTimes().Record(CDSecondsNow());
  const bool callHandlers = e->Flags().CallHandlers;
  bool handled = callHandlers && CallExceptionHandlers(*e, 1);

  // Phase 2, the report: the program's other threads are paused where the
  // filter asks for it, the screenshot is taken before a box covers
  // anything, the report is started on a thread of its own, and the
  // handlers hear of the exception again.
  e->SetPhase(2);
  if (e->Flags().PauseThreads && e->ExceptionType() != TCDExceptionType::Freeze) {
    std::vector<pid_t> keep{e->Facts().ThreadId, CurrentThreadId()};
    // The box shows on the GUI thread unless the signal rules it out.
    if (bridge != nullptr && !FatalOrFrozen(*e)) keep.push_back(getpid());
    paused.PauseAllBut(keep, bridge != nullptr ? bridge->ToolkitThreadPrefixes() : std::vector<std::string>());
  }
  if (e->Flags().CreateScreenShot && bridge != nullptr && !FatalOrFrozen(*e)) TakeScreenShot(*e, *bridge);
  if (e->Flags().CreateBugReport) {
    e->SetExceptionNumber(NextExceptionNumber());
    try {
      e->StartReport(paused.Ids(), true);
    } catch (...) {
      // A report that cannot be made must not hold up the rest.
      e->Report().MarkComplete();
    }
  } else {
    e->Report().MarkComplete();
  }
  if (callHandlers) handled = CallExceptionHandlers(*e, 2) || handled;

  // Phase 3, the ending: the handlers hear of it once more, and once the
  // report is complete they are told so (phase 4); an exception they handled
  // and that can continue ends here, any other is shown.
  e->SetPhase(3);
  if (callHandlers) handled = CallExceptionHandlers(*e, 3) || handled;
  TICDException* raw = e.get();
  e->Report().OnComplete([raw, callHandlers] {
    if (raw->Phase() != 3) return;
    raw->SetPhase(4);
    if (callHandlers) CallExceptionHandlers(*raw, 4);
  });
  if (handled && e->CanContinue()) {
    Finish(*e, paused);
    return;
  }

  if (e->GetAutoSend() || e->GetAutoClip()) {
    const bool clip = e->GetAutoClip() && bridge != nullptr && !FatalOrFrozen(*e);
    e->Report().OnComplete([raw, bridge, clip] {
      if (raw->GetAutoSend() && !raw->CallActionHandlers(TCDAction::Send)) {
        TCDSendOptions options;
        options.Background = true;
        options.Hidden = true;
        SendBugReport(*raw, raw->Report().Text(), raw->ScreenShotFile(), options);
      }
      if (clip) bridge->CopyToClipboard(raw->Report().Text());
    });
  }

  const std::optional<TCDEnding> boxEnding = Present(*e, bridge);
  // A send from the box marks the exception sent before the ending is
  // decided: the automatic save then leaves a sent report out.
  WaitForRunningSends();
  const TCDEndDecision end = DecideEnding(
      TCDEndInputs{bridge != nullptr, e->CanContinue(), boxEnding, e->AutoClosePasses(), e->AutoRestartPasses()});
  if (end.CallActionHandlers) e->CallActionHandlers(static_cast<TCDAction>(end.Ending));
  Finish(*e, paused);
  if (end.Ending == TCDEnding::Continue) return;
  WaitForRunningSends();
  SaveWaitingFailures();
  if (end.Ending == TCDEnding::Restart) RestartProcess(ProcessExceptionTimes().Times());
  CloseProcess();
}

}  // namespace

void TCDProcessing::Run(const TCDExceptionRequest& request) {
  try {
    Process(request);
  } catch (...) {
    // The request ends here; its thread is released by the caller.
  }
}

bool TCDProcessing::SaveShownReport(int waitMs) {
  if (shownException.load() == nullptr) return false;
  saveShownAsked.Set();
  return saveShownDone.Wait(waitMs);
}

bool TCDProcessing::IsPresentingThread(pid_t threadId) { return threadId != 0 && presentingThread.load() == threadId; }
