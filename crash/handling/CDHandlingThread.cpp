#include "crash/handling/CDHandlingThread.h"

#include <fcntl.h>
#include <poll.h>
#include <pthread.h>
#include <sched.h>
#include <sys/resource.h>
#include <unistd.h>

#include <atomic>

#include "crash/capture/CDEvent.h"
#include "crash/capture/CDSafeText.h"
#include "crash/capture/CDThreadRegistry.h"
#include "crash/handling/CDProcessing.h"
#include "crash/handling/ICDGuiBridge.h"
#include "runtime/ThreadName.h"

namespace {
int pipeRead = -1, pipeWrite = -1;
std::atomic<pid_t> handlingThreadId{0};
std::atomic<bool> running{false};
std::atomic<const TCDExceptionRequest*> current{nullptr};
TCDEvent ended;

void* Run(void*) {
  const pid_t self = CurrentThreadId();
  NameThreadForDebugging("-");
  TCDThreadRegistry::Instance().MarkOwn(self);
  handlingThreadId.store(self);
  // As high as an unprivileged thread may go: the handling should not wait
  // behind the program's busy threads.
  setpriority(PRIO_PROCESS, static_cast<id_t>(self), -20);
  TCDExceptionRequest request;
  while (CDReadAll(pipeRead, &request, sizeof request) && request.Event != 0) {
    current.store(&request);
    TCDProcessing::Run(request);
    current.store(nullptr);
    reinterpret_cast<TCDEvent*>(request.Event)->Set();
    if (std::shared_ptr<ICDGuiBridge> bridge = CDGuiBridge()) bridge->Wake();
  }
  handlingThreadId.store(0);
  ended.Set();
  return nullptr;
}
std::atomic<int> fatalOnTheirWay{0};
}  // namespace

bool TCDHandlingThread::Start() {
  if (running.load()) return true;
  int fds[2];
  if (pipe2(fds, O_CLOEXEC) != 0) return false;
  pipeRead = fds[0];
  pipeWrite = fds[1];
  ended.Reset();
  pthread_t thread;
  if (pthread_create(&thread, nullptr, Run, nullptr) != 0) {
    close(pipeRead);
    close(pipeWrite);
    pipeRead = pipeWrite = -1;
    return false;
  }
  pthread_detach(thread);
  while (handlingThreadId.load() == 0) CDSleepMs(1);
  running.store(true);
  return true;
}

void TCDHandlingThread::Stop(int waitMs) {
  if (!running.exchange(false)) return;
  const TCDExceptionRequest stop{};
  Submit(stop);
  ended.Wait(waitMs);
  // The pipe stays open: a thread still at work may be reading it.
}

bool TCDHandlingThread::Running() { return running.load(); }

bool TCDHandlingThread::IsHandlingThread(pid_t threadId) {
  return threadId != 0 && threadId == handlingThreadId.load();
}

bool TCDHandlingThread::Submit(const TCDExceptionRequest& request) {
  // Records are far below PIPE_BUF, so a write is whole or nothing.
  return pipeWrite >= 0 && CDWriteAll(pipeWrite, &request, sizeof request);
}

const TCDExceptionRequest* TCDHandlingThread::CurrentRequest() { return current.load(); }

bool TCDHandlingThread::TakeWaiting(TCDExceptionRequest& request) {
  if (!IsHandlingThread(CurrentThreadId())) return false;
  pollfd p{pipeRead, POLLIN, 0};
  if (poll(&p, 1, 0) <= 0 || (p.revents & POLLIN) == 0) return false;
  // Records are written whole, so one that has begun to arrive is all there.
  if (!CDReadAll(pipeRead, &request, sizeof request)) return false;
  if (request.Event != 0) return true;
  // A stop request: the thread sees it again once it is back in its loop.
  Submit(request);
  return false;
}

void TCDHandlingThread::FatalOnItsWay() { fatalOnTheirWay.fetch_add(1); }
void TCDHandlingThread::FatalHandedOver() { fatalOnTheirWay.fetch_sub(1); }
int TCDHandlingThread::FatalSignalsOnTheirWay() { return fatalOnTheirWay.load(); }
