// Other threads' contexts for the bug report, through the crash reporter's
// thread stopper: a thread is stopped where it stands, its context copied,
// and it goes on once the report has copied its stack. A thread that the
// handling paused already stays paused: its context is read, and resuming
// it here leaves it as it was.
//
// Installs the thread stopper when it is not yet. Not for signal handlers.
#pragma once

#include <sys/types.h>

#include <mutex>
#include <vector>

#include "crash/report/CDReportInput.h"

class TCDThreadContextSource : public ICDThreadContextSource {
 public:
  // How long a thread may take to stop before it is left out.
  static constexpr int kStopMs = 250;

  TCDThreadContextSource();
  ~TCDThreadContextSource() override;

  bool Stop(pid_t threadId, TCDContext& context) override;
  void Resume(pid_t threadId) override;

 private:
  std::mutex lock_;
  std::vector<pid_t> stoppedHere_;
};
