// Deep stacks and creation sites in crashdemo's reports, end to end: an
// overflow under a large stack limit is unwound down to main, a recursion
// too long to collapse says how many frames it left out and where, and a
// thread started from code that a system header inlined is named by the
// program's own line.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <fstream>
#include <regex>
#include <sstream>

#include "tests/crash/handling/CrashDemoRun.h"

namespace {

std::string Joined(const std::vector<std::string>& lines) {
  std::string text;
  for (const std::string& l : lines) text += l + "\n";
  return text;
}

// crashdemo started under a stack limit of kib KiB: a script that sets it
// and becomes crashdemo, so the process is the one the runner waits for.
std::string UnderStackLimit(const TempDir& dir, int kib) {
  const std::string script = dir.File("limited.sh");
  std::ofstream(script) << "#!/bin/sh\nulimit -s " << kib << " || exit 125\nexec '" << CRASHDEMO_PATH
                        << "' \"$@\"\n";
  chmod(script.c_str(), 0700);
  return script;
}

int Count(const std::vector<std::string>& lines, const std::string& part) {
  return static_cast<int>(std::count_if(lines.begin(), lines.end(),
                                        [&](const std::string& l) { return l.find(part) != std::string::npos; }));
}

}  // namespace

// Well past the 8 MiB a stack used to be copied up to: the recursion is
// collapsed to a round, its callers follow down to main, nothing is cut.
TEST(CrashdemoStack, AnOverflowUnderALargeStackLimitIsUnwoundDownToMain) {
  TempDir dir;
  for (int kib : {65536, 262144}) {
    const DemoRun run = RunCrashDemoAt(UnderStackLimit(dir, kib), "stack-overflow", DemoOptions{"close", {}, 120, true});
    ASSERT_FALSE(run.Hung) << kib;
    ASSERT_NE(run.ExitCode, 125) << "the stack limit could not be set";
    const std::vector<std::string> section = SectionLines(run.BugReport, "");
    const std::string text = Joined(section);
    EXPECT_GE(Count(section, "Recurse("), 1) << kib << "\n" << text;
    EXPECT_LE(Count(section, "Recurse("), 2) << kib << " the recursion is collapsed\n" << text;
    EXPECT_EQ(Count(section, "frames left out"), 0) << kib << "\n" << text;
    EXPECT_TRUE(std::any_of(section.begin(), section.end(), [](const std::string& l) { return l.ends_with(" main"); }))
        << kib << "\n" << text;
  }
}

// Twenty functions in turn are no recursion the report can fold: it keeps
// the innermost frames and the outermost ones, and one line between them
// says how many it left out.
TEST(CrashdemoStack, ARecursionTooLongToCollapseSaysHowManyFramesItLeftOutAndReachesMain) {
  const DemoRun run = RunCrashDemo("cycle-overflow", DemoOptions{"close", {}, 120, true});
  ASSERT_FALSE(run.Hung);
  const std::vector<std::string> section = SectionLines(run.BugReport, "");
  ASSERT_FALSE(section.empty()) << run.BugReport.substr(0, 2000);
  const std::regex leftOut(">> ([0-9]+) frames left out");
  std::size_t at = section.size();
  std::smatch m;
  for (std::size_t i = 0; i < section.size(); ++i)
    if (std::regex_match(section[i], m, leftOut)) {
      EXPECT_EQ(at, section.size()) << "one cut only";
      at = i;
      EXPECT_GT(std::stoull(m[1]), 1000u);
    }
  ASSERT_LT(at, section.size()) << section.front();
  // The frames around the cut are of the cycle; main comes after it.
  ASSERT_GT(at, 0u);
  EXPECT_NE(section[at - 1].find("Cycle<"), std::string::npos) << section[at - 1];
  EXPECT_NE(section[at + 1].find("Cycle<"), std::string::npos) << section[at + 1];
  EXPECT_TRUE(std::any_of(section.begin() + at, section.end(), [](const std::string& l) { return l.ends_with(" main"); }))
      << section.back();
}

// crashdemo starts its workers in a function it inlines into a lambda that
// Qt's slot template calls: the creation site is that function's call in
// crashdemo's own source, not a line of the Qt header around it.
TEST(CrashdemoStack, ACreationSiteInInlinedCodeNamesTheProgramsOwnLine) {
  const DemoRun run = RunCrashDemo("thread-segv", DemoOptions{"close", {}, 40, true});
  ASSERT_FALSE(run.Hung);
  const std::vector<std::string> section = SectionLines(run.BugReport, "");
  ASSERT_GE(section.size(), 2u);
  ASSERT_EQ(section[section.size() - 2].rfind(">> created by main thread", 0), 0u) << Joined(section);
  // The line that calls pthread_create in crashdemo's main.cpp.
  std::string source = CRASHDEMO_CHAIN_SOURCE;
  source.replace(source.rfind('/') + 1, std::string::npos, "main.cpp");
  std::ifstream in(source);
  int line = 0, createLine = 0;
  for (std::string text; createLine == 0 && std::getline(in, text);) {
    ++line;
    if (text.find("pthread_create(&thread") != std::string::npos) createLine = line;
  }
  ASSERT_GT(createLine, 0) << source;
  // The unit column: crashdemo's main.cpp (with or without its extension).
  const std::string& site = section.back();
  EXPECT_TRUE(std::regex_search(site, std::regex(" crashdemo +main(\\.cpp)? +" + std::to_string(createLine) + " ")))
      << site;
}

// What only a report needs is loaded when a report is made: a started
// program has not mapped the symbol, disassembly and device libraries, and
// its report still has lines and a hardware list (a fault's disassembly is
// checked with the report's sections).
TEST(CrashdemoStartup, TheReportsLibrariesAreLoadedOnlyWhenAReportIsMade) {
  const char* const kLibraries[] = {"/libdw", "/libcapstone", "/libudev"};
  std::vector<std::string> mappedAtStart;
  bool looked = false;
  DemoOptions options;
  options.Env = {"CRASHDEMO_FREEZE_TIMEOUT=3000"};
  options.Answers = "close";
  // Looked at while the main thread is frozen and before the freeze is told.
  options.Watch = [&](pid_t demo, const std::vector<DemoLine>& lines) {
    if (looked || lines.empty() || lines.back().Kind != "start") return;
    looked = true;
    const std::string maps = TempDir::Read("/proc/" + std::to_string(demo) + "/maps");
    for (const char* library : kLibraries)
      if (maps.find(library) != std::string::npos) mappedAtStart.push_back(library);
  };
  const DemoRun run = RunCrashDemo("freeze", options);
  ASSERT_FALSE(run.Hung);
  ASSERT_TRUE(looked);
  EXPECT_TRUE(mappedAtStart.empty()) << testing::PrintToString(mappedAtStart);
  ASSERT_EQ(run.Of("present").size(), 1u);
  const std::string& r = run.BugReport;
  EXPECT_TRUE(std::regex_search(r, std::regex(" crashdemo +main(\\.cpp)? +[0-9]+ "))) << r.substr(0, 3000);
  EXPECT_NE(r.find("\r\n\r\nhardware:"), std::string::npos);
}
