// How crashdemo's handled failures end, end to end: what a restarted or
// helper process inherits, a helper whose crashed process is killed, a fatal
// signal while a box stands, and what every ending leaves behind.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <set>

#include "tests/crash/handling/CrashDemoRun.h"

namespace {

std::string Describe(const DemoRun& run) {
  std::string text = "exit " + std::to_string(run.ExitCode) + (run.Hung ? " (hung)" : "") + "\n";
  for (const DemoLine& l : run.Lines) {
    text += l.Kind;
    for (const auto& [k, v] : l.Fields) text += " " + k + "=" + v;
    text += "\n";
  }
  return text;
}

// Whatever a failure left in a folder of temporary files, and in /dev/shm
// for the processes that ran.
std::vector<std::string> LeftBehind(const std::string& tmp, const DemoRun& run) {
  std::vector<std::string> left;
  for (const auto& entry : std::filesystem::directory_iterator(tmp))
    if (entry.path().filename().string().rfind("crashDesk-", 0) == 0) left.push_back(entry.path().string());
  for (const DemoLine& l : run.Lines) {
    char name[64];
    std::snprintf(name, sizeof name, "/dev/shm/crashDeskRestart$%x", std::stoi(l["pid"]));
    if (access(name, F_OK) == 0) left.push_back(name);
  }
  return left;
}

// Blocked signals, nice value and name as the system shows them, for the
// program, the programs it restarted and its helpers alike: those of the
// first start.
TEST(CrashdemoEndings, ARestartedProcessStartsAsTheProgramDidAndReportsItsNextCrash) {
  // blocked-loader restarts from inside the signal handler, segv from the
  // handling thread.
  for (const char* kind : {"blocked-loader", "segv"}) {
    const DemoRun run = RunCrashDemo(kind, DemoOptions{"restart,close", {}, 60, true});
    ASSERT_FALSE(run.Hung) << kind << "\n" << Describe(run);
    const auto starts = run.Of("start");
    const auto shown = run.Of("present");
    ASSERT_EQ(starts.size(), 2u) << kind << "\n" << Describe(run);
    ASSERT_EQ(shown.size(), 2u) << kind << ": the restarted process's crash reached no box\n" << Describe(run);
    EXPECT_EQ(run.ExitCode, 2) << kind;
    EXPECT_EQ(run.ExitCodeOf(starts[1]), 1) << kind;
    EXPECT_EQ(run.Failures(), 2) << kind;
    for (const auto& lines : {starts, shown})
      for (const DemoLine& l : lines) {
        EXPECT_EQ(l["sigblk"], "0") << kind << " pid " << l["pid"];
        EXPECT_EQ(l["nice"], starts[0]["nice"]) << kind << " pid " << l["pid"];
        EXPECT_EQ(l["comm"], "crashdemo") << kind << " pid " << l["pid"];
      }
  }
}

TEST(CrashdemoEndings, AHelperBoxClosesWhenItsCrashedProcessIsKilled) {
  bool killed = false;
  DemoOptions options{"hold", {"CRASHDEMO_BOX=1"}, 60, true};
  options.Watch = [&killed](pid_t demo, const std::vector<DemoLine>& lines) {
    if (killed) return;
    for (const DemoLine& l : lines)
      if (l.Kind == "present" && std::stoi(l["pid"]) != demo) {
        kill(demo, SIGKILL);
        killed = true;
      }
  };
  const DemoRun run = RunCrashDemo("segv", options);
  ASSERT_TRUE(killed) << Describe(run);
  ASSERT_FALSE(run.Hung) << "the helper's box stayed\n" << Describe(run);
  const auto shown = run.Of("present");
  ASSERT_EQ(shown.size(), 1u);
  EXPECT_EQ(run.ExitCodeOf(shown[0]), 0);
  // What reached the helper is not lost with the process.
  EXPECT_EQ(run.Reports(), 1) << run.BugReport;
  EXPECT_NE(run.BugReport.find("EAccessViolation"), std::string::npos);
}

TEST(CrashdemoEndings, AFatalSignalWhileTheBoxStandsKeepsTheShownReportToo) {
  const DemoRun run = RunCrashDemo("exception", DemoOptions{"segv,close", {}, 60, true});
  ASSERT_FALSE(run.Hung) << Describe(run);
  EXPECT_EQ(run.ExitCode, 1);
  ASSERT_EQ(run.Reports(), 2) << run.BugReport;
  const std::size_t second = run.BugReport.find("\r\ndate/time ");
  const std::string first = run.BugReport.substr(0, second);
  EXPECT_NE(first.find("exception class   : EDemoError"), std::string::npos) << first;
  EXPECT_NE(first.find("\r\n\r\nmodules:\r\n"), std::string::npos) << "the shown report was completed";
  EXPECT_NE(run.BugReport.find("exception class   : EAccessViolation", second), std::string::npos);
}

struct Ending {
  const char* name;
  const char* kind;
  const char* answers;
  int exitCode;
};

// Close, restart, SIGTERM and a restart whose executable can no longer be
// run: no temporary folder stays, no restart block; a failed restart ends
// as a close.
TEST(CrashdemoEndings, NoEndingLeavesATemporaryFolderOrARestartBlock) {
  const Ending endings[] = {
      {"close", "exception", "close", 1},
      {"restart", "exception", "restart,close", 2},
      {"SIGTERM", "eabort", "", -1},
      {"failed restart", "exception", "restart", 1},
  };
  for (const Ending& ending : endings) {
    TempDir tmp, copy;
    const std::string gate = tmp.File("gate");
    const std::string exe = copy.File("crashdemo");
    std::filesystem::copy_file(CRASHDEMO_PATH, exe);
    DemoOptions options{ending.answers, {"TMPDIR=" + tmp.File("")}, 60, false};
    const std::string name = ending.name;
    bool acted = false;
    if (name == "SIGTERM") {
      options.Watch = [&acted](pid_t demo, const std::vector<DemoLine>& lines) {
        if (!acted && !lines.empty()) acted = kill(demo, SIGTERM) == 0;
      };
    } else if (name == "failed restart") {
      // The file loses its run bit while the box stands.
      options.Env.push_back("CRASHDEMO_ANSWER_GATE=" + gate);
      options.Watch = [&](pid_t, const std::vector<DemoLine>& lines) {
        if (acted || lines.size() < 2) return;
        chmod(exe.c_str(), 0644);
        TempDir::Write(gate, "");
        acted = true;
      };
    }
    const DemoRun run = RunCrashDemoAt(exe, ending.kind, options);
    ASSERT_FALSE(run.Hung) << name << "\n" << Describe(run);
    if (ending.exitCode >= 0)
      EXPECT_EQ(run.ExitCode, ending.exitCode) << name;
    else
      EXPECT_EQ(run.Signal, SIGTERM) << name;
    EXPECT_EQ(LeftBehind(tmp.File(""), run), std::vector<std::string>{}) << name;
  }
}

TEST(CrashdemoEndings, AtStartTheFoldersOfEndedProcessesOfTheUserGo) {
  TempDir tmp;
  const pid_t ended = fork();
  if (ended == 0) _exit(0);
  waitpid(ended, nullptr, 0);
  const std::string uid = std::to_string(getuid());
  const std::string gone = tmp.File("crashDesk-" + uid + "-" + std::to_string(ended));
  const std::string goneFresh = gone + "-a1B2c3";
  const std::string running = tmp.File("crashDesk-" + uid + "-" + std::to_string(getpid()));
  const std::string other = tmp.File("crashDesk-notes");
  for (const std::string& folder : {gone, goneFresh, running, other}) {
    std::filesystem::create_directory(folder);
    chmod(folder.c_str(), 0700);
    TempDir::Write(folder + "/report.txt", "sent");
  }
  const DemoRun run = RunCrashDemo("exception", DemoOptions{"close", {"TMPDIR=" + tmp.File("")}, 40, false});
  ASSERT_FALSE(run.Hung);
  EXPECT_FALSE(std::filesystem::exists(gone));
  EXPECT_FALSE(std::filesystem::exists(goneFresh));
  EXPECT_TRUE(std::filesystem::exists(running)) << "a running process keeps its folder";
  EXPECT_TRUE(std::filesystem::exists(other)) << "a folder not named as ours stays";
}

}  // namespace
