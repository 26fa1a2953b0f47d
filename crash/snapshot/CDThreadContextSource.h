// Other threads' contexts for a snapshot of the process. ICDThreadContextSource
// is what the snapshot asks, so that tests can hand it a source of their own;
// TCDThreadContextSource answers through the crash reporter's thread stopper:
// a thread is stopped where it stands, its context copied, and it goes on
// once the snapshot has copied its stack. A thread that the handling paused
// already stays paused: its context is read, and resuming it here leaves it
// as it was.
//
// Installs the thread stopper when it is not yet. Not for signal handlers.
#pragma once

#include <sys/types.h>

#include <mutex>
#include <vector>

#include "crash/capture/CDContext.h"

class ICDThreadContextSource {
 public:
  virtual ~ICDThreadContextSource() = default;
  // Stops another thread of the process where it stands and copies its
  // context; the thread waits until Resume. False when it cannot be stopped
  // (it ended, or did not answer in time); then no Resume is needed.
  virtual bool Stop(pid_t threadId, TCDContext& context) = 0;
  virtual void Resume(pid_t threadId) = 0;
};

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
