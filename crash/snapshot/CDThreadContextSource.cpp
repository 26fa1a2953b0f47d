#include "crash/snapshot/CDThreadContextSource.h"

#include <algorithm>

#include "crash/capture/CDThreadStopper.h"

TCDThreadContextSource::TCDThreadContextSource() { TCDThreadStopper::Install(); }

TCDThreadContextSource::~TCDThreadContextSource() {
  // Nobody may be left standing by a report that went away.
  std::lock_guard<std::mutex> guard(lock_);
  for (pid_t id : stoppedHere_) TCDThreadStopper::Release(id);
}

bool TCDThreadContextSource::Stop(pid_t threadId, TCDContext& context) {
  TCDStoppedThread stopped;
  if (TCDThreadStopper::IsStopped(threadId)) {
    // Paused by the handling: read where it stands, leave it paused.
    if (!TCDThreadStopper::Read(threadId, stopped)) return false;
    context = stopped.Context;
    return true;
  }
  if (!TCDThreadStopper::Stop(threadId, kStopMs)) return false;
  if (!TCDThreadStopper::Read(threadId, stopped)) {
    TCDThreadStopper::Release(threadId);
    return false;
  }
  context = stopped.Context;
  std::lock_guard<std::mutex> guard(lock_);
  stoppedHere_.push_back(threadId);
  return true;
}

void TCDThreadContextSource::Resume(pid_t threadId) {
  std::lock_guard<std::mutex> guard(lock_);
  auto it = std::find(stoppedHere_.begin(), stoppedHere_.end(), threadId);
  if (it == stoppedHere_.end()) return;
  stoppedHere_.erase(it);
  TCDThreadStopper::Release(threadId);
}
