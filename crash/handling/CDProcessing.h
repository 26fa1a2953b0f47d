// The processing of one exception request, on the exception-handling thread:
// the exception object with its settings and filters; the handler phases;
// the exception times; pausing the program's threads; the screenshot;
// starting the report;
// the completion callbacks; presenting the exception (on the GUI thread, in
// the helper process, or on the console); deciding the end; and finishing
// (auto-save, resuming threads, the freeze counter), before the process
// continues, restarts or closes.
//
// Any failure inside is caught and ends that request; paused threads are
// resumed on every way out.
#pragma once

#include <sys/types.h>

#include "crash/handling/CDRequest.h"
#include "crash/handling/ICDException.h"

class TCDProcessing {
 public:
  // Processes one request. Never raises.
  static void Run(const TCDExceptionRequest& request);

  // The thread running a presenter job for the handling right now (a crash
  // there must not wait for the handling it is part of). Signal-safe.
  static bool IsPresentingThread(pid_t threadId);

  // A fatal signal struck the thread that shows the box of an exception: the
  // handling thread saves that exception's report (completed as far as it
  // can be within a few seconds) before the signal ends the process. Waits
  // at most waitMs for it; false when nothing was shown or saved in time.
  // Signal-safe.
  static bool SaveShownReport(int waitMs);

  // How long the GUI thread may take before the box goes to the helper.
  static constexpr int kGuiAnswerMs = 2000;
};
