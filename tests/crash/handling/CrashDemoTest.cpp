// The crash reporter end to end: crashdemo goes wrong in each of its ways in
// a child process, and what reached the box (its recording presenter), the
// bug-report file and the exit code are checked.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <map>
#include <set>
#include <sstream>
#include <vector>

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

bool StartsWith(const std::string& text, const std::string& prefix) { return text.rfind(prefix, 0) == 0; }

// A complete report: every section completed, the checksum calculated, the
// sections of the system lists there.
void ExpectComplete(const std::string& report) {
  EXPECT_EQ(report.find("will be calculated soon"), std::string::npos) << report;
  EXPECT_EQ(report.find(">> internal error"), std::string::npos) << report;
  for (const char* section : {"\r\n\r\nmodules:\r\n", "\r\n\r\nprocesses:\r\n", "\r\n\r\nhardware:"})
    EXPECT_NE(report.find(section), std::string::npos) << section << " missing in\n" << report;
  const std::size_t crc = report.find("callstack crc     : $");
  ASSERT_NE(crc, std::string::npos) << report;
  EXPECT_EQ(report.substr(crc + 20, 31).size(), 31u);
}

// The lines of crashdemo's known call chain, found by their marks.
std::map<std::string, int> ChainLines() {
  std::map<std::string, int> lines;
  std::istringstream in(TempDir::Read(CRASHDEMO_CHAIN_SOURCE));
  int number = 0;
  for (std::string line; std::getline(in, line);) {
    ++number;
    const std::size_t mark = line.find("// chain: ");
    if (mark != std::string::npos) lines[line.substr(mark + 10)] = number;
  }
  return lines;
}

// The call-stack line of the function: in crashdemo, its unit, at its line.
void ExpectChainFrame(const std::vector<std::string>& section, const std::string& function, int line) {
  for (const std::string& l : section)
    if (l.find(" " + function + "(") != std::string::npos) {
      std::istringstream columns(l);
      std::string address, offset, module, unit, number;
      columns >> address >> offset >> module >> unit >> number;
      EXPECT_EQ(module, "crashdemo") << l;
      EXPECT_EQ(unit, "DemoChain.cpp") << l;
      EXPECT_EQ(number, std::to_string(line)) << l;
      return;
    }
  ADD_FAILURE() << function << " missing";
}

struct Case {
  const char* kind;
  int source;
  bool canContinue;
  const char* cls;
  const char* message;  // how the message starts
  bool byHelper;        // shown by the helper process rather than crashdemo itself
  int exitCode;
  int showMode;
  bool reported;        // a report reached the bug-report file
};

const Case kCases[] = {
    {"exception", 5, true, "EDemoError", "The demo button raised an exception.", false, 0, 0, true},
    {"thread-exception", 13, true, "EDemoError", "The demo thread raised an exception.", false, 0, 0, true},
    {"segv", 14, false, "EAccessViolation", "Access violation at address ", true, 1, 0, true},
    {"thread-segv", 14, false, "EAccessViolation", "Access violation at address ", true, 1, 0, true},
    {"abort", 14, false, "EExternalException", "Abnormal program termination (abort)", true, 1, 0, true},
    {"fpe", 14, false, "EDivByZero", "Division by zero at address ", true, 1, 0, true},
    {"stack-overflow", 14, false, "EStackOverflow", "Stack overflow at address ", true, 1, 0, true},
    {"terminate", 11, false, "Exception", "Runtime error", false, 1, 0, true},
    // Input-mask refusals are the user's typing: the small OK box, no report.
    {"dbedit", 5, true, "EDemoMaskError", "'12x' is not a valid input", false, 0, 3, false},
};

class EachCase : public ::testing::TestWithParam<Case> {};

