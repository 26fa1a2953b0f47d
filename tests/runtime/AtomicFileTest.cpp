// The atomic writer's durability steps, watched in order: the new content is
// written and synced before the rename, and the folder is synced after it,
// so a crash at any moment leaves the old file or the whole new one.
#include "runtime/AtomicFile.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <cerrno>
#include <string>
#include <vector>

#include "tests/support/TempDir.h"

namespace {
// What each step saw, in order; the steps are plain functions, so they note here.
std::vector<std::string> steps;
std::string target;

std::string Content(int fd) {
  char buffer[64] = {};
  const ssize_t n = ::pread(fd, buffer, sizeof buffer, 0);
  return std::string(buffer, n > 0 ? static_cast<std::size_t>(n) : 0);
}

TAtomicFileSteps Watched() {
  TAtomicFileSteps watched;
  watched.SyncFile = [](int fd) {
    steps.push_back("sync file holding \"" + Content(fd) + "\", target holding \"" + TempDir::Read(target) + "\"");
    return 0;
  };
  watched.Rename = [](const char* from, const char* to) {
    steps.push_back("rename");
    return std::rename(from, to);
  };
  watched.SyncFolder = [](int) {
    steps.push_back("sync folder, target holding \"" + TempDir::Read(target) + "\"");
    return 0;
  };
  return watched;
}

// An old "Pinmark.ini" and a writer about to replace it, its steps watched.
class AtomicFile : public ::testing::Test {
 protected:
  void SetUp() override {
    target = dir.File("Pinmark.ini");
    TempDir::Write(target, "old");
    steps.clear();
    writer.Steps = Watched();
  }

  TempDir dir;
  TAtomicFileWriter writer;
};
}  // namespace

TEST_F(AtomicFile, TheNewContentIsWrittenAndSyncedBeforeTheRenameAndTheFolderSyncedAfter) {
  ASSERT_TRUE(writer.Open(target));
  ASSERT_TRUE(writer.Write("new content"));
  ASSERT_TRUE(writer.Commit());
  EXPECT_EQ(steps, (std::vector<std::string>{"sync file holding \"new content\", target holding \"old\"", "rename",
                                             "sync folder, target holding \"new content\""}));
}

TEST_F(AtomicFile, AFailedSyncLeavesTheOldFileAndNoTemporaryOne) {
  writer.Steps.SyncFile = [](int) {
    errno = EIO;
    return -1;
  };
  ASSERT_TRUE(writer.Open(target));
  ASSERT_TRUE(writer.Write("new content"));
  EXPECT_FALSE(writer.Commit());
  EXPECT_EQ(errno, EIO);
  EXPECT_EQ(steps, std::vector<std::string>{}) << "no rename after a failed sync";
  EXPECT_EQ(TempDir::Read(target), "old");
  EXPECT_EQ(std::distance(std::filesystem::directory_iterator(dir.Path()), {}), 1);
}
