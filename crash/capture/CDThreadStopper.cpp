#include "crash/capture/CDThreadStopper.h"

#include <linux/futex.h>
#include <signal.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstring>

#include "crash/capture/CDEvent.h"
#include "crash/capture/CDProcessStart.h"
#include "runtime/ThreadName.h"

namespace {

// Slot states. A slot moves Free -> Requested (the stopper) -> Copying (the
// stopped thread) -> Stopped -> Released (the stopper) -> Free (the thread,
// as it leaves). A stopper that gives up takes Requested back to Free; the
// thread then finds nothing asked of it.
enum : uint32_t { kFree, kClaimed, kRequested, kCopying, kStopped, kReleased };

struct TSlot {
  std::atomic<pid_t> ThreadId{0};
  std::atomic<uint32_t> State{kFree};
  TCDStoppedThread Data;
};
TSlot slots[CDMaxStoppedThreads];
std::atomic<int> stopSignal{0};
struct sigaction previousAction;

void Wake(std::atomic<uint32_t>& word) {
  syscall(SYS_futex, reinterpret_cast<uint32_t*>(&word), FUTEX_WAKE_PRIVATE, INT32_MAX, nullptr, nullptr, 0);
}
void WaitWhile(std::atomic<uint32_t>& word, uint32_t value, int64_t deadlineMs) {
  while (word.load(std::memory_order_acquire) == value) {
    timespec ts{};
    timespec* timeout = nullptr;
    if (deadlineMs >= 0) {
      const int64_t left = deadlineMs - CDMonotonicMs();
      if (left <= 0) return;
      ts = timespec{static_cast<time_t>(left / 1000), static_cast<long>(left % 1000) * 1000000};
      timeout = &ts;
    }
    syscall(SYS_futex, reinterpret_cast<uint32_t*>(&word), FUTEX_WAIT_PRIVATE, value, timeout, nullptr, 0);
  }
}

TSlot* FindSlot(pid_t threadId) {
  for (TSlot& s : slots)
    if (s.ThreadId.load(std::memory_order_acquire) == threadId) return &s;
  return nullptr;
}

void OnStopSignal(int, siginfo_t*, void* context) {
  const int savedErrno = errno;
  TSlot* slot = FindSlot(CurrentThreadId());
  uint32_t expected = kRequested;
  if (slot != nullptr && slot->State.compare_exchange_strong(expected, kCopying, std::memory_order_acq_rel)) {
    const auto* uc = static_cast<const ucontext_t*>(context);
    slot->Data.ThreadId = CurrentThreadId();
    slot->Data.Context = ContextFromUcontext(*uc);
    std::memcpy(&slot->Data.Ucontext, uc, sizeof(ucontext_t));
    // The floating-point state lives beside the context in the signal frame;
    // the copy points at its own.
    if (uc->uc_mcontext.fpregs != nullptr) {
      std::memcpy(&slot->Data.Ucontext.__fpregs_mem, uc->uc_mcontext.fpregs, sizeof(slot->Data.Ucontext.__fpregs_mem));
      slot->Data.Ucontext.uc_mcontext.fpregs = &slot->Data.Ucontext.__fpregs_mem;
    }
    slot->State.store(kStopped, std::memory_order_release);
    Wake(slot->State);
    WaitWhile(slot->State, kStopped, -1);
    slot->ThreadId.store(0, std::memory_order_release);
    slot->State.store(kFree, std::memory_order_release);
  }
  errno = savedErrno;
}

}  // namespace

void TCDThreadStopper::Install() {
  if (stopSignal.load() != 0) return;
  // The first real-time signals belong to the threads library; stay clear.
  const int signal = SIGRTMIN + 3;
  struct sigaction action {};
  action.sa_sigaction = OnStopSignal;
  // SA_RESTART: a thread stopped inside a system call carries on with it.
  action.sa_flags = SA_SIGINFO | SA_RESTART | SA_ONSTACK;
  sigfillset(&action.sa_mask);
  if (sigaction(signal, &action, &previousAction) == 0) {
    stopSignal.store(signal);
    NoteTakenSignal(signal);
  }
}

void TCDThreadStopper::Remove() {
  const int signal = stopSignal.exchange(0);
  if (signal == 0) return;
  ReleaseAll();
  sigaction(signal, &previousAction, nullptr);
  NoteReturnedSignal(signal);
}

bool TCDThreadStopper::Installed() { return stopSignal.load() != 0; }
int TCDThreadStopper::Signal() { return stopSignal.load(); }

bool TCDThreadStopper::Stop(pid_t threadId, int timeoutMs) {
  const int signal = stopSignal.load();
  if (signal == 0 || threadId <= 0 || threadId == CurrentThreadId()) return false;
  if (FindSlot(threadId) != nullptr) return IsStopped(threadId);
  TSlot* slot = nullptr;
  for (TSlot& s : slots) {
    uint32_t expected = kFree;
    if (s.State.compare_exchange_strong(expected, kClaimed, std::memory_order_acq_rel)) {
      slot = &s;
      break;
    }
  }
  if (slot == nullptr) return false;
  slot->ThreadId.store(threadId, std::memory_order_release);
  slot->State.store(kRequested, std::memory_order_release);
  if (syscall(SYS_tgkill, getpid(), threadId, signal) != 0) {
    slot->ThreadId.store(0, std::memory_order_release);
    slot->State.store(kFree, std::memory_order_release);
    return false;
  }
  const int64_t deadline = CDMonotonicMs() + (timeoutMs < 0 ? 0 : timeoutMs);
  WaitWhile(slot->State, kRequested, deadline);
  uint32_t expected = kRequested;
  if (slot->State.compare_exchange_strong(expected, kFree, std::memory_order_acq_rel)) {
    // Never answered: the thread will find no request when the signal lands.
    slot->ThreadId.store(0, std::memory_order_release);
    return false;
  }
  // Copying or stopped: the thread is on its way; the copy is quick.
  WaitWhile(slot->State, kCopying, -1);
  return true;
}

bool TCDThreadStopper::Read(pid_t threadId, TCDStoppedThread& thread) {
  TSlot* slot = FindSlot(threadId);
  if (slot == nullptr || slot->State.load(std::memory_order_acquire) != kStopped) return false;
  std::memcpy(&thread, &slot->Data, sizeof thread);
  thread.Ucontext.uc_mcontext.fpregs = &thread.Ucontext.__fpregs_mem;
  return true;
}

bool TCDThreadStopper::IsStopped(pid_t threadId) {
  TSlot* slot = FindSlot(threadId);
  return slot != nullptr && slot->State.load(std::memory_order_acquire) == kStopped;
}

void TCDThreadStopper::Release(pid_t threadId) {
  TSlot* slot = FindSlot(threadId);
  if (slot == nullptr) return;
  uint32_t expected = kStopped;
  if (slot->State.compare_exchange_strong(expected, kReleased, std::memory_order_acq_rel)) Wake(slot->State);
}

void TCDThreadStopper::ReleaseAll() {
  for (TSlot& s : slots) {
    uint32_t expected = kStopped;
    if (s.State.compare_exchange_strong(expected, kReleased, std::memory_order_acq_rel)) Wake(s.State);
  }
}
