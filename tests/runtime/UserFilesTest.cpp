#include "runtime/UserFiles.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <filesystem>

#include "tests/support/TempDir.h"

namespace {
mode_t ModeOf(const std::string& path) {
  struct stat st {};
  EXPECT_EQ(::stat(path.c_str(), &st), 0) << path;
  return st.st_mode & 07777;
}
}  // namespace

TEST(UserFiles, ABuildOrPortableCopyKeepsTheFilesBesideItAnInstalledOneInTheConfigurationFolder) {
  struct Case {
    const char* what;
    bool writable, build, portable;
    std::string xdg, home, folder;
    bool beside;
  } cases[] = {
      {"build", true, true, false, "/cfg", "/home/ann", "/opt/pm/", true},
      {"portable copy", true, false, true, "/cfg", "/home/ann", "/opt/pm/", true},
      {"build in a folder not the user's", false, true, false, "/cfg", "/home/ann", "/cfg/pinmark/", false},
      {"installed in a folder of the user's", true, false, false, "/cfg", "/home/ann", "/cfg/pinmark/", false},
      {"installed, XDG set", false, false, false, "/cfg", "/home/ann", "/cfg/pinmark/", false},
      {"installed, XDG with a slash", false, false, false, "/cfg//", "/home/ann", "/cfg/pinmark/", false},
      {"installed, XDG unset", false, false, false, "", "/home/ann", "/home/ann/.config/pinmark/", false},
      {"installed, XDG relative", true, false, false, "cfg", "/home/ann/", "/home/ann/.config/pinmark/", false},
      {"installed, no home at all", false, false, false, "", "", "/opt/pm/", true},
  };
  for (const Case& c : cases) {
    const TUserFiles files = TUserFiles::Choose({"/opt/pm/", c.writable, c.xdg, c.home, c.build, c.portable});
    EXPECT_EQ(files.Folder(), c.folder) << c.what;
    EXPECT_EQ(files.BesideExecutable(), c.beside) << c.what;
    EXPECT_EQ(files.File("Pinmark.ini"), c.folder + "Pinmark.ini") << c.what;
  }
}

// The tests run as root, for whom the permission check alone would pass a
// read-only folder.
TEST(UserFiles, OnlyAFolderWithWritePermissionOutsideUsrIsWritable) {
  TempDir dir;
  const std::string folder = dir.File("bin") + "/";
  std::filesystem::create_directory(folder);
  TempDir::Write(dir.File("file"), "x");
  EXPECT_TRUE(TUserFiles::IsWritableFolder(folder));
  ASSERT_EQ(::chmod(folder.c_str(), 0555), 0);
  EXPECT_FALSE(TUserFiles::IsWritableFolder(folder)) << "read-only";
  EXPECT_FALSE(TUserFiles::IsWritableFolder(dir.File("missing") + "/"));
  EXPECT_FALSE(TUserFiles::IsWritableFolder(dir.File("file")));
  EXPECT_FALSE(TUserFiles::IsWritableFolder("/usr/bin/"));
  EXPECT_FALSE(TUserFiles::IsWritableFolder("/usr/local/bin/"));
  ::chmod(folder.c_str(), 0755);
}

TEST(UserFiles, TheConfigurationFolderIsMadeForTheUserAlone) {
  TempDir dir;
  const std::string xdg = dir.File("config");
  const TUserFiles files = TUserFiles::Choose({"/usr/bin/", false, xdg, ""});
  ASSERT_TRUE(files.CreateFolder());
  EXPECT_TRUE(std::filesystem::is_directory(xdg + "/pinmark"));
  EXPECT_EQ(ModeOf(xdg), 0700u);
  EXPECT_EQ(ModeOf(xdg + "/pinmark"), 0700u);
  EXPECT_TRUE(files.CreateFolder()) << "a second time finds it made";

  // A file where the folder should be is no folder.
  TempDir::Write(dir.File("blocked"), "x");
  EXPECT_FALSE(TUserFiles::Choose({"/usr/bin/", false, dir.File("blocked"), ""}).CreateFolder());
  const TUserFiles beside = TUserFiles::Choose({dir.File("nowhere") + "/", true, "", "", true});
  EXPECT_TRUE(beside.CreateFolder());
  EXPECT_FALSE(std::filesystem::exists(dir.File("nowhere")));
}
