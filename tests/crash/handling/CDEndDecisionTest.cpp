#include "crash/handling/CDEndDecision.h"

#include <gtest/gtest.h>

namespace {

using E = TCDEnding;

TEST(EndDecision, FollowsTheBoxInAWindowAndTheThresholdsEverywhereElse) {
  const std::optional<E> none;
  struct Case {
    const char* what;
    TCDEndInputs in;
    E ending;
    bool handlers;
  } cases[] = {
      {"windowed, can continue, box says continue", {true, true, E::Continue, false, false}, E::Continue, false},
      {"windowed, the box asked for a restart", {true, true, E::Restart, false, false}, E::Restart, false},
      {"windowed, the box asked to close", {true, false, E::Close, false, true}, E::Close, false},
      {"windowed, can continue, AutoClose passes but the box decided", {true, true, E::Continue, true, false},
       E::Continue, false},
      {"windowed, cannot continue, no threshold", {true, false, E::Continue, false, false}, E::Close, true},
      {"windowed, cannot continue, AutoRestart passes", {true, false, E::Continue, false, true}, E::Restart, true},
      {"console, can continue, no threshold", {false, true, none, false, false}, E::Continue, true},
      {"console, AutoClose passes", {false, true, none, true, true}, E::Close, true},
      {"console, AutoRestart passes", {false, true, none, false, true}, E::Restart, true},
      {"console, cannot continue", {false, false, none, false, false}, E::Close, true},
      {"nobody could show a box, cannot continue", {true, false, none, false, false}, E::Close, true},
  };
  for (const Case& c : cases) {
    const TCDEndDecision d = DecideEnding(c.in);
    EXPECT_EQ(d.Ending, c.ending) << c.what;
    EXPECT_EQ(d.CallActionHandlers, c.handlers) << c.what;
  }
}

}  // namespace
