#include "crash/handling/CDFreezeWatchdog.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <thread>

#include "crash/capture/CDEvent.h"

namespace {

// Waits for a condition, at most ten seconds, so that a broken watchdog
// fails the test instead of hanging it.
template <typename F>
bool Eventually(F&& condition) {
  const int64_t deadline = CDMonotonicMs() + 10000;
  while (!condition()) {
    if (CDMonotonicMs() > deadline) return false;
    CDSleepMs(5);
  }
  return true;
}

TEST(FreezeWatchdog, TenUnansweredPeriodsReportAFreezeAndStretchThePeriod) {
  std::atomic<int> freezes{0}, questions{0};
  TCDFreezeWatchdog::Start(
      200, [&](std::function<void()>) { ++questions; }, [&] { ++freezes; });
  ASSERT_TRUE(Eventually([&] { return freezes >= 1; }));
  EXPECT_EQ(TCDFreezeWatchdog::PeriodMs(), 30) << "20 ms, then half again as long";
  // A GUI thread that never answers is asked once, not once per period.
  EXPECT_EQ(questions.load(), 1);
  TCDFreezeWatchdog::Stop();
}

// The tenth unanswered period reports, not the eleventh: the count never
// stands at ten.
TEST(FreezeWatchdog, TheTenthUnansweredPeriodReportsTheFreeze) {
  std::atomic<int> freezes{0};
  TCDFreezeWatchdog::Start(
      2000, [](std::function<void()>) {}, [&] { ++freezes; });
  int highest = 0;
  ASSERT_TRUE(Eventually([&] {
    if (freezes == 0) highest = std::max(highest, TCDFreezeWatchdog::Counter());
    return freezes >= 1;
  }));
  TCDFreezeWatchdog::Stop();
  EXPECT_LE(highest, TCDFreezeWatchdog::kPeriodsToFreeze - 1);
  EXPECT_GE(highest, TCDFreezeWatchdog::kPeriodsToFreeze - 2);
}

TEST(FreezeWatchdog, AnAnsweringThreadIsNeverReportedAndAPauseCountsNothing) {
  std::atomic<int> freezes{0}, answers{0};
  TCDFreezeWatchdog::Start(
      100,
      [&](std::function<void()> answer) {
        ++answers;
        answer();
      },
      [&] { ++freezes; });
  ASSERT_TRUE(Eventually([&] { return answers >= 30; }));
  EXPECT_EQ(freezes.load(), 0);
  EXPECT_EQ(TCDFreezeWatchdog::Counter(), 0);
  TCDFreezeWatchdog::Stop();

  TCDFreezeWatchdog::Pause();
  std::atomic<int> asked{0};
  TCDFreezeWatchdog::Start(
      100, [&](std::function<void()>) { ++asked; }, [&] { ++freezes; });
  CDSleepMs(100);
  EXPECT_EQ(asked.load(), 0) << "paused: no questions";
  TCDFreezeWatchdog::Resume();
  ASSERT_TRUE(Eventually([&] { return freezes >= 1; }));
  TCDFreezeWatchdog::Stop();
}

}  // namespace