TEST_P(EachCase, ReachesTheBoxWithItsSourceClassAndMessageAndEndsAsTheRulesSay) {
  const Case& c = GetParam();
  const DemoRun run = RunCrashDemo(c.kind);
  ASSERT_FALSE(run.Hung) << Describe(run);
  const auto starts = run.Of("start");
  const auto shown = run.Of("present");
  ASSERT_EQ(starts.size(), 1u) << Describe(run);
  ASSERT_EQ(shown.size(), 1u) << Describe(run);
  const DemoLine& box = shown[0];
  EXPECT_EQ(box["source"], std::to_string(c.source)) << Describe(run);
  EXPECT_EQ(box["continue"], c.canContinue ? "1" : "0");
  EXPECT_EQ(box["class"], c.cls);
  EXPECT_TRUE(StartsWith(box["message"], c.message)) << box["message"];
  EXPECT_EQ(box["mode"], std::to_string(c.showMode));
  EXPECT_EQ(box["pid"] != starts[0]["pid"], c.byHelper) << "shown by " << box["pid"];
  // The box answered "continue": what can continue goes on (and --exit ends
  // it with 0); what cannot, closes with 1.
  EXPECT_EQ(run.ExitCode, c.exitCode) << Describe(run);
  EXPECT_EQ(run.Reports(), c.reported ? 1 : 0) << run.BugReport;
  if (c.reported) {
    EXPECT_NE(run.BugReport.find("exception class   : " + std::string(c.cls)), std::string::npos) << run.BugReport;
    ExpectComplete(run.BugReport);
  }
}

INSTANTIATE_TEST_SUITE_P(Crashdemo, EachCase, ::testing::ValuesIn(kCases),
                         [](const ::testing::TestParamInfo<Case>& info) {
                           std::string name = info.param.kind;
                           for (char& ch : name)
                             if (ch == '-') ch = '_';
                           return name;
                         });

TEST(Crashdemo, AnAccessViolationNamesTheWrittenAddress) {
  const DemoRun run = RunCrashDemo("segv");
  ASSERT_EQ(run.Of("present").size(), 1u) << Describe(run);
  EXPECT_NE(run.Of("present")[0]["message"].find(". Write of address 0000000000000000"), std::string::npos);
}

TEST(Crashdemo, EAbortProducesNoBoxAndNoReport) {
  const DemoRun run = RunCrashDemo("eabort");
  ASSERT_FALSE(run.Hung);
  EXPECT_EQ(run.ExitCode, 0);
  EXPECT_TRUE(run.Of("present").empty()) << Describe(run);
  EXPECT_FALSE(run.BugReportExists);
}

TEST(Crashdemo, AHiddenExceptionReachesOnlyTheHiddenHandlers) {
  const DemoRun run = RunCrashDemo("hidden");
  ASSERT_FALSE(run.Hung);
  EXPECT_EQ(run.ExitCode, 0);
  ASSERT_EQ(run.Of("hidden").size(), 1u) << Describe(run);
  EXPECT_EQ(run.Of("hidden")[0]["source"], "15");
  EXPECT_EQ(run.Of("hidden")[0]["message"], "The demo handled this exception itself.");
  EXPECT_TRUE(run.Of("present").empty());
  EXPECT_FALSE(run.BugReportExists);
}

TEST(Crashdemo, TenThreadsRaisingAtOnceAreHandledOneAfterTheOtherNoneLost) {
  const DemoRun run = RunCrashDemo("many");
  ASSERT_FALSE(run.Hung) << Describe(run);
  EXPECT_EQ(run.ExitCode, 0);
  const auto shown = run.Of("present");
  ASSERT_EQ(shown.size(), 10u) << Describe(run);
  std::set<std::string> messages;
  for (std::size_t i = 0; i < shown.size(); ++i) {
    EXPECT_EQ(shown[i]["source"], "13");
    messages.insert(shown[i]["message"]);
    // Each one was recorded before the next was shown.
    EXPECT_EQ(shown[i]["times"], std::to_string(i + 1));
  }
  EXPECT_EQ(messages.size(), 10u);
  // The ten are one failure of one place: merged, and counted.
  EXPECT_EQ(run.Failures(), 10) << run.BugReport;
}

