#include "runtime/PrivateProfile.h"

#include <fcntl.h>
#include <grp.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <functional>
#include <vector>

#include "runtime/IniFile.h"
#include "tests/support/TempDir.h"

namespace {
namespace fs = std::filesystem;

// The ids of "nobody": someone else than the user running the tests.
constexpr uid_t kOtherUser = 65534;
constexpr gid_t kOtherGroup = 65534;

mode_t ModeOf(const std::string& file) {
  struct stat st {};
  return ::stat(file.c_str(), &st) == 0 ? st.st_mode & 07777 : 0;
}

// What a child process answered, or how it ended when it answered nothing.
struct ChildAnswer {
  bool finished = false;
  std::string text;
};

// Runs fn in a child process and returns the text it answers. The child is
// killed after a few seconds, so an operation that waits for ever fails the
// test instead of hanging it. With asOtherUser the child first becomes a user
// whom permission bits bind even when the tests run as root (who ignores them).
ChildAnswer InChild(const std::function<std::string()>& fn, bool asOtherUser = false) {
  int fds[2];
  if (::pipe(fds) != 0) return {};
  const pid_t pid = ::fork();
  if (pid < 0) return {};
  if (pid == 0) {
    ::close(fds[0]);
    ::alarm(10);
    std::string text;
    if (asOtherUser && ::geteuid() == 0 &&
        (::setgroups(0, nullptr) != 0 || ::setgid(kOtherGroup) != 0 || ::setuid(kOtherUser) != 0))
      text = "cannot become another user";
    else
      text = fn();
    for (std::size_t done = 0; done < text.size();) {
      const ssize_t n = ::write(fds[1], text.data() + done, text.size() - done);
      if (n <= 0) break;
      done += static_cast<std::size_t>(n);
    }
    ::_exit(0);
  }
  ::close(fds[1]);
  ChildAnswer answer;
  char buf[4096];
  ssize_t n;
  while ((n = ::read(fds[0], buf, sizeof buf)) > 0) answer.text.append(buf, static_cast<std::size_t>(n));
  ::close(fds[0]);
  int status = 0;
  ::waitpid(pid, &status, 0);
  answer.finished = WIFEXITED(status) && WEXITSTATUS(status) == 0;
  return answer;
}

// Writes through the INI file class and tells how it went.
std::string WriteAndTell(const std::string& file) {
  try {
    TIniFile(file).WriteString("User", "Name", "new");
    return "written";
  } catch (const EIniFileException& e) {
    return e.Message();
  }
}

// The names in a folder, sorted: no temporary file may be left beside the settings.
std::vector<std::string> FilesIn(const fs::path& dir) {
  std::vector<std::string> names;
  for (const auto& entry : fs::directory_iterator(dir)) names.push_back(entry.path().filename().string());
  std::sort(names.begin(), names.end());
  return names;
}
}  // namespace

TEST(PrivateProfile, ReadsSectionsAndKeysIgnoringCaseAndTrimsValues) {
  TempDir dir;
  std::string ini = dir.File("a.ini");
  TempDir::Write(ini, "; comment\r\n[Program]\r\n  Refresh =  15 \r\nURL=http://x/\r\n[temp]\r\nrefresh=1\r\n");
  EXPECT_EQ(GetPrivateProfileString("program", "REFRESH", "d", ini), "15");
  EXPECT_EQ(GetPrivateProfileString("Program", "URL", "d", ini), "http://x/");
  EXPECT_EQ(GetPrivateProfileString("Temp", "Refresh", "d", ini), "1");
  EXPECT_EQ(GetPrivateProfileString("Temp", "URL", "d", ini), "d");
  EXPECT_EQ(GetPrivateProfileString("None", "x", "dflt", dir.File("missing.ini")), "dflt");
  EXPECT_EQ(GetPrivateProfileString("Program", "URL", "", ini, 5), "http");
}

TEST(PrivateProfile, WritesReplaceInPlaceAndAppendNewKeysToTheirSection) {
  TempDir dir;
  std::string ini = dir.File("a.ini");
  ASSERT_TRUE(WritePrivateProfileString("Temp", "IPAddress", "UNKNOWN", ini));
  ASSERT_TRUE(WritePrivateProfileString("Program", "Refresh", "60", ini));
  ASSERT_TRUE(WritePrivateProfileString("temp", "Refresh", "x", ini));
  ASSERT_TRUE(WritePrivateProfileString("TEMP", "ipaddress", "1.2.3.4", ini));
  EXPECT_EQ(TempDir::Read(ini), "[Temp]\nipaddress=1.2.3.4\nRefresh=x\n[Program]\nRefresh=60\n");
}

TEST(PrivateProfile, KeepsUnrelatedLinesAndBlankLinesBetweenSections) {
  TempDir dir;
  std::string ini = dir.File("a.ini");
  TempDir::Write(ini, "[A]\r\nk=1\r\n; keep me\r\n\r\n[B]\r\nz=2\r\n");
  ASSERT_TRUE(WritePrivateProfileString("A", "n", "new", ini));
  EXPECT_EQ(TempDir::Read(ini), "[A]\r\nk=1\r\n; keep me\r\nn=new\n\r\n[B]\r\nz=2\r\n");
  EXPECT_EQ(GetPrivateProfileString("B", "z", "", ini), "2");
}

