// What every store of the web page's sign-in sessions must do, as one check
// that any implementation runs: the process's own (TSessions) here, a
// database's in its own tests. make gives a fresh, empty store holding at
// most capacity sessions and perAccount per account.
#pragma once

#include <gtest/gtest.h>

#include <cstddef>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "service/model/SessionStore.h"

using TSessionStoreMaker = std::function<std::shared_ptr<ISessionStore>(std::size_t capacity, std::size_t perAccount)>;

inline TAccountRecord SessionAccount(std::int64_t id) {
  return {id, "account" + std::to_string(id), "hash" + std::to_string(id), 0, 0};
}

// A session is found by its token alone, for its Lifetime, until it is ended.
inline void ExpectSessionsLiveTheirTime(ISessionStore& sessions) {
  const TServiceTime t = 1'800'000'000'000;
  const std::string token = sessions.Begin(SessionAccount(1), t);
  EXPECT_EQ(token.size(), ISessionStore::TokenDigits);
  EXPECT_EQ(token.find_first_not_of("0123456789abcdef"), std::string::npos) << token;
  const std::string other = sessions.Begin(SessionAccount(1), t);
  EXPECT_NE(token, other);
  const std::optional<TAccountRecord> found = sessions.Find(token, t + 1);
  ASSERT_TRUE(found);
  EXPECT_EQ(found->Id, 1);
  EXPECT_EQ(found->PasswordHash, "hash1");
  struct Case {
    const char* what;
    std::string token;
    TServiceTime at;
    bool found;
  } cases[] = {
      {"to the last millisecond", token, t + ISessionStore::Lifetime - 1, true},
      {"not once its time is up", token, t + ISessionStore::Lifetime, false},
      {"nor by a token it never gave", std::string(64, 'a'), t, false},
      {"nor by a token cut short", token.substr(0, 63), t, false},
      {"nor by one too long", token + "0", t, false},
      {"nor by nothing", "", t, false},
  };
  for (const Case& c : cases) EXPECT_EQ(sessions.Find(c.token, c.at).has_value(), c.found) << c.what;

  sessions.End(std::string(64, 'b'));  // an unknown token ends nothing
  sessions.End(other);
  EXPECT_FALSE(sessions.Find(other, t + 1));
  sessions.End(token);
  const std::string third = sessions.Begin(SessionAccount(1), t + 2);
  const std::string bobs = sessions.Begin(SessionAccount(2), t + 2);
  EXPECT_EQ(sessions.EndAll(1), 1u);
  EXPECT_FALSE(sessions.Find(third, t + 3));
  EXPECT_TRUE(sessions.Find(bobs, t + 3)) << "another account's session stays";
  EXPECT_EQ(sessions.EndAll(3), 0u);
  EXPECT_EQ(sessions.Size(), 1u);
}

// One account's sign-ins never sign another account out.
inline void ExpectSessionsPerAccount(ISessionStore& sessions, std::size_t capacity, std::size_t perAccount) {
  const TServiceTime t = 1'800'000'000'000;
  const std::string bob = sessions.Begin(SessionAccount(2), t);
  std::vector<std::string> alice;
  for (std::size_t i = 0; i < capacity + 10; ++i) alice.push_back(sessions.Begin(SessionAccount(1), t + 1));
  EXPECT_TRUE(sessions.Find(bob, t + 2));
  EXPECT_EQ(sessions.Size(), perAccount + 1);
  EXPECT_TRUE(sessions.Find(alice.back(), t + 2));
  EXPECT_TRUE(sessions.Find(alice[alice.size() - perAccount], t + 2)) << "the account's newest stay";
  EXPECT_FALSE(sessions.Find(alice[alice.size() - perAccount - 1], t + 2)) << "its oldest went";
  EXPECT_EQ(sessions.EndAll(1), perAccount);
  EXPECT_FALSE(sessions.Find(alice.back(), t + 2));
  EXPECT_TRUE(sessions.Find(bob, t + 2));
}

// A full store drops the expired first, then an oldest session of an
// account holding the most; for a store of 6 sessions, 3 per account.
inline void ExpectSessionsFullStore(ISessionStore& sessions) {
  const TServiceTime t = 1'800'000'000'000;
  // Account 1 holds three, 2 holds two, 3 holds one: the store is full.
  const std::string first1 = sessions.Begin(SessionAccount(1), t);
  const std::string second1 = sessions.Begin(SessionAccount(1), t + 1);
  sessions.Begin(SessionAccount(1), t + 2);
  const std::string first2 = sessions.Begin(SessionAccount(2), t);
  sessions.Begin(SessionAccount(2), t + 1);
  const std::string only3 = sessions.Begin(SessionAccount(3), t);
  const std::string four = sessions.Begin(SessionAccount(4), t + 3);
  EXPECT_EQ(sessions.Size(), 6u);
  EXPECT_FALSE(sessions.Find(first1, t + 3)) << "the oldest of the account holding the most";
  for (const std::string* kept : {&second1, &first2, &only3, &four}) EXPECT_TRUE(sessions.Find(*kept, t + 3));
  // Once they have expired, sessions go before any live one.
  const TServiceTime late = t + ISessionStore::Lifetime + 1;
  const std::string five = sessions.Begin(SessionAccount(5), late);
  EXPECT_EQ(sessions.Size(), 3u) << "only the two begun latest, and the new one, live on";
  EXPECT_TRUE(sessions.Find(five, late));
  EXPECT_TRUE(sessions.Find(four, late));
}

inline void ExpectSessionStoreContract(const TSessionStoreMaker& make) {
  ExpectSessionsLiveTheirTime(*make(ISessionStore::Capacity, ISessionStore::PerAccount));
  ExpectSessionsPerAccount(*make(20, 5), 20, 5);
  ExpectSessionsFullStore(*make(6, 3));
}