TEST(Crashdemo, AFreezeOfTheMainThreadIsShownByTheHelperProcess) {
  DemoOptions options;
  options.Env = {"CRASHDEMO_FREEZE_TIMEOUT=500"};
  options.Answers = "close";
  const DemoRun run = RunCrashDemo("freeze", options);
  ASSERT_FALSE(run.Hung) << Describe(run);
  const auto shown = run.Of("present");
  ASSERT_EQ(shown.size(), 1u) << Describe(run);
  EXPECT_EQ(shown[0]["source"], "1");
  EXPECT_EQ(shown[0]["type"], "1");
  EXPECT_EQ(shown[0]["continue"], "1");
  EXPECT_EQ(shown[0]["message"], "The application seems to be frozen.");
  EXPECT_NE(shown[0]["pid"], run.Of("start")[0]["pid"]);
  EXPECT_EQ(run.ExitCode, 1);
  EXPECT_NE(run.BugReport.find("exception message : The application seems to be frozen."), std::string::npos);
}

TEST(Crashdemo, ACrashInsideTheHandlingThreadEndsWithAReportInsteadOfHanging) {
  const DemoRun run = RunCrashDemo("handler-crash", DemoOptions{"close", {}, 40, true});
  ASSERT_FALSE(run.Hung) << Describe(run);
  const auto shown = run.Of("present");
  ASSERT_EQ(shown.size(), 1u) << Describe(run);
  EXPECT_EQ(shown[0]["class"], "EAccessViolation");
  EXPECT_EQ(run.ExitCode, 1);
  EXPECT_EQ(run.Reports(), 1);
}

struct BlockedCase {
  const char* kind;
  const char* cls;
};

class BlockedProcess : public ::testing::TestWithParam<BlockedCase> {};

// The faulting thread holds the allocator's lock (a double free caught under
// the arena's lock) or the loader's (a fault inside dl_iterate_phdr): the
// handling must do without them, get the report out and end the process.
TEST_P(BlockedProcess, EndsWithAReportAndNeverHangs) {
#if defined(__SANITIZE_ADDRESS__)
  if (std::string(GetParam().kind) == "blocked-malloc") GTEST_SKIP() << "the sanitizer's allocator catches it first";
#endif
  const DemoRun run = RunCrashDemo(GetParam().kind, DemoOptions{"close", {}, 40, true});
  ASSERT_FALSE(run.Hung) << Describe(run);
  const auto shown = run.Of("present");
  ASSERT_EQ(shown.size(), 1u) << Describe(run);
  EXPECT_EQ(shown[0]["class"], GetParam().cls);
  EXPECT_EQ(shown[0]["source"], "14");
  EXPECT_EQ(run.ExitCode, 1);
  // The helper saved what the faulting thread could write.
  EXPECT_EQ(run.Reports(), 1) << run.BugReport;
  EXPECT_NE(run.BugReport.find("exception class   : " + std::string(GetParam().cls)), std::string::npos);
  EXPECT_NE(run.BugReport.find("cpu registers:"), std::string::npos);
}

INSTANTIATE_TEST_SUITE_P(Crashdemo, BlockedProcess,
                         ::testing::Values(BlockedCase{"blocked-malloc", "EExternalException"},
                                           BlockedCase{"blocked-loader", "EAccessViolation"}),
                         [](const ::testing::TestParamInfo<BlockedCase>& info) {
                           return std::string(info.param.kind) == "blocked-malloc" ? "AllocatorLock" : "LoaderLock";
                         });

TEST(Crashdemo, CloseEndsWithExitCodeOneAfterSavingTheReport) {
  const DemoRun run = RunCrashDemo("exception", DemoOptions{"close", {"CRASHDEMO_BOX=1"}, 40, false});
  ASSERT_FALSE(run.Hung) << Describe(run);
  EXPECT_EQ(run.ExitCode, 1);
  EXPECT_EQ(run.Reports(), 1);
}

