// A program without windows: the exception's message and its report go to
// standard output, and the ending follows the console rules.
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <thread>

#include "tests/support/TempDir.h"

namespace {

struct Outcome {
  bool hung = false;
  int code = -1;
  std::string out, bugReport;
};

Outcome RunProbe(const char* kind) {
  TempDir dir;
  const std::string out = dir.File("out"), bugReport = dir.File("bugreport.txt");
  const pid_t pid = fork();
  if (pid == 0) {
    setenv("PROBE_BUGREPORT", bugReport.c_str(), 1);
    if (!freopen(out.c_str(), "w", stdout) || !freopen("/dev/null", "w", stderr)) _exit(126);
    execl(CONSOLE_PROBE_PATH, CONSOLE_PROBE_PATH, kind, static_cast<char*>(nullptr));
    _exit(127);
  }
  Outcome o;
  int status = 0;
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
  while (waitpid(pid, &status, WNOHANG) == 0) {
    if (std::chrono::steady_clock::now() > deadline) {
      o.hung = true;
      kill(pid, SIGKILL);
      waitpid(pid, &status, 0);
      break;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  o.code = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  o.out = TempDir::Read(out);
  o.bugReport = TempDir::Read(bugReport);
  return o;
}

TEST(ConsoleProgram, AWorkerExceptionIsWrittenOutWithItsReportAndTheProgramGoesOn) {
  const Outcome o = RunProbe("thread-exception");
  ASSERT_FALSE(o.hung);
  EXPECT_EQ(o.code, 0);
  EXPECT_EQ(o.out.rfind("An error occurred in the application.\n\ndate/time", 0), 0u) << o.out;
  EXPECT_NE(o.out.find("exception class   : EConvertError"), std::string::npos) << o.out;
  EXPECT_NE(o.out.find("went on"), std::string::npos);
  EXPECT_NE(o.bugReport.find("exception message : 'x' is not a valid integer value"), std::string::npos) << o.bugReport;
}

TEST(ConsoleProgram, AFatalSignalIsWrittenOutAndEndsTheProgramWithExitCodeOne) {
  const Outcome o = RunProbe("segv");
  ASSERT_FALSE(o.hung);
  EXPECT_EQ(o.code, 1);
  EXPECT_NE(o.out.find("exception class   : EAccessViolation"), std::string::npos) << o.out;
  EXPECT_EQ(o.out.find("went on"), std::string::npos);
  EXPECT_NE(o.bugReport.find("EAccessViolation"), std::string::npos);
}

}  // namespace
