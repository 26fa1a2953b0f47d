#include "crash/capture/CDRestartBlock.h"

#include <gtest/gtest.h>
#include <unistd.h>

namespace {

TEST(RestartBlock, IsNamedForTheNewProcessInLowerCaseHex) {
  TCDSafeTextBuffer<64> name;
  RestartBlockName(0x1a2b, name, false);
  EXPECT_EQ(name.View(), "crashDeskRestart$1a2b");
}

TEST(RestartBlock, CarriesTheOldIdAndTheTenTimesAndRefusesAnythingElse) {
  TCDRestartHandover h;
  h.OldProcessId = 4242;
  for (int i = 0; i < CDExceptionTimeCount; ++i) h.Times[static_cast<std::size_t>(i)] = 1000u - static_cast<uint32_t>(i);
  uint8_t bytes[CDRestartBlockSize];
  EncodeRestartBlock(h, bytes);

  std::optional<TCDRestartHandover> back = ParseRestartBlock(bytes, 77);
  ASSERT_TRUE(back);
  EXPECT_EQ(back->OldProcessId, 4242);
  EXPECT_EQ(back->Times, h.Times);

  EXPECT_FALSE(ParseRestartBlock(std::span(bytes, CDRestartBlockSize - 1), 77)) << "short";
  EXPECT_FALSE(ParseRestartBlock(bytes, 4242)) << "names the reader itself";
  for (uint32_t id : {0u, 0x80000000u, 0xFFFFFFFFu}) {
    TCDRestartHandover bad = h;
    bad.OldProcessId = static_cast<pid_t>(id);
    uint8_t badBytes[CDRestartBlockSize];
    EncodeRestartBlock(bad, badBytes);
    EXPECT_FALSE(ParseRestartBlock(badBytes, 77)) << "no process: " << id;
  }
  uint8_t wrong[CDRestartBlockSize];
  std::copy(std::begin(bytes), std::end(bytes), wrong);
  wrong[5] ^= 1;
  EXPECT_FALSE(ParseRestartBlock(wrong, 77)) << "check word";
  std::copy(std::begin(bytes), std::end(bytes), wrong);
  wrong[8 + 4] = 1;  // the newest time beyond 32 bits
  back = ParseRestartBlock(wrong, 77);
  ASSERT_TRUE(back);
  EXPECT_EQ(back->Times[0], 0u);
  EXPECT_EQ(back->Times[1], 999u);
}

TEST(RestartBlock, IsTakenOnceByTheProcessItNames) {
  TCDRestartHandover h;
  h.OldProcessId = getppid();  // a process that runs: the wait is cut short
  h.Times[0] = 5;
  ASSERT_TRUE(WriteRestartBlock(getpid(), h));
  std::optional<TCDRestartHandover> taken = TakeRestartBlock(10);
  ASSERT_TRUE(taken);
  EXPECT_EQ(taken->Times[0], 5u);
  EXPECT_FALSE(TakeRestartBlock(10)) << "removed once taken";
}

}  // namespace
