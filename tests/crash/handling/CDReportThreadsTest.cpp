// What the handling lends the bug report of the process's threads: the
// registry as the report sees it, and other threads' contexts through the
// thread stopper, which must never let go of a thread the handling paused.
#include <gtest/gtest.h>

#include <atomic>
#include <thread>

#include "crash/capture/CDThreadRegistry.h"
#include "crash/capture/CDThreadStopper.h"
#include "crash/handling/CDThreadContextSource.h"
#include "crash/handling/CDThreadRegistryView.h"
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

TEST(CDThreadRegistryView, OwnThreadsAreHiddenAndPausedOnesMarkedSuspended) {
  Spinner program, own;
  TCDThreadRegistry& registry = TCDThreadRegistry::Instance();
  TCDThreadInfo info;
  info.ThreadId = program.id;
  info.CreatorThreadId = getpid();
  info.CreatorAddress = 0x401000;
  registry.Register(info);
  registry.SetName(program.id, "worker");
  registry.SetName(own.id, "probe");
  registry.MarkOwn(own.id);

  std::vector<TCDThreadRegEntry> entries;
  ASSERT_TRUE(TCDThreadRegistryView({program.id}).Snapshot(std::chrono::milliseconds(50), entries));
  auto find = [&](pid_t id) {
    for (const TCDThreadRegEntry& e : entries)
      if (e.ThreadId == id) return e;
    return TCDThreadRegEntry{};
  };
  EXPECT_EQ(find(program.id).Name, "worker");
  EXPECT_TRUE(find(program.id).Suspended);
  EXPECT_EQ(find(program.id).CreatorId, getpid());
  EXPECT_EQ(find(program.id).CreationSite, 0x401000u);
  EXPECT_EQ(find(own.id).Name, "-");
  EXPECT_FALSE(find(own.id).Suspended);
  registry.Unregister(program.id);
  registry.Unregister(own.id);
}

}  // namespace