TEST(PrivateProfile, VeryLongLinesCostNoMoreThanTheirHead) {
  TempDir dir;
  std::string ini = dir.File("a.ini");
  std::string big(300000, 'v');
  TempDir::Write(ini, "[S]\nbig=" + big + "\nsmall=1\n");
  EXPECT_EQ(GetPrivateProfileString("S", "big", "", ini).size(), 2047u);
  ASSERT_TRUE(WritePrivateProfileString("S", "small", "2", ini));
  EXPECT_EQ(TempDir::Read(ini), "[S]\nbig=" + big + "\nsmall=2\n");
}

TEST(PrivateProfile, UnwritableFolderFailsAndLeavesNothingBehind) {
  TempDir dir;
  EXPECT_FALSE(WritePrivateProfileString("S", "k", "v", dir.File("no/such/folder/a.ini")));
  TIniFile ini(dir.File("no/such/folder/a.ini"));
  try {
    ini.WriteString("S", "k", "v");
    FAIL();
  } catch (const EIniFileException& e) {
    EXPECT_EQ(e.Message(), "Unable to write to " + dir.File("no/such/folder/a.ini"));
  }
}

// A writer killed at any moment leaves either the old or the new file, whole.
TEST(PrivateProfile, AWriteInterruptedByAKillLeavesACompleteFile) {
  TempDir dir;
  std::string ini = dir.File("a.ini");
  const std::string a(30000, 'a'), b(30000, 'b');
  ASSERT_TRUE(WritePrivateProfileString("Keep", "me", "yes", ini));
  ASSERT_TRUE(WritePrivateProfileString("S", "v", a, ini));
  for (int round = 0; round < 5; ++round) {
    pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
      for (int i = 0;; ++i) WritePrivateProfileString("S", "v", i % 2 ? a : b, ini);
    }
    usleep(20000 + round * 7000);
    kill(child, SIGKILL);
    int status = 0;
    waitpid(child, &status, 0);
    std::string v = GetPrivateProfileString("S", "v", "", ini, 60000);
    EXPECT_TRUE(v == a || v == b) << "value of length " << v.size();
    EXPECT_EQ(GetPrivateProfileString("Keep", "me", "", ini), "yes");
  }
}

// A file that is there but cannot be read (here: no read permission) must not
// be taken for an absent one: replacing it would keep only the one new key.
TEST(PrivateProfile, AFileThatCannotBeReadIsNeverReplaced) {
  TempDir dir;
  const std::string ini = dir.File("Pinmark.ini");
  const std::string content = "[User]\nName=alice\nPassword=0123\n";
  TempDir::Write(ini, content);
  fs::permissions(dir.Path(), fs::perms::all);
  if (::geteuid() == 0) {
    ASSERT_EQ(::chown(ini.c_str(), kOtherUser, kOtherGroup), 0);
  }
  ASSERT_EQ(::chmod(ini.c_str(), 0200), 0);

  const ChildAnswer answer = InChild(
      [&] {
        int fd = ::open(ini.c_str(), O_RDONLY);
        if (fd >= 0) {
          ::close(fd);
          return std::string("readable");
        }
        return WriteAndTell(ini) + "|" + TIniFile(ini).ReadString("User", "Name", "default");
      },
      /*asOtherUser=*/true);
  ASSERT_TRUE(answer.finished) << answer.text;
  if (answer.text == "readable" || answer.text == "cannot become another user")
    GTEST_SKIP() << "permission bits are not enforced here: " << answer.text;
  EXPECT_EQ(answer.text, "Unable to write to " + ini + "|default");
  ASSERT_EQ(::chmod(ini.c_str(), 0600), 0);
  EXPECT_EQ(TempDir::Read(ini), content);
  EXPECT_EQ(FilesIn(dir.Path()), std::vector<std::string>{"Pinmark.ini"});
}

// Things in the file's place that cannot be written as a file are refused at
// once, and read as an absent file; a FIFO must not make either wait.
TEST(PrivateProfile, WhatIsNoWritableFileIsRefusedAndKept) {
  struct Case {
    const char* what;
    bool readable;
    std::function<void(const std::string&)> make;
  } cases[] = {
      {"read-only file", true,
       [](const std::string& f) {
         TempDir::Write(f, "[User]\nName=alice\n");
         ::chmod(f.c_str(), 0444);
       }},
      {"folder", false, [](const std::string& f) { fs::create_directory(f); }},
      {"fifo", false, [](const std::string& f) { ::mkfifo(f.c_str(), 0666); }},
  };
  for (const Case& c : cases) {
    TempDir dir;
    const std::string ini = dir.File("Pinmark.ini");
    c.make(ini);
    const std::string before = fs::is_regular_file(ini) ? TempDir::Read(ini) : "";
    const ChildAnswer answer =
        InChild([&] { return WriteAndTell(ini) + "|" + GetPrivateProfileString("User", "Name", "default", ini); });
    EXPECT_TRUE(answer.finished) << c.what << ": did not end";
    EXPECT_EQ(answer.text, "Unable to write to " + ini + (c.readable ? "|alice" : "|default")) << c.what;
    if (fs::is_regular_file(ini)) {
      EXPECT_EQ(TempDir::Read(ini), before) << c.what;
      EXPECT_EQ(ModeOf(ini), 0444u) << c.what;
    }
    EXPECT_EQ(FilesIn(dir.Path()), std::vector<std::string>{"Pinmark.ini"}) << c.what;
  }
}

