// The process's own sign-in sessions keep the rules of every session store.
#include "service/core/Sessions.h"

#include <gtest/gtest.h>

#include "tests/service/core/SessionStoreContract.h"

TEST(Sessions, KeepTheRulesOfEverySessionStore) {
  ExpectSessionStoreContract(
      [](std::size_t capacity, std::size_t perAccount) { return std::make_shared<TSessions>(capacity, perAccount); });
}
