// The sign-in sessions' limits: a handful per account, a global cap that
// takes from the accounts holding the most, never from another account
// because one signs in again and again.
#include "service/http/Sessions.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {
TAccountRecord Account(std::int64_t id) { return {id, "account" + std::to_string(id), "h", 0, 0}; }
}  // namespace

TEST(Sessions, OneAccountsSignInsNeverSignAnotherOut) {
  TSessions sessions;
  const std::string bob = sessions.Begin(Account(2), 1000);
  std::vector<std::string> alice;
  for (std::size_t i = 0; i < TSessions::Capacity + 10; ++i) alice.push_back(sessions.Begin(Account(1), 2000));
  EXPECT_TRUE(sessions.Find(bob, 3000).has_value());
  EXPECT_EQ(sessions.Size(), TSessions::PerAccount + 1);
  // Alice keeps her latest ones.
  EXPECT_TRUE(sessions.Find(alice.back(), 3000).has_value());
  EXPECT_TRUE(sessions.Find(alice[alice.size() - TSessions::PerAccount], 3000).has_value());
  EXPECT_FALSE(sessions.Find(alice[alice.size() - TSessions::PerAccount - 1], 3000).has_value());
  EXPECT_EQ(sessions.EndAll(1), TSessions::PerAccount);
  EXPECT_FALSE(sessions.Find(alice.back(), 3000).has_value());
  EXPECT_EQ(sessions.Size(), 1u);
  EXPECT_EQ(sessions.EndAll(3), 0u);
  EXPECT_TRUE(sessions.Find(bob, 3000).has_value());
}

TEST(Sessions, AFullTableDropsTheExpiredThenAnOldestOfTheAccountHoldingTheMost) {
  TSessions sessions(6, 3);
  const TServiceTime t = 1000;
  // Account 1 holds three, 2 holds two, 3 holds one: the table is full.
  const std::string first1 = sessions.Begin(Account(1), t);
  const std::string second1 = sessions.Begin(Account(1), t + 1);
  sessions.Begin(Account(1), t + 2);
  const std::string first2 = sessions.Begin(Account(2), t);
  sessions.Begin(Account(2), t + 1);
  const std::string only3 = sessions.Begin(Account(3), t);
  const std::string four = sessions.Begin(Account(4), t + 3);
  EXPECT_EQ(sessions.Size(), 6u);
  EXPECT_FALSE(sessions.Find(first1, t + 3).has_value()) << "the oldest of the account holding the most";
  for (const std::string* kept : {&second1, &first2, &only3, &four}) EXPECT_TRUE(sessions.Find(*kept, t + 3));
  // Once they have expired, sessions go before any live one.
  const std::string late = sessions.Begin(Account(5), t + TSessions::Lifetime + 1);
  EXPECT_EQ(sessions.Size(), 3u) << "only the two begun latest, and the new one, live on";
  EXPECT_TRUE(sessions.Find(late, t + TSessions::Lifetime + 1));
  EXPECT_TRUE(sessions.Find(four, t + TSessions::Lifetime + 1));
}
