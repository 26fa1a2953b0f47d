// Composition and completion of one bug report.
//
// The header is filled at once (BuildHeader). StartSections then takes a
// snapshot of the process (its threads, each one's capture taken while it
// stands still; see TCDProcessSnapshot) and writes placeholders for every
// section: thread sections, plug-in sections, "cpu registers", "stack dump"
// and "disassembling". The sections are then completed one by one, on a
// completing thread of raised priority or at once in the calling thread:
// the crashed thread, the register, dump and disassembly sections, the
// plug-ins, the other threads; each finished section counts the report's
// outstanding sections down, the callstack checksum comes last and marks
// the report complete. Every change fires the report's change event; the
// stack analysis moves the please-wait box, when the input names one.
//
// Nothing raises out of here: a step that fails writes ">> internal error
// in " and its name into its section; a step that faults does the same with
// the faulting address, when the crash reporter's signal handlers offer the
// fault to CDRecoverGuardedFault first. Abort (or the report's Abort) stops the
// completing thread between steps; CompleteNow finishes whatever is left.
// The composer must outlive its completing thread: destroy it before the
// report, which it references.
#pragma once

#include <sys/types.h>

#include <atomic>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "crash/report/CDCallstackCrc.h"
#include "crash/report/CDReport.h"
#include "crash/report/CDReportInput.h"
#include "crash/report/IProgressAlert.h"
#include "crash/snapshot/CDProcessSnapshot.h"
#include "crash/snapshot/CDStepGuard.h"

class TCDReportComposer {
 public:
  TCDReportComposer(TCDReport& report, TCDReportInput input);
  ~TCDReportComposer();
  TCDReportComposer(const TCDReportComposer&) = delete;
  TCDReportComposer& operator=(const TCDReportComposer&) = delete;

  // Fills the header lines. Call once, before StartSections.
  void BuildHeader();
  // Takes the threads' captures and writes the placeholders, then completes
  // the sections: on a thread of its own when `background`, else before it
  // returns. Call once.
  void StartSections(bool background);
  // Raises the completing thread to the highest priority and waits until
  // the report is complete and its completion callbacks have run, finishing
  // what an abort left undone; `pump` runs every 50 ms meanwhile (the
  // please-wait box). A negative timeout waits without limit. True when the
  // report is complete.
  bool CompleteNow(const std::function<void()>& pump = {}, int timeoutMs = -1);
  // Stops the completing thread after its current step.
  void Abort();

  // Threads that complete a report right now; no report lists them.
  static bool IsReportThread(pid_t threadId);

 private:
  // A thread of the snapshot as the report shows it.
  struct TThread {
    const TCDThreadSnapshot* Snapshot = nullptr;
    std::string SectionName;
    std::string CreatorName;  // empty: no creation site to show
    TCDThreadCrc Crc;
  };

  void FillHeader();
  void PrepareSections();
  // What the snapshot is to take, from the report's input.
  TCDSnapshotInput SnapshotInput() const;
  void NameThreads();
  void WritePlaceholders();
  void CompleteThread(TThread& t, int area);
  // Runs a section's step under the fault guard; its text, or the error note.
  std::string GuardedStep(const char* name, const std::function<std::string()>& step);
  // The note for a fault inside a step, with the report's exception location
  // when `original`.
  std::string FaultText(const TCDStepFault& fault, bool original);
  void ReportProgress(int area, int position);
  void SetSection(const std::string& name, const std::string& text);
  void FinishChecksum();
  // Runs queued steps until none is left, or until an abort when honoured.
  void RunSteps(bool honourAbort);

  TCDReport& report_;
  TCDReportInput input_;
  TCDProcessSnapshot snapshot_;
  std::vector<TThread> threads_;
  // The analysed threads' weights, for the overall progress.
  TCDProgressAreas progress_;
  int progressArea_ = -1;  // the please-wait box's current area

  std::mutex stepsLock_;
  std::deque<std::function<void()>> steps_;
  std::atomic<bool> stop_{false};
  std::atomic<bool> completerDone_{true};
  std::atomic<pid_t> completerId_{0};
  std::thread completer_;
};

// Header and sections in one: what the handling calls for each exception
// that gets a report.
std::unique_ptr<TCDReportComposer> StartBugReport(TCDReport& report, TCDReportInput input, bool background);
