// What every keeper of failure counts must do, as one check that any
// implementation runs: the process's own (TFailureLimit) here, a database's
// in its own tests. make gives fresh, empty counts under the rule.
#pragma once

#include <gtest/gtest.h>

#include <functional>
#include <memory>
#include <string>

#include "service/model/FailureCounts.h"

using TFailureCountsMaker = std::function<std::shared_ptr<IFailureCounts>(const TFailureRule& rule)>;

// A burst, then one try back each RefillEvery; a clock that steps back
// refills nothing; keys count apart.
inline void ExpectFailureCountsRefill(IFailureCounts& counts) {
  const TServiceTime t = 1'800'000'000'000, minute = 60 * 1000;
  EXPECT_EQ(counts.Blocked("a", t), 0);
  EXPECT_FALSE(counts.Failing("a", t));
  counts.Failed("a", t);
  counts.Failed("a", t + 1000);
  EXPECT_EQ(counts.Blocked("a", t + 1000), 0) << "one try is left of the burst of three";
  EXPECT_TRUE(counts.Failing("a", t + 1000));
  counts.Failed("a", t + 2000);
  struct Case {
    const char* what;
    TServiceTime at;
    TServiceTime blocked;
    bool failing;
  } cases[] = {
      {"the burst is used", t + 2000, minute - 2000, true},
      {"a clock stepped back refills nothing", t - 5000, minute + 5000, true},
      {"until a minute after the first failure", t + minute - 1, 1, true},
      {"then one try is back", t + minute, 0, true},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(counts.Blocked("a", c.at), c.blocked) << c.what;
    EXPECT_EQ(counts.Failing("a", c.at), c.failing) << c.what;
  }
  EXPECT_EQ(counts.Blocked("b", t + 2000), 0) << "another key has failed nothing";
  counts.Failed("a", t + minute);
  EXPECT_EQ(counts.Blocked("a", t + minute), minute) << "used at once, the next comes a minute later";
  EXPECT_EQ(counts.Blocked("a", t + 2 * minute), 0);
  EXPECT_TRUE(counts.Failing("a", t + 3 * minute)) << "two of three are back";
  EXPECT_FALSE(counts.Failing("a", t + 4 * minute)) << "the whole allowance is back";
  // The refill clock starts again with the first failure after that.
  counts.Failed("a", t + 10 * minute);
  EXPECT_TRUE(counts.Failing("a", t + 11 * minute - 1));
  EXPECT_FALSE(counts.Failing("a", t + 11 * minute));
}

// Of a burst of one, a minute to refill and two keys at most.
inline void ExpectFailureCountsBounded(IFailureCounts& counts) {
  const TServiceTime t = 1'800'000'000'000, minute = 60 * 1000;
  counts.Failed("old", t);
  counts.Failed("recent", t + 1000);
  counts.Failed("latest", t + 2000);
  EXPECT_EQ(counts.Size(), 2u);
  EXPECT_EQ(counts.Blocked("old", t + 2000), 0) << "the oldest offender was forgotten";
  EXPECT_GT(counts.Blocked("recent", t + 2000), 0);
  EXPECT_GT(counts.Blocked("latest", t + 2000), 0);
  // One whose allowance came back goes before any other.
  const TServiceTime later = t + minute + 1500;
  counts.Failed("next", later);
  EXPECT_EQ(counts.Size(), 2u);
  EXPECT_FALSE(counts.Failing("recent", later));
  EXPECT_GT(counts.Blocked("latest", later), 0);
  EXPECT_GT(counts.Blocked("next", later), 0);
}

inline void ExpectFailureCountsContract(const TFailureCountsMaker& make) {
  ExpectFailureCountsRefill(*make({3, 60 * 1000, 100}));
  ExpectFailureCountsBounded(*make({1, 60 * 1000, 2}));
}
