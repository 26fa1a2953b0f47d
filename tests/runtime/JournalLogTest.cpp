#include "runtime/JournalLog.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <string>

namespace {
std::string StreamOf(int fd) {
  struct stat st {};
  EXPECT_EQ(::fstat(fd, &st), 0);
  return std::to_string(st.st_dev) + ":" + std::to_string(st.st_ino);
}
}  // namespace

TEST(JournalLog, OnlyTheStreamJournalStreamNamesIsTheJournal) {
  int pipeA[2], pipeB[2];
  ASSERT_EQ(::pipe(pipeA), 0);
  ASSERT_EQ(::pipe(pipeB), 0);
  const std::string a = StreamOf(pipeA[1]);
  EXPECT_TRUE(IsJournalStream(pipeA[1], a.c_str()));
  EXPECT_FALSE(IsJournalStream(pipeB[1], a.c_str()));
  for (const char* bad : {"", "1", "1:", ":2", "x:y"}) EXPECT_FALSE(IsJournalStream(pipeA[1], bad)) << bad;
  EXPECT_FALSE(IsJournalStream(pipeA[1], nullptr));
  EXPECT_FALSE(IsJournalStream(pipeA[1], (a + "x").c_str()));
  for (int fd : {pipeA[0], pipeA[1], pipeB[0], pipeB[1]}) ::close(fd);
}

TEST(JournalLog, AJournalLineCarriesItsPriorityAndStaysOneLine) {
  EXPECT_EQ(JournalLine(TLogPriority::Error, "failed", true), "<3>failed\n");
  EXPECT_EQ(JournalLine(TLogPriority::Warning, "careful", true), "<4>careful\n");
  EXPECT_EQ(JournalLine(TLogPriority::Info, "fine", true), "<6>fine\n");
  EXPECT_EQ(JournalLine(TLogPriority::Error, "failed", false), "failed\n");
  // A line break inside must not start a line of its own, with no priority or a forged one.
  EXPECT_EQ(JournalLine(TLogPriority::Info, "a\n<0>b\r", true), "<6>a <0>b \n");
}

TEST(JournalLog, LogLineWritesTheWholeLineToTheStream) {
  int fds[2];
  ASSERT_EQ(::pipe(fds), 0);
  LogLine(fds[1], TLogPriority::Warning, "one line");
  ::close(fds[1]);
  char buffer[64] = {};
  const ssize_t n = ::read(fds[0], buffer, sizeof buffer);
  ::close(fds[0]);
  EXPECT_EQ(std::string(buffer, n > 0 ? n : 0), "one line\n");  // a pipe JOURNAL_STREAM does not name
}

TEST(JournalLog, ABatchWritesItsThreadsLinesTogetherWholeAndInOrder) {
  int a[2], b[2];
  ASSERT_EQ(::pipe(a), 0);
  ASSERT_EQ(::pipe(b), 0);
  const auto read = [](int fd) {
    char buffer[256] = {};
    const ssize_t n = ::read(fd, buffer, sizeof buffer);  // one write, one read
    return std::string(buffer, n > 0 ? n : 0);
  };
  {
    TLogBatch batch;
    LogLine(a[1], TLogPriority::Info, "one");
    LogLine(a[1], TLogPriority::Info, "two\nstill two");
    LogLine(b[1], TLogPriority::Info, "elsewhere");  // the lines before go first
    EXPECT_EQ(read(a[0]), "one\ntwo still two\n");
    batch.Flush();
    EXPECT_EQ(read(b[0]), "elsewhere\n");
    LogLine(a[1], TLogPriority::Info, "last");
  }
  EXPECT_EQ(read(a[0]), "last\n");
  for (int fd : {a[0], a[1], b[0], b[1]}) ::close(fd);
}
