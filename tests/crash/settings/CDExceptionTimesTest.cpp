#include "crash/settings/CDExceptionTimes.h"

#include <gtest/gtest.h>

namespace {

// Ten exceptions, the oldest `oldest` seconds before now, the others spread
// evenly after it.
TCDExceptionTimeList Spread(uint32_t now, uint32_t oldest) {
  TCDExceptionTimeList t{};
  for (int i = 0; i < CDExceptionTimeCount; ++i) t[static_cast<std::size_t>(i)] = now - oldest * static_cast<uint32_t>(i) / 9;
  return t;
}

TEST(CDExceptionTimes, ThresholdsNeverAlwaysOrAllTenWithinTheWindow) {
  const uint32_t now = 100000;
  TCDExceptionTimeList empty{};
  TCDExceptionTimeList nine = Spread(now, 5);
  nine[9] = 0;  // only nine exceptions so far
  TCDExceptionTimeList future = Spread(now, 5);
  future[0] = now + 1;

  struct Case {
    const char* what;
    int32_t threshold;
    TCDExceptionTimeList times;
    bool passes;
  } cases[] = {
      {"0 never, all ten inside", 0, Spread(now, 5), false},
      {"negative never", -60, Spread(now, 5), false},
      {"1 always, all ten inside", 1, Spread(now, 5), true},
      {"1 always, none recorded", 1, empty, true},
      {"60, all ten inside", 60, Spread(now, 59), true},
      {"60, the oldest exactly 60 s ago", 60, Spread(now, 60), true},
      {"60, the oldest 61 s ago", 60, Spread(now, 61), false},
      {"60, all ten long ago", 60, Spread(now - 1000, 5), false},
      {"60, only nine exceptions", 60, nine, false},
      {"60, none recorded", 60, empty, false},
      {"60, a time after now", 60, future, false},
      {"2, all ten in the same second", 2, Spread(now, 0), true},
  };
  for (const Case& c : cases) EXPECT_EQ(AutoActionThresholdPasses(c.threshold, c.times, now), c.passes) << c.what;
}

TEST(CDExceptionTimes, KeepsTheTenNewestNewestFirst) {
  TCDExceptionTimes times;
  for (uint32_t t = 1; t <= 12; ++t) times.Record(t * 10);
  EXPECT_EQ(times.Times(), (TCDExceptionTimeList{120, 110, 100, 90, 80, 70, 60, 50, 40, 30}));
  times.SetTimes(TCDExceptionTimeList{7});
  times.Record(8);
  EXPECT_EQ(times.Times(), (TCDExceptionTimeList{8, 7}));
  EXPECT_NE(CDSecondsNow(), 0u);
}

}  // namespace
