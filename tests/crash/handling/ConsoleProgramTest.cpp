// A program without windows: the exception's message and its report go to
// standard output, and the ending follows the console rules.
#include <gtest/gtest.h>
#include <signal.h>
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

// closedPipe: the probe's standard output and error are a pipe whose reader
// has gone, as for a program piped into one that ended.
Outcome RunProbe(const char* kind, bool closedPipe = false) {
  TempDir dir;
  const std::string out = dir.File("out"), bugReport = dir.File("bugreport.txt");
  const pid_t pid = fork();
  if (pid == 0) {
    setenv("PROBE_BUGREPORT", bugReport.c_str(), 1);
    int gone[2];
    if (closedPipe) {
      if (pipe(gone) != 0 || dup2(gone[1], 1) < 0 || dup2(gone[1], 2) < 0) _exit(126);
      close(gone[0]);
      signal(SIGPIPE, SIG_DFL);
      execl(CONSOLE_PROBE_PATH, CONSOLE_PROBE_PATH, kind, static_cast<char*>(nullptr));
      _exit(127);
    }
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
  o.code = WIFEXITED(status) ? WEXITSTATUS(status) : WIFSIGNALED(status) ? 128 + WTERMSIG(status) : -1;
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

// A console that has gone costs nothing: the report is saved, the process
// ends as any close does.
TEST(ConsoleProgram, AFatalSignalWithTheConsoleGoneStillSavesTheReportAndEndsWithOne) {
  const Outcome o = RunProbe("segv", true);
  ASSERT_FALSE(o.hung);
  EXPECT_EQ(o.code, 1);
  EXPECT_NE(o.bugReport.find("exception class   : EAccessViolation"), std::string::npos) << o.bugReport;
}

}  // namespace
