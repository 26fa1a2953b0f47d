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
  enum Taker { LinkToOpenFolder, LinkToPrivateFolder, OpenFolder };
  struct Case {
    const char* what;
    Taker taker;
  } cases[] = {{"a link to someone's folder", LinkToOpenFolder},
               // Private and the user's own: only the link itself tells.
               {"a link to a private folder of the same user", LinkToPrivateFolder},
               {"a folder open to everyone", OpenFolder}};
  for (const Case& c : cases) {
    // A base of its own per case: the process remembers the folder it chose
    // for a name.
    const std::string base = dir.File(std::string("tmp-") + std::to_string(c.taker));
    std::filesystem::create_directories(base);
    ::setenv("TMPDIR", base.c_str(), 1);
    const std::string usual = base + "/crashDesk-" + std::to_string(getuid()) + "-" + std::to_string(getpid());
    const std::string victim = base + "/victim";
    std::filesystem::create_directories(victim);
    ::chmod(victim.c_str(), c.taker == LinkToPrivateFolder ? 0700 : 0755);
    TempDir::Write(victim + "/precious.txt", "keep");
    if (c.taker == OpenFolder) {
      std::filesystem::create_directories(usual);
      ::chmod(usual.c_str(), 0777);
      TempDir::Write(usual + "/precious.txt", "keep");
    } else {
      std::filesystem::create_directory_symlink(victim, usual);
    }
    const std::string folder = CDTempFolder();
    EXPECT_NE(folder, usual) << c.what;
    EXPECT_EQ(folder.rfind(usual + "-", 0), 0u) << c.what << ": " << folder;
    EXPECT_TRUE(ClearCDTempFolder()) << c.what;
    EXPECT_EQ(CDTempFolder(), folder) << c.what << ": the same folder all along";
    RemoveCDTempFolder();
    EXPECT_EQ(TempDir::Read(victim + "/precious.txt"), "keep") << c.what;
    if (c.taker == OpenFolder) {
      EXPECT_EQ(TempDir::Read(usual + "/precious.txt"), "keep") << c.what;
    }
  }
}

}  // namespace
