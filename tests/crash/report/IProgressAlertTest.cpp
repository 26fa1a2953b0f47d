#include "crash/report/IProgressAlert.h"

#include <gtest/gtest.h>

namespace {

TEST(ProgressAreas, TheBarShowsTheShareOfAllWeightedWorkThatIsDone) {
  TCDProgressAreas p;
  EXPECT_EQ(p.Text(), "Please wait...");
  p.SetPosition(400);
  EXPECT_EQ(p.BarPosition(), 400) << "one default area of weight 1000";

  const int small = p.AddArea(100, "thread 1");
  const int big = p.AddArea(300, "thread 2");
  p.SetArea(small);
  EXPECT_EQ(p.BarPosition(), 0);
  p.SetPosition(500);
  EXPECT_EQ(p.BarPosition(), 125);  // 50 of 400
  p.SetArea(big);
  EXPECT_EQ(p.Text(), "thread 2");
  EXPECT_EQ(p.BarPosition(), 250) << "a new area starts at its beginning";
  p.SetPosition(1000);
  EXPECT_EQ(p.BarPosition(), 1000);
  p.SetPosition(5000);
  EXPECT_EQ(p.BarPosition(), 1000) << "positions beyond the area are cut";
  p.SetArea(7);
  EXPECT_EQ(p.Text(), "thread 2") << "no such area";
}

}  // namespace
