// The built program as a whole: it refuses to run from a damaged file.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <functional>
#include <thread>

#include "tests/app/DamagedCopy.h"
#include "tests/support/TempDir.h"

namespace {
struct Outcome {
  bool exited = false;
  int code = -1;
  std::string err;
};

// Runs the program offscreen, as a copy installed somewhere: its per-user
// files go to config beside it, its lock to a runtime folder of its own.
// Kills it once `stop` answers true or after 20 s.
Outcome RunProgram(const std::string& exe, const std::function<bool()>& stop) {
  std::string errFile = exe + ".stderr";
  const std::string folder = std::filesystem::path(exe).parent_path().string();
  std::filesystem::create_directories(folder + "/run");
  std::filesystem::permissions(folder + "/run", std::filesystem::perms::owner_all);
  pid_t pid = fork();
  if (pid == 0) {
    setenv("QT_QPA_PLATFORM", "offscreen", 1);
    setenv("XDG_CONFIG_HOME", (folder + "/config").c_str(), 1);
    setenv("XDG_RUNTIME_DIR", (folder + "/run").c_str(), 1);
    freopen(errFile.c_str(), "w", stderr);
    execl(exe.c_str(), exe.c_str(), static_cast<char*>(nullptr));
    _exit(127);
  }
  Outcome out;
  int status = 0;
  auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
  while (waitpid(pid, &status, WNOHANG) == 0) {
    if (stop() || std::chrono::steady_clock::now() > deadline) {
      kill(pid, SIGKILL);
      waitpid(pid, &status, 0);
      break;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  out.exited = WIFEXITED(status);
  out.code = out.exited ? WEXITSTATUS(status) : -1;
  out.err = TempDir::Read(errFile);
  return out;
}

std::string CopyProgram(const TempDir& dir) {
  std::string copy = dir.File("pinmark");
  std::filesystem::copy_file(PINMARK_EXE, copy);
  std::filesystem::permissions(copy, std::filesystem::perms::owner_all);
  return copy;
}

}  // namespace

TEST(PinmarkExecutable, ADamagedCopySaysSoAndEndsWithoutTouchingItsFiles) {
  TempDir dir;
  std::string exe = CopyProgram(dir);
  FlipByteOf(exe, ".comment");
  Outcome out = RunProgram(exe, [] { return false; });
  EXPECT_TRUE(out.exited);
  EXPECT_EQ(out.code, 0);
  EXPECT_NE(out.err.find("The file \"pinmark\" seems to be corrupt!"), std::string::npos) << out.err;
  EXPECT_FALSE(std::filesystem::exists(dir.File("Pinmark.ini")));
  EXPECT_FALSE(std::filesystem::exists(dir.File("config")));
}

// A copy that is neither a build nor portable is an installed one: its
// settings go to the user's configuration folder, private to the user.
TEST(PinmarkExecutable, TheUntouchedProgramStartsAndWritesItsSettings) {
  TempDir dir;
  std::string exe = CopyProgram(dir);
  const std::string ini = dir.File("config/pinmark/Pinmark.ini");
  // The writer creates the file empty under its lock before the first key
  // takes its place, so wait for the key itself.
  const auto written = [&] {
    return std::filesystem::exists(ini) && TempDir::Read(ini).find("IPAddress=UNKNOWN") != std::string::npos;
  };
  Outcome out = RunProgram(exe, written);
  EXPECT_FALSE(out.exited) << "it ran until stopped; stderr: " << out.err;
  EXPECT_TRUE(written());
  EXPECT_EQ(std::filesystem::status(ini).permissions(),
            std::filesystem::perms::owner_read | std::filesystem::perms::owner_write);
  EXPECT_FALSE(std::filesystem::exists(dir.File("Pinmark.ini")));
}