// A restart starts crashdemo again with its own command line; the new one
// inherits the exception times (it goes wrong again at once and is closed).
// The real box answers: in crashdemo itself for an exception, in the helper
// process for a fatal signal.
TEST(Crashdemo, RestartEndsWithExitCodeTwoAndTheExceptionTimesSurviveIt) {
  for (const char* kind : {"exception", "segv"}) {
    const DemoRun run = RunCrashDemo(kind, DemoOptions{"restart,close", {"CRASHDEMO_BOX=1"}, 60, false});
    ASSERT_FALSE(run.Hung) << kind << "\n" << Describe(run);
    EXPECT_EQ(run.ExitCode, 2) << kind;
    const auto starts = run.Of("start");
    ASSERT_EQ(starts.size(), 2u) << Describe(run);
    EXPECT_EQ(starts[0]["times"], "0");
    EXPECT_EQ(starts[1]["times"], "1") << "the restarted process took the times over";
    EXPECT_EQ(run.ExitCodeOf(starts[1]), 1) << "the restarted one was closed";
    const auto shown = run.Of("present");
    ASSERT_EQ(shown.size(), 2u);
    EXPECT_EQ(shown[0]["answer"], "restart");
    EXPECT_EQ(shown[1]["answer"], "close");
    EXPECT_EQ(run.Failures(), 2) << run.BugReport;
  }
}

}  // namespace

