#include "crash/capture/CDThreadStopper.h"

#include <gtest/gtest.h>
#include <pthread.h>
#include <signal.h>

#include <atomic>
#include <thread>

#include "runtime/ThreadName.h"

namespace {

struct Worker {
  std::atomic<pid_t> id{0};
  std::atomic<bool> stop{false};
  std::atomic<uint64_t> laps{0};
  std::thread thread;
  explicit Worker(bool blockAll = false) {
    thread = std::thread([this, blockAll] {
      if (blockAll) {
        sigset_t all;
        sigfillset(&all);
        pthread_sigmask(SIG_BLOCK, &all, nullptr);
      }
      id = CurrentThreadId();
      while (!stop) laps.fetch_add(1);
    });
    while (id == 0) std::this_thread::yield();
  }
  ~Worker() {
    stop = true;
    thread.join();
  }
};

TEST(ThreadStopper, AStoppedThreadStandsStillWithItsContextUntilReleased) {
  TCDThreadStopper::Install();
  Worker w;
  ASSERT_TRUE(TCDThreadStopper::Stop(w.id, 2000));
  TCDStoppedThread t;
  ASSERT_TRUE(TCDThreadStopper::Read(w.id, t));
  EXPECT_EQ(t.ThreadId, w.id.load());
  EXPECT_TRUE(t.Context.Valid);
  EXPECT_NE(t.Context.Rip, 0u);
  EXPECT_EQ(t.Context.Rsp, static_cast<uint64_t>(t.Ucontext.uc_mcontext.gregs[REG_RSP]));
  const uint64_t before = w.laps;
  std::this_thread::sleep_for(std::chrono::milliseconds(50));
  EXPECT_EQ(w.laps.load(), before) << "it did not stand still";
  TCDThreadStopper::Release(w.id);
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
  while (w.laps == before && std::chrono::steady_clock::now() < deadline) std::this_thread::yield();
  EXPECT_GT(w.laps.load(), before) << "it did not go on";
  EXPECT_FALSE(TCDThreadStopper::IsStopped(w.id));
}

TEST(ThreadStopper, RefusesTheCallingThreadAndGivesUpOnAThreadThatDoesNotAnswer) {
  TCDThreadStopper::Install();
  EXPECT_FALSE(TCDThreadStopper::Stop(CurrentThreadId()));
  Worker deaf(true);
  EXPECT_FALSE(TCDThreadStopper::Stop(deaf.id, 100));
  TCDStoppedThread t;
  EXPECT_FALSE(TCDThreadStopper::Read(deaf.id, t));
  // Nothing is left behind that would stop it later.
  Worker other;
  EXPECT_TRUE(TCDThreadStopper::Stop(other.id, 2000));
  TCDThreadStopper::ReleaseAll();
}

}  // namespace
