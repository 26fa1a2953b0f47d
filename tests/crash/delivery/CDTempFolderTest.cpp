// The crash reporter's temporary folder has a name anyone can guess; what
// someone else put there under that name must neither receive a report's
// attachments nor lose its contents when the folder is cleared.
#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <string>

#include "crash/delivery/CDTempFolder.h"
#include "tests/support/TempDir.h"

namespace {

class CDTempFolderIn : public ::testing::Test {
 protected:
  void SetUp() override {
    const char* old = std::getenv("TMPDIR");
    oldTmp_ = old ? old : "";
    hadTmp_ = old != nullptr;
    ::setenv("TMPDIR", dir.Path().c_str(), 1);
  }
  void TearDown() override {
    if (hadTmp_)
      ::setenv("TMPDIR", oldTmp_.c_str(), 1);
    else
      ::unsetenv("TMPDIR");
  }
  std::string Usual() const {
    return dir.File("crashDesk-" + std::to_string(getuid()) + "-" + std::to_string(getpid()));
  }
  TempDir dir;

 private:
  std::string oldTmp_;
  bool hadTmp_ = false;
};

TEST_F(CDTempFolderIn, AFolderOfItsOwnIsMadeUnderTheUsualNameAndCleared) {
  const std::string folder = CDTempFolder();
  EXPECT_EQ(folder, Usual());
  TempDir::Write(folder + "/screenShot.png", "old");
  EXPECT_TRUE(ClearCDTempFolder());
  EXPECT_TRUE(std::filesystem::is_empty(folder));
  struct stat st {};
  ASSERT_EQ(::stat(folder.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 077, 0u);
}

TEST_F(CDTempFolderIn, ANameTakenBySomethingNotItsOwnIsLeftAlone) {
  struct Case {
    const char* what;
    bool link;  // else a folder others may enter
  } cases[] = {{"a link to someone's folder", true}, {"a folder open to everyone", false}};
  for (const Case& c : cases) {
    const std::string usual = Usual();
    std::filesystem::remove_all(usual);
    const std::string victim = dir.File(std::string("victim-") + (c.link ? "link" : "open"));
    std::filesystem::create_directories(victim);
    TempDir::Write(victim + "/precious.txt", "keep");
    if (c.link) {
      std::filesystem::create_directory_symlink(victim, usual);
    } else {
      std::filesystem::create_directories(usual);
      ::chmod(usual.c_str(), 0777);
      TempDir::Write(usual + "/precious.txt", "keep");
    }
    const std::string folder = CDTempFolder();
    EXPECT_NE(folder, usual) << c.what;
    EXPECT_EQ(folder.rfind(usual + "-", 0), 0u) << c.what << ": " << folder;
    EXPECT_TRUE(ClearCDTempFolder()) << c.what;
    EXPECT_EQ(CDTempFolder(), folder) << c.what << ": the same folder all along";
    RemoveCDTempFolder();
    EXPECT_EQ(TempDir::Read(victim + "/precious.txt"), "keep") << c.what;
    if (!c.link) {
      EXPECT_EQ(TempDir::Read(usual + "/precious.txt"), "keep") << c.what;
    }
    std::filesystem::remove_all(usual);
  }
}

}  // namespace
