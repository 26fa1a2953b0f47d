#include "http/transport/IdSocketList.h"

#include <gtest/gtest.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <thread>

namespace {

TEST(IdSocketList, HoldsAtMost64AndChecksIndexes) {
  TIdSocketList list;
  for (int i = 0; i < 64; ++i) list.Add(1000 + i);
  list.Add(1000);  // already held: no change
  EXPECT_EQ(list.Count(), 64);
  try {
    list.Add(2000);
    FAIL();
  } catch (const EIdStackSetSizeExceeded& e) {
    EXPECT_EQ(e.Message(), "Set Size Exceeded.");
  }
  EXPECT_THROW(list.Items(64), EIdStackSetSizeExceeded);
  EXPECT_THROW(list.Items(-1), EIdStackSetSizeExceeded);
  TIdFDSet tooBig;
  tooBig.fd_count = 65;
  EXPECT_THROW(list.SetFDSet(tooBig), EIdStackSetSizeExceeded);
}

TEST(IdSocketList, RemovingMovesTheLastEntryIntoTheGap) {
  TIdSocketList list;
  for (int fd : {10, 11, 12, 13}) list.Add(fd);
  list.Remove(11);
  EXPECT_EQ(list.Count(), 3);
  EXPECT_EQ(list.Items(1), 13);
  EXPECT_FALSE(list.Contains(11));
  TIdFDSet set = list.GetFDSet();
  EXPECT_EQ(set.fd_array[3], 0);
  auto clone = list.Clone();
  EXPECT_EQ(clone->Count(), 3);
  EXPECT_TRUE(clone->Contains(12));
}

TEST(IdSocketList, PollReadableTimesOutPollsAndWaits) {
  int fds[2];
  ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM, 0, fds), 0);
  TIdSocketList list;
  list.Add(fds[0]);
  EXPECT_FALSE(list.PollReadable(0));
  auto start = std::chrono::steady_clock::now();
  EXPECT_FALSE(list.PollReadable(150));
  EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(140));

  std::thread writer([&] {
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    ASSERT_EQ(write(fds[1], "x", 1), 1);
  });
  TIdSocketList ready;
  EXPECT_TRUE(list.PollReadable(-2, &ready));
  writer.join();
  EXPECT_EQ(ready.Count(), 1);
  EXPECT_TRUE(list.PollReadable(0));
  close(fds[0]);
  close(fds[1]);
  // A descriptor that is no socket any more is reported, not waited on.
  EXPECT_THROW(list.PollReadable(0), EIdNotASocket);
}

}  // namespace
