// No report is lost without a word, end to end through crashdemo: a report
// its file cannot take is kept elsewhere and the box says where; a mail that
// cannot carry the report says so and carries it as its text; a second fatal
// signal while a box stands is saved whatever the answer; a restart keeps
// every argument; threads named by a library carry their names.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/mount.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <iostream>
#include <string>
#include <vector>

#include "tests/crash/handling/CrashDemoRun.h"
#include "tests/support/TempDir.h"

namespace {

// A private mount of a 64 KiB file system at folder, filled up: only this
// child sees it, and it goes with the child's processes. Needs the right to
// mount (root); false where it is missing.
bool MountFullFileSystem(const std::string& folder) {
  if (unshare(CLONE_NEWNS) != 0 || mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0 ||
      mount("tmpfs", folder.c_str(), "tmpfs", 0, "size=64k") != 0)
    return false;
  std::ofstream fill(folder + "/fill", std::ios::binary);
  const std::string block(4096, 'x');
  for (int i = 0; i < 64 && fill.write(block.data(), block.size()); ++i) {
  }
  fill.close();
  return true;
}

struct SaveCase {
  const char* what;
  bool fullFileSystem;  // else a file stands where the folder should be
  bool stateUsable;     // else the report can only go to standard error
};

TEST(CrashdemoLoss, AReportItsFileCannotTakeIsKeptElsewhereAndTheBoxSaysWhere) {
  const SaveCase cases[] = {{"a file in the folder's place", false, true},
                            {"a full file system", true, true},
                            {"nowhere to keep it but standard error", false, false}};
  for (const SaveCase& c : cases) {
    TempDir dir;
    const std::string full = dir.File("full"), plain = dir.File("plain"), err = dir.File("stderr");
    std::filesystem::create_directories(full);
    TempDir::Write(plain, "a file where a folder should be");
    const std::string bugReport = (c.fullFileSystem ? full : plain) + "/bugreport.txt";
    const std::string stateHome = c.stateUsable ? dir.File("state") : plain;
    const std::string kept = stateHome + "/pinmark/bugreport.txt";
    DemoOptions options{"close", {"CRASHDEMO_BUGREPORT=" + bugReport, "XDG_STATE_HOME=" + stateHome}, 60, true};
    options.Stderr = err;
    if (c.fullFileSystem) options.InChild = [full] { return MountFullFileSystem(full); };
    const DemoRun run = RunCrashDemo("segv", options);
    if (run.ExitCode == 125) {
      std::cout << "[ SKIPPED  ] " << c.what << ": no right to mount a file system here\n";
      continue;
    }
    ASSERT_FALSE(run.Hung) << c.what;
    EXPECT_EQ(run.ExitCode, 1) << c.what;
    const std::vector<DemoLine> shown = run.Of("present");
    ASSERT_EQ(shown.size(), 1u) << c.what;
    const std::string said = shown[0]["savenote"], told = TempDir::Read(err);
    EXPECT_EQ(said.rfind("The bug report cannot be saved to " + bugReport + " (", 0), 0u) << c.what << ": " << said;
    if (c.stateUsable) {
      EXPECT_NE(said.find("; it will be saved to " + kept + "."), std::string::npos) << c.what << ": " << said;
      EXPECT_NE(told.find("; it was saved to " + kept + " instead."), std::string::npos) << c.what << ": " << told;
      EXPECT_NE(TempDir::Read(kept).find("exception class   : EAccessViolation"), std::string::npos) << c.what;
    } else {
      EXPECT_NE(said.find("; it will be written to standard error."), std::string::npos) << c.what << ": " << said;
      EXPECT_NE(told.find("exception class   : EAccessViolation"), std::string::npos) << c.what << ": " << told;
      EXPECT_NE(told.find("; it was written to standard error."), std::string::npos) << c.what << ": " << told;
    }
  }
}

// The mail program gets no mail without the report: the user hears why, and
// the mailto handler gets the report as the mail's text.
TEST(CrashdemoLoss, AMailThatCannotCarryTheReportSaysSoAndCarriesItAsItsText) {
  const SaveCase cases[] = {{"a file in the temporary folder's place", false, true},
                            {"a full temporary folder", true, true}};
  for (const SaveCase& c : cases) {
    TempDir dir, bin;
    const std::string full = dir.File("full"), plain = dir.File("plain");
    std::filesystem::create_directories(full);
    TempDir::Write(plain, "a file where a folder should be");
    for (const char* program : {"xdg-email", "xdg-open"}) {
      const std::string script = bin.File(program);
      TempDir::Write(script, "#!/bin/sh\nfor a in \"$@\"; do printf '%s\\n' \"$a\"; done > \"" + script + ".args\"\n");
      std::filesystem::permissions(script, std::filesystem::perms::owner_all);
    }
    DemoOptions options{"send+close",
                        {"TMPDIR=" + (c.fullFileSystem ? full : plain),
                         "PATH=" + bin.Path().string() + ":" + std::string(std::getenv("PATH"))},
                        60,
                        true};
    if (c.fullFileSystem) options.InChild = [full] { return MountFullFileSystem(full); };
    const DemoRun run = RunCrashDemo("exception", options);
    if (run.ExitCode == 125) {
      std::cout << "[ SKIPPED  ] " << c.what << ": no right to mount a file system here\n";
      continue;
    }
    ASSERT_FALSE(run.Hung) << c.what;
    const std::vector<DemoLine> notes = run.Of("sendnote");
    ASSERT_EQ(notes.size(), 1u) << c.what;
    EXPECT_EQ(notes[0]["text"].rfind("The bug report could not be attached to the mail (", 0), 0u)
        << c.what << ": " << notes[0]["text"];
    EXPECT_NE(notes[0]["text"].find("it is offered as the mail's text instead."), std::string::npos) << c.what;
    EXPECT_FALSE(std::filesystem::exists(bin.File("xdg-email.args"))) << c.what;
    const std::string url = TempDir::Read(bin.File("xdg-open.args"));
    EXPECT_NE(url.find("mailto:"), std::string::npos) << c.what << ": " << url;
    EXPECT_NE(url.find("exception%20class"), std::string::npos) << c.what << ": " << url;
  }
}

// The thread of the process that Qt named "DemoWorker"; 0 when there is none.
pid_t NamedThread(pid_t process, const std::string& name) {
  std::error_code ec;
  for (const auto& task : std::filesystem::directory_iterator("/proc/" + std::to_string(process) + "/task", ec)) {
    std::string comm = TempDir::Read(task.path().string() + "/comm");
    if (!comm.empty() && comm.back() == '\n') comm.pop_back();
    if (comm == name) return static_cast<pid_t>(std::stoi(task.path().filename().string()));
  }
  return 0;
}

// While the box of a segv stands, another thread gets SIGABRT (tgkill, as a
// library's abort from another thread would); whatever the user answers,
// both reports are saved before the process ends or starts again. The
// restarted program gets every one of its 300 extra arguments, and the
// report names the thread that Qt named. Where saving is left to the user,
// the second report, which no box will show, is saved all the same (and the
// console says where), while the shown ones are not.
TEST(CrashdemoLoss, ASecondFatalSignalDuringTheBoxIsSavedWhateverTheAnswer) {
  struct Case {
    const char* answers;
    bool autoSave;
    int failures;  // in the bug-report file at the end
    int starts;
  } cases[] = {
      {"close", true, 2, 1}, {"restart,close", true, 3, 2}, {"close", false, 1, 1}, {"restart,close", false, 1, 2}};
  std::vector<std::string> arguments;
  for (int i = 1; i <= 300; ++i) arguments.push_back(std::to_string(i));
  for (const Case& c : cases) {
    TempDir dir;
    const std::string gate = dir.File("gate");
    bool signalled = false;
    DemoOptions options{c.answers, {"CRASHDEMO_ANSWER_GATE=" + gate}, 90, true};
    if (!c.autoSave) options.Env.push_back("CRASHDEMO_AUTOSAVE=0");
    options.Stderr = dir.File("stderr");
    options.Arguments = arguments;
    options.Watch = [&](pid_t demo, const std::vector<DemoLine>& lines) {
      if (signalled) return;
      bool shown = false;
      for (const DemoLine& l : lines) shown = shown || l.Kind == "present";
      if (!shown) return;
      if (const pid_t worker = NamedThread(demo, "DemoWorker"); worker != 0) syscall(SYS_tgkill, demo, worker, SIGABRT);
      signalled = true;
      TempDir::Write(gate, "");
    };
    const DemoRun run = RunCrashDemo("segv-worker", options);
    ASSERT_FALSE(run.Hung) << c.answers;
    EXPECT_TRUE(signalled) << c.answers;
    EXPECT_EQ(run.Failures(), c.failures) << c.answers << "\n" << run.BugReport;
    EXPECT_NE(run.BugReport.find("Abnormal program termination"), std::string::npos) << c.answers;
    EXPECT_NE(run.BugReport.find("\r\nDemoWorker ($"), std::string::npos) << c.answers << "\n" << run.BugReport;
    const bool told =
        TempDir::Read(options.Stderr).find("a further failure, which no box showed, was saved to") != std::string::npos;
    EXPECT_EQ(told, !c.autoSave) << c.answers << "\n" << TempDir::Read(options.Stderr);
    const std::vector<DemoLine> starts = run.Of("start");
    ASSERT_EQ(starts.size(), static_cast<std::size_t>(c.starts)) << c.answers;
    for (const DemoLine& s : starts) {
      // crashdemo, the case, --now, 300 arguments and --exit.
      EXPECT_EQ(s["argc"], "304") << c.answers << c.autoSave;
      EXPECT_EQ(s["last"], "--exit") << c.answers;
    }
  }
}

}  // namespace