TEST(PrivateProfile, ReplacedFilesKeepTheirModeAndOwner) {
  TempDir dir;
  const std::string ini = dir.File("a.ini");
  TempDir::Write(ini, "[S]\nk=1\n");
  ASSERT_EQ(::chmod(ini.c_str(), 0640), 0);
  const bool root = ::geteuid() == 0;
  if (root) {
    ASSERT_EQ(::chown(ini.c_str(), kOtherUser, kOtherGroup), 0);
  }
  ASSERT_TRUE(WritePrivateProfileString("S", "k", "2", ini));
  struct stat st {};
  ASSERT_EQ(::stat(ini.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 07777, 0640u);
  if (root) {
    EXPECT_EQ(st.st_uid, kOtherUser);
    EXPECT_EQ(st.st_gid, kOtherGroup);
  }
  EXPECT_EQ(GetPrivateProfileString("S", "k", "", ini), "2");
}

// The settings file may be a link into another folder; the link stays and
// the file it names is updated (also when that file does not exist yet).
TEST(PrivateProfile, ASymbolicLinkIsWrittenThroughToItsTarget) {
  struct Case {
    const char* what;
    std::vector<std::pair<std::string, std::string>> links;  // link name, what it points at
    std::string target;                                       // relative to the folder
    bool targetExists;
  } cases[] = {
      {"relative link", {{"Pinmark.ini", "real/settings.ini"}}, "real/settings.ini", true},
      {"chain of links", {{"Pinmark.ini", "hop.ini"}, {"hop.ini", "real/settings.ini"}}, "real/settings.ini", true},
      {"dangling link", {{"Pinmark.ini", "real/new.ini"}}, "real/new.ini", false},
  };
  for (const Case& c : cases) {
    TempDir dir;
    fs::create_directory(dir.Path() / "real");
    const std::string target = dir.File(c.target);
    if (c.targetExists) TempDir::Write(target, "[User]\nName=alice\n");
    for (const auto& [link, to] : c.links) fs::create_symlink(to, dir.Path() / link);
    const std::string ini = dir.File("Pinmark.ini");
    ASSERT_TRUE(WritePrivateProfileString("Temp", "IPAddress", "UNKNOWN", ini)) << c.what;
    EXPECT_TRUE(fs::is_symlink(ini)) << c.what;
    EXPECT_EQ(fs::read_symlink(ini), c.links[0].second) << c.what;
    EXPECT_EQ(TempDir::Read(target), std::string(c.targetExists ? "[User]\nName=alice\n" : "") +
                                         "[Temp]\nIPAddress=UNKNOWN\n")
        << c.what;
    EXPECT_EQ(GetPrivateProfileString("User", "Name", "none", ini), c.targetExists ? "alice" : "none") << c.what;
  }
}

// Two programs writing the same settings file at the same moment: each
// read-modify-write waits for the other's, so no key is lost.
TEST(PrivateProfile, TwoProcessesWritingAtOnceKeepEveryKey) {
  TempDir dir;
  const std::string ini = dir.File("a.ini");
  constexpr int kKeys = 200;
  int go[2];
  ASSERT_EQ(::pipe(go), 0);
  pid_t writers[2];
  for (int w = 0; w < 2; ++w) {
    writers[w] = ::fork();
    ASSERT_GE(writers[w], 0);
    if (writers[w] == 0) {
      ::close(go[1]);
      ::alarm(60);
      char start;
      if (::read(go[0], &start, 1) != 0) ::_exit(2);  // starts when the pipe closes
      for (int i = 0; i < kKeys; ++i) {
        const std::string key = std::string(1, static_cast<char>('a' + w)) + std::to_string(i);
        if (!WritePrivateProfileString("S", key, std::to_string(i), ini)) ::_exit(1);
      }
      ::_exit(0);
    }
  }
  ::close(go[0]);
  ::close(go[1]);
  for (pid_t pid : writers) {
    int status = 0;
    ::waitpid(pid, &status, 0);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "writer ended with status " << status;
  }
  int missing = 0;
  for (char w : {'a', 'b'})
    for (int i = 0; i < kKeys; ++i)
      if (GetPrivateProfileString("S", std::string(1, w) + std::to_string(i), "", ini) != std::to_string(i)) ++missing;
  EXPECT_EQ(missing, 0) << "of " << 2 * kKeys << " keys";
  EXPECT_EQ(FilesIn(dir.Path()), std::vector<std::string>{"a.ini"});
}
