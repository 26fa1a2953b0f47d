// Other threads' contexts for the bug report, through the thread stopper,
// which must never let go of a thread the handling paused.
#include <gtest/gtest.h>

#include <atomic>
#include <thread>

#include "crash/capture/CDThreadStopper.h"
#include "crash/snapshot/CDThreadContextSource.h"
#include "runtime/ThreadName.h"

namespace {

struct Spinner {
  std::atomic<pid_t> id{0};
  std::atomic<bool> stop{false};
  std::thread thread;
  Spinner() {
    thread = std::thread([this] {
      id = CurrentThreadId();
      while (!stop) std::this_thread::yield();
    });
    while (id == 0) std::this_thread::yield();
  }
  ~Spinner() {
    TCDThreadStopper::Release(id);
    stop = true;
    thread.join();
  }
};

TEST(CDThreadContextSource, AThreadStoppedForTheReportGoesOnButAPausedOneStaysPaused) {
  TCDThreadContextSource source;
  Spinner stoppedHere, paused;
  ASSERT_TRUE(TCDThreadStopper::Stop(paused.id, 2000));

  TCDContext context;
  ASSERT_TRUE(source.Stop(stoppedHere.id, context));
  EXPECT_TRUE(context.Valid);
  EXPECT_TRUE(TCDThreadStopper::IsStopped(stoppedHere.id));
  source.Resume(stoppedHere.id);
  EXPECT_FALSE(TCDThreadStopper::IsStopped(stoppedHere.id));

  TCDContext pausedContext;
  ASSERT_TRUE(source.Stop(paused.id, pausedContext));
  EXPECT_TRUE(pausedContext.Valid);
  source.Resume(paused.id);
  EXPECT_TRUE(TCDThreadStopper::IsStopped(paused.id)) << "the handling's pause was undone";
}

}  // namespace