namespace {

// What goes wrong three calls deep shows those calls, innermost first, with
// unit, function and line: from the fault's context for a signal, from the
// stack recorded at the throw for an exception.
TEST(CrashdemoReport, TheKnownCallChainAppearsInTheCrashedThreadsSection) {
  const std::map<std::string, int> chain = ChainLines();
  ASSERT_EQ(chain.size(), 3u);
  for (const char* kind : {"segv", "exception", "thread-segv", "thread-exception"}) {
    const DemoRun run = RunCrashDemo(kind, DemoOptions{"close", {}, 40, true});
    ASSERT_FALSE(run.Hung) << kind;
    const bool inWorker = std::string(kind).rfind("thread-", 0) == 0;
    // The crashed thread's section comes first.
    const std::size_t first = run.BugReport.find("\r\n\r\n");
    ASSERT_NE(first, std::string::npos) << run.BugReport;
    const std::string name = run.BugReport.substr(first + 4, run.BugReport.find("\r\n", first + 4) - first - 4);
    EXPECT_EQ(name.rfind(inWorker ? "thread $" : "main thread ($", 0), 0u) << kind << ": " << name;
    const std::vector<std::string> section = SectionLines(run.BugReport, name);
    ExpectChainFrame(section, "DemoChainInner", chain.at("inner"));
    ExpectChainFrame(section, "DemoChainMiddle", chain.at("middle"));
    ExpectChainFrame(section, "DemoChainOuter", chain.at("outer"));
    std::string text;
    for (const std::string& l : section) text += l + "\n";
    EXPECT_LT(text.find("DemoChainInner("), text.find("DemoChainMiddle(")) << text;
    EXPECT_LT(text.find("DemoChainMiddle("), text.find("DemoChainOuter(")) << text;
  }
}

// A worker's failure: its section says who created it and where, and the
// main thread's section follows it.
TEST(CrashdemoReport, AWorkersSectionNamesItsCreatorAndTheMainThreadFollows) {
  for (const char* kind : {"thread-segv", "thread-exception"}) {
    const DemoRun run = RunCrashDemo(kind, DemoOptions{"close", {}, 40, true});
    ASSERT_FALSE(run.Hung) << kind;
    const std::size_t first = run.BugReport.find("\r\n\r\nthread $");
    ASSERT_NE(first, std::string::npos) << run.BugReport;
    const std::string name = run.BugReport.substr(first + 4, run.BugReport.find("\r\n", first + 4) - first - 4);
    const std::vector<std::string> worker = SectionLines(run.BugReport, name);
    ASSERT_GE(worker.size(), 3u);
    const std::string pid = run.Of("start")[0]["pid"];
    char hexPid[16];
    std::snprintf(hexPid, sizeof hexPid, "%x", std::stoi(pid));
    const std::string creator = std::string(">> created by main thread ($") + hexPid + ") at:";
    EXPECT_EQ(worker[worker.size() - 2], creator) << kind;
    // The creation site: where crashdemo started the thread.
    EXPECT_NE(worker.back().find(" crashdemo "), std::string::npos) << worker.back();
    // The main thread's section comes right after the crashed worker's.
    const std::string main = std::string("main thread ($") + hexPid + "):";
    EXPECT_EQ(run.BugReport.find("\r\n\r\n" + main), run.BugReport.find("\r\n\r\n", first + 4)) << kind;
    EXPECT_GE(SectionLines(run.BugReport, main).size(), 2u);
  }
}

// The sections stand in their order: the threads, the plug-ins' lists, then
// registers, stack dump and disassembly; the header names the display mode.
TEST(CrashdemoReport, SectionsFollowTheThreadsThenListsThenRegistersDumpAndDisassembly) {
  const DemoRun run = RunCrashDemo("segv", DemoOptions{"close", {}, 40, true});
  ASSERT_FALSE(run.Hung);
  const std::string& r = run.BugReport;
  std::vector<std::size_t> at;
  for (const char* name : {"\r\n\r\nmain thread ($", "\r\n\r\nmodules:\r\n", "\r\n\r\nprocesses:\r\n",
                           "\r\n\r\nhardware:", "\r\n\r\ncpu registers:\r\n", "\r\n\r\nstack dump:\r\n",
                           "\r\n\r\ndisassembling:\r\n"}) {
    at.push_back(r.find(name));
    EXPECT_NE(at.back(), std::string::npos) << name;
  }
  EXPECT_TRUE(std::is_sorted(at.begin(), at.end())) << r;
  EXPECT_NE(r.find("\r\ndisplay mode "), std::string::npos) << r.substr(0, r.find("\r\n\r\n"));
}

// Nothing is listed past a thread's outermost frame: after clone3 only the
// creation site may follow.
TEST(CrashdemoReport, NoFrameFollowsAThreadsOutermostFrame) {
  const DemoRun run = RunCrashDemo("many", DemoOptions{"continue", {}, 90, true});
  ASSERT_FALSE(run.Hung);
  int threads = 0;
  std::istringstream in(run.BugReport);
  std::vector<std::string> lines;
  for (std::string line; std::getline(in, line);) lines.push_back(line.substr(0, line.find('\r')));
  for (std::size_t i = 0; i < lines.size(); ++i) {
    if (lines[i].find(" __clone3") == std::string::npos && lines[i].find(" clone3") == std::string::npos) continue;
    ++threads;
    std::size_t after = i + 1;
    if (after < lines.size() && lines[after].rfind(">> created by ", 0) == 0) after += 2;
    EXPECT_TRUE(after >= lines.size() || lines[after].empty()) << lines[i] << "\nis followed by\n" << lines[after];
  }
  EXPECT_GE(threads, 2) << run.BugReport;
}

// Every module with a frame in the report is listed at the start of its
// image in the process's memory map, not where a symbol reader mapped it.
TEST(CrashdemoReport, ModuleBasesAreWhereTheImagesWereLoaded) {
  TempDir dir;
  const std::string mapsFile = dir.File("maps");
  const DemoRun run = RunCrashDemo("exception", DemoOptions{"close", {"CRASHDEMO_MAPS=" + mapsFile}, 40, true});
  ASSERT_FALSE(run.Hung);
  // The image of each file: its mappings that lie next to one another.
  struct Mapping {
    uint64_t start, end;
    bool exec;
    std::string path;
  };
  std::vector<Mapping> maps;
  std::istringstream in(TempDir::Read(mapsFile));
  for (std::string line; std::getline(in, line);) {
    Mapping m{};
    char perms[8] = {};
    int pathAt = 0;
    if (std::sscanf(line.c_str(), "%lx-%lx %7s %*s %*s %*s %n", &m.start, &m.end, perms, &pathAt) < 3) continue;
    m.exec = perms[2] == 'x';
    m.path = pathAt > 0 ? line.substr(static_cast<std::size_t>(pathAt)) : "";
    maps.push_back(m);
  }
  ASSERT_FALSE(maps.empty());
  auto imageStart = [&](const std::string& name) -> uint64_t {
    for (std::size_t i = 0; i < maps.size(); ++i) {
      const std::string& path = maps[i].path;
      if (!maps[i].exec || path.size() < name.size() + 1 || path.compare(path.size() - name.size(), name.size(), name) != 0 ||
          path[path.size() - name.size() - 1] != '/')
        continue;
      std::size_t first = i;
      while (first > 0 && maps[first - 1].path == path && maps[first - 1].end == maps[first].start) --first;
      return maps[first].start;
    }
    return 0;
  };
  const std::vector<std::string> modules = SectionLines(run.BugReport, "modules:");
  const std::string firstSection = run.BugReport.substr(run.BugReport.find("\r\n\r\n") + 4);
  const std::vector<std::string> frames = SectionLines(run.BugReport, firstSection.substr(0, firstSection.find("\r\n")));
  int checked = 0;
  for (std::size_t i = 1; i < modules.size(); ++i) {
    std::istringstream columns(modules[i]);
    std::string base, name;
    columns >> base >> name;
    bool hasFrame = false;
    for (const std::string& f : frames) hasFrame = hasFrame || f.find(" " + name + " ") != std::string::npos;
    if (!hasFrame) continue;
    ++checked;
    EXPECT_EQ(std::stoull(base, nullptr, 16), imageStart(name)) << modules[i];
  }
  EXPECT_GE(checked, 3) << run.BugReport;
}

// A stack overflow is walked from the frame above the fault: one round of
// the recursion, then its callers down to main; the dump shows the readable
// stack just above the fault.
TEST(CrashdemoReport, AStackOverflowsCallStackReachesMain) {
  const DemoRun run = RunCrashDemo("stack-overflow", DemoOptions{"close", {}, 40, true});
  ASSERT_FALSE(run.Hung);
  const std::string first = run.BugReport.substr(run.BugReport.find("\r\n\r\n") + 4);
  const std::vector<std::string> section = SectionLines(run.BugReport, first.substr(0, first.find("\r\n")));
  std::string text;
  int recursions = 0;
  for (const std::string& l : section) {
    text += l + "\n";
    if (l.find("Recurse(") != std::string::npos) ++recursions;
  }
  EXPECT_GE(recursions, 1) << text;
  EXPECT_LE(recursions, 2) << "the recursion is collapsed\n" << text;
  ASSERT_FALSE(section.empty());
  bool main = false;
  for (const std::string& l : section) main = main || l.ends_with(" main");
  EXPECT_TRUE(main) << text;
  const std::vector<std::string> dump = SectionLines(run.BugReport, "stack dump:");
  ASSERT_GE(dump.size(), 2u);
  EXPECT_NE(dump[1], ">> stack not accessible");
}

// Calls the compiler inlined are listed as entries of their own, marked, at
// the address of the real function that holds them, which follows them.
TEST(CrashdemoReport, InlinedCallsAreListedBeforeTheFunctionThatHoldsThem) {
  const DemoRun run = RunCrashDemo("segv", DemoOptions{"close", {}, 40, true});
  ASSERT_FALSE(run.Hung);
  const std::string first = run.BugReport.substr(run.BugReport.find("\r\n\r\n") + 4);
  const std::vector<std::string> section = SectionLines(run.BugReport, first.substr(0, first.find("\r\n")));
  std::string text;
  for (const std::string& l : section) text += l + "\n";
  int inlined = 0;
  bool goWrong = false;
  for (std::size_t i = 1; i < section.size(); ++i) {
    if (!section[i].ends_with(" [inlined]")) continue;
    ++inlined;
    goWrong = goWrong || (section[i].find(" main.cpp ") != std::string::npos && section[i].find(" GoWrong") != std::string::npos);
    ASSERT_LT(i + 1, section.size()) << text;
    EXPECT_EQ(section[i + 1].substr(0, 16), section[i].substr(0, 16)) << "the holder follows at the same address\n"
                                                                       << text;
  }
  EXPECT_GE(inlined, 2) << text;
  EXPECT_TRUE(goWrong) << text;
}

}  // namespace
