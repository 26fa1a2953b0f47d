// Stops another thread of the test process in a signal handler and hands
// out its context, the way the crash reporter's capture does: the thread
// waits in the handler until it is resumed, so its stack stays as it was.
//
// One thread at a time; the handler uses atomics and nanosleep only. A stop
// that is not answered within a second fails.
#pragma once

#include <signal.h>
#include <sys/syscall.h>
#include <time.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <thread>

#include "crash/capture/CDContext.h"
#include "crash/report/CDReportInput.h"

class TThreadStopper : public ICDThreadContextSource {
 public:
  explicit TThreadStopper(int signal = SIGUSR2) : signal_(signal) {
    struct sigaction sa {};
    sa.sa_sigaction = &Handler;
    sa.sa_flags = SA_SIGINFO | SA_RESTART;
    sigemptyset(&sa.sa_mask);
    sigaction(signal_, &sa, &previous_);
  }
  ~TThreadStopper() override { sigaction(signal_, &previous_, nullptr); }

  bool Stop(pid_t threadId, TCDContext& context) override {
    State().store(kAsked);
    if (syscall(SYS_tgkill, getpid(), threadId, signal_) != 0) {
      State().store(kIdle);
      return false;
    }
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(1);
    while (State().load() != kStopped) {
      if (std::chrono::steady_clock::now() > deadline) {
        State().store(kIdle);  // a late handler finds nothing asked and goes on
        return false;
      }
      std::this_thread::sleep_for(std::chrono::microseconds(50));
    }
    context = Context();
    return true;
  }

  void Resume(pid_t) override {
    State().store(kResumed);
    while (State().load() != kIdle) std::this_thread::sleep_for(std::chrono::microseconds(20));
  }

 private:
  enum { kIdle, kAsked, kStopped, kResumed };
  static std::atomic<int>& State() {
    static std::atomic<int> state{kIdle};
    return state;
  }
  static TCDContext& Context() {
    static TCDContext context;
    return context;
  }
  static void Handler(int, siginfo_t*, void* uc) {
    if (State().load() != kAsked) return;
    Context() = ContextFromUcontext(*static_cast<ucontext_t*>(uc));
    State().store(kStopped);
    const timespec pause{0, 20000};
    while (State().load() != kResumed) nanosleep(&pause, nullptr);
    State().store(kIdle);
  }

  int signal_;
  struct sigaction previous_ {};
};
