// A program without windows: the exception's message and its report go to
// standard output, and the ending follows the console rules.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include "tests/support/TempDir.h"

namespace {

struct Outcome {
  bool hung = false;
  int code = -1;
  std::string out, err, bugReport;
};

// closedPipe: the probe's standard output and error are a pipe whose reader
// has gone, as for a program piped into one that ended.
// env: more "NAME=value" (PROBE_BUGREPORT among them replaces the usual file).
Outcome RunProbe(const char* kind, bool closedPipe = false, const std::vector<std::string>& env = {}) {
  TempDir dir;
  const std::string out = dir.File("out"), err = dir.File("err"), bugReport = dir.File("bugreport.txt");
  const pid_t pid = fork();
  if (pid == 0) {
    setenv("PROBE_BUGREPORT", bugReport.c_str(), 1);
    for (const std::string& e : env) putenv(const_cast<char*>(e.c_str()));
    int gone[2];
    if (closedPipe) {
      if (pipe(gone) != 0 || dup2(gone[1], 1) < 0 || dup2(gone[1], 2) < 0) _exit(126);
      close(gone[0]);
      signal(SIGPIPE, SIG_DFL);
      execl(CONSOLE_PROBE_PATH, CONSOLE_PROBE_PATH, kind, static_cast<char*>(nullptr));
      _exit(127);
    }
    if (!freopen(out.c_str(), "w", stdout) || !freopen(err.c_str(), "w", stderr)) _exit(126);
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
  o.err = TempDir::Read(err);
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

// A report that its file cannot take goes to the state folder, or failing
// that to standard error, and the console says which, and why.
TEST(ConsoleProgram, AReportItsFileCannotTakeIsKeptElsewhereAndTheConsoleSaysWhere) {
  TempDir dir;
  TempDir::Write(dir.File("plain"), "a file where a folder should be");
  const std::string unusable = dir.File("plain") + "/bugreport.txt", state = dir.File("state");
  struct Case {
    const char* what;
    std::string stateHome;
    std::string keptIn;  // empty: standard error
  } cases[] = {{"the state folder takes it", state, state + "/pinmark/bugreport.txt"},
               {"the state folder cannot take it either", dir.File("plain"), ""}};
  for (const Case& c : cases) {
    const Outcome o =
        RunProbe("segv", false, {"PROBE_BUGREPORT=" + unusable, "XDG_STATE_HOME=" + c.stateHome, "HOME=/nonexistent"});
    ASSERT_FALSE(o.hung) << c.what;
    EXPECT_EQ(o.code, 1) << c.what;
    const std::string told = "The bug report could not be saved to " + unusable + " (Not a directory";
    EXPECT_NE(o.out.find(told), std::string::npos) << c.what << "\n" << o.out;
    if (!c.keptIn.empty()) {
      EXPECT_NE(o.out.find("; it was saved to " + c.keptIn + " instead."), std::string::npos) << c.what << o.out;
      EXPECT_NE(TempDir::Read(c.keptIn).find("exception class   : EAccessViolation"), std::string::npos) << c.what;
    } else {
      EXPECT_NE(o.out.find("; it was written to standard error."), std::string::npos) << c.what << o.out;
      EXPECT_NE(o.err.find("exception class   : EAccessViolation"), std::string::npos) << c.what << o.err;
    }
  }
}

}  // namespace
