// Whole reports of this test process: the crashed thread's known call chain,
// a parked worker's section with its creation site, the main thread beside
// a crashed worker, and the completion on a thread of its own.
#include <gtest/gtest.h>
#include <sys/resource.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <csignal>
#include <chrono>
#include <memory>
#include <stdexcept>
#include <thread>

#include "crash/report/CDPluginRegistry.h"
#include "crash/report/CDReportComposer.h"
#include "crash/report/CDReportFormat.h"
#include "runtime/SysUtils.h"
#include "tests/crash/report/CDCallChain.h"
#include "crash/snapshot/CDThreadContextSource.h"

namespace {

class TFixedRegistry : public ICDThreadRegistryView {
 public:
  std::vector<TCDThreadRegEntry> Entries;
  bool Locked = true;
  bool Snapshot(std::chrono::milliseconds, std::vector<TCDThreadRegEntry>& entries) const override {
    entries = Entries;
    return Locked;
  }
};

std::vector<std::string> Lines(const std::string& text) {
  std::vector<std::string> out;
  std::size_t start = 0;
  while (start <= text.size()) {
    std::size_t end = text.find("\r\n", start);
    out.push_back(text.substr(start, end == std::string::npos ? std::string::npos : end - start));
    if (end == std::string::npos) break;
    start = end + 2;
  }
  return out;
}

// The line of a call stack that names the function, or "".
std::string LineWith(const std::string& section, const std::string& function) {
  for (const std::string& l : Lines(section))
    if (l.find(" " + function) != std::string::npos && l.find(">>") != 0) return l;
  return std::string();
}

// The call-stack columns of one line: module, unit, line, relative line, function.
void ExpectFrame(const std::string& section, const std::string& function, int line) {
  std::string l = LineWith(section, function);
  ASSERT_FALSE(l.empty()) << function << " missing in:\n" << section;
  EXPECT_NE(l.find(" CDCallChain.cpp "), std::string::npos) << l;
  EXPECT_NE(l.find(" " + std::to_string(line) + " "), std::string::npos) << "line " << line << " in: " << l;
}

// A worker thread parked in ParkOuter -> ParkInner for the length of a test.
class TParkedWorker {
 public:
  TParkedWorker() : thread_([this] { ParkOuter(release_, id_, Lines); }) {
    while (id_ == 0) std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  ~TParkedWorker() {
    release_ = true;
    thread_.join();
  }
  pid_t Id() const { return id_; }
  std::string HexId() const { return Format("%x", id_.load()); }

  TCDChainLines Lines;

 private:
  std::atomic<bool> release_{false};
  std::atomic<pid_t> id_{0};
  std::thread thread_;
};

TCDReportInput BaseInput() {
  TCDReportInput in;
  in.Plugins = "";
  in.ExceptionClass = "EAccessViolation";
  in.ExceptionMessage = "Access violation at address 0";
  in.ExceptionNumber = 1;
  return in;
}

// Composes the report of this thread at the fault in ChainInner, at once,
// with the input adjusted first.
std::unique_ptr<TCDReportComposer> ComposeAtFault(TCDReport& report, TCDChainLines& lines,
                                                  const std::function<void(TCDReportInput&)>& adjust = {}) {
  std::unique_ptr<TCDReportComposer> composer;
  ChainOuter(
      [&](const TCDContext& context) {
        TCDReportInput in = BaseInput();
        in.Context = context;
        in.ExceptionAddress = context.Rip;
        in.StackPointer = context.Rsp;
        in.ListThreads = false;
        if (adjust) adjust(in);
        composer = StartBugReport(report, std::move(in), false);
      },
      lines);
  return composer;
}

}  // namespace

TEST(CDReportComposer, AKnownCallChainAppearsInTheCrashedThreadWithUnitsFunctionsAndLines) {
  TCDReport report;
  TCDChainLines lines;
  auto composer = ComposeAtFault(report, lines);
  ASSERT_TRUE(report.Complete());
  std::vector<TCDField> sections = report.Sections.Items();
  ASSERT_FALSE(sections.empty());
  EXPECT_EQ(sections[0].Name, "main thread ($" + Format("%x", getpid()) + "):");
  const std::string& stack = sections[0].Content;
  ExpectFrame(stack, "ChainInner(", lines.Inner);
  ExpectFrame(stack, "ChainMiddle(", lines.Middle);
  ExpectFrame(stack, "ChainOuter(", lines.Outer);
  // The test's own frames follow beyond the signal frame.
  EXPECT_NE(stack.find("CDReportComposer_AKnownCallChain"), std::string::npos) << stack;
  // Innermost first.
  EXPECT_LT(stack.find("ChainInner("), stack.find("ChainMiddle("));
  EXPECT_LT(stack.find("ChainMiddle("), stack.find("ChainOuter("));
  // The exception location is the first line.
  EXPECT_EQ(Lines(stack)[0], LineWith(stack, "ChainInner("));

  std::string text = report.Text();
  EXPECT_NE(text.find("\r\n\r\ncpu registers:\r\nrax = "), std::string::npos);
  EXPECT_NE(text.find("\r\n\r\nstack dump:\r\n"), std::string::npos);
  EXPECT_NE(text.find("\r\n\r\ndisassembling:\r\n"), std::string::npos);
  std::string crc = report.Header.Get("callstack crc");
  EXPECT_EQ(crc.size(), 31u) << crc;
  EXPECT_EQ(report.Header.Get("exception class"), "EAccessViolation");
  EXPECT_EQ(report.Outstanding(), 0);
}

TEST(CDReportComposer, AWorkerSectionShowsItsChainAndWhoCreatedItWhere) {
  const uint64_t creationSite = reinterpret_cast<uint64_t>(&ChainOuter) + 4;
  TParkedWorker worker;

  auto registry = std::make_shared<TFixedRegistry>();
  registry->Entries.push_back(TCDThreadRegEntry{worker.Id(), "parked worker", "", getpid(), creationSite, false});
  TCDReport report;
  TCDReportInput in = BaseInput();
  in.Threads = registry;
  in.Contexts = std::make_shared<TCDThreadContextSource>();
  auto composer = StartBugReport(report, std::move(in), false);

  const std::string name = "parked worker ($" + worker.HexId() + "):";
  ASSERT_TRUE(report.Sections.Has(name)) << report.Text();
  const std::string stack = report.Sections.Get(name);
  ExpectFrame(stack, "ParkInner(", worker.Lines.Inner);
  ExpectFrame(stack, "ParkOuter(", worker.Lines.Outer);
  std::vector<std::string> l = Lines(stack);
  ASSERT_GE(l.size(), 3u);
  EXPECT_EQ(l[l.size() - 2], ">> created by main thread ($" + Format("%x", getpid()) + ") at:");
  EXPECT_NE(l.back().find(" ChainOuter("), std::string::npos) << l.back();
  EXPECT_EQ(l.back().find(HexAddress(creationSite)), 0u) << l.back();
}

TEST(CDReportComposer, TheMainThreadFollowsACrashedWorkerAndCompletionRunsOnItsOwnThread) {
  TParkedWorker worker;

  auto stopper = std::make_shared<TCDThreadContextSource>();
  TCDReport report;
  TCDReportInput in = BaseInput();
  in.CrashedThreadId = worker.Id();
  in.Contexts = stopper;
  in.Plugins = "modules|nosuchplugin";
  TCDPluginRegistry plugins;
  RegisterSystemListPlugins(plugins);
  in.PluginRegistry = &plugins;
  std::atomic<int> changes{0}, completions{0}, lastOverall{-1};
  std::atomic<bool> progressRose{true};
  in.Progress = [&](const TCDReportProgress& p) {
    if (p.Overall < lastOverall) progressRose = false;
    lastOverall = p.Overall;
  };
  report.OnChange([&] { ++changes; });
  report.OnComplete([&] { ++completions; });
  auto composer = StartBugReport(report, std::move(in), true);
  EXPECT_TRUE(composer->CompleteNow({}, 10000));

  std::vector<TCDField> sections = report.Sections.Items();
  ASSERT_GE(sections.size(), 3u);
  EXPECT_EQ(sections[0].Name, "thread $" + worker.HexId() + ":");
  EXPECT_EQ(sections[1].Name, "main thread ($" + Format("%x", getpid()) + "):");
  ExpectFrame(sections[0].Content, "ParkOuter(", worker.Lines.Outer);
  // The test's own frames sit below where the main thread was stopped.
  EXPECT_NE(sections[1].Content.find("CDReportComposer_TheMainThreadFollows"), std::string::npos)
      << sections[1].Content;
  EXPECT_TRUE(report.Sections.Has("modules"));
  EXPECT_FALSE(report.Sections.Has("nosuchplugin"));
  EXPECT_NE(report.Header.Get("callstack crc"), "will be calculated soon");
  EXPECT_EQ(completions, 1);
  EXPECT_GT(changes, 4);
  EXPECT_TRUE(progressRose);
  EXPECT_EQ(lastOverall, 1000);
}

TEST(CDReportComposer, AWorkerThatCannotBeStoppedKeepsItsSectionAsNotAccessible) {
  TParkedWorker worker;
  auto registry = std::make_shared<TFixedRegistry>();
  registry->Locked = false;  // the registry's lock is held elsewhere: names fall back to ids
  TCDReport report;
  TCDReportInput in = BaseInput();
  in.Threads = registry;
  auto composer = StartBugReport(report, std::move(in), false);
  EXPECT_EQ(report.Sections.Get("thread $" + worker.HexId() + ":"), ">> stack not accessible");
  EXPECT_TRUE(report.Sections.Has("thread $" + Format("%x", getpid()) + ":"));
}

TEST(CDReportComposer, FailuresOfPluginsRegistryAndContextSourceStayInsideTheReport) {
  struct TThrowingRegistry : ICDThreadRegistryView {
    bool Snapshot(std::chrono::milliseconds, std::vector<TCDThreadRegEntry>&) const override {
      throw std::runtime_error("registry");
    }
  };
  struct TThrowingContexts : ICDThreadContextSource {
    bool Stop(pid_t, TCDContext&) override { throw std::runtime_error("stop"); }
    void Resume(pid_t) override {}
  };
  TParkedWorker worker;

  TCDPluginRegistry plugins;
  plugins.Register(TCDPlugin{"broken", "throws", []() -> std::string { throw std::runtime_error("x"); }, true});
  plugins.Register(TCDPlugin{"line", "header line", []() -> std::string { throw 42; }, false});
  TCDReport report;
  TCDReportInput in = BaseInput();
  in.Plugins = "broken|line";
  in.PluginRegistry = &plugins;
  in.Threads = std::make_shared<TThrowingRegistry>();
  in.Contexts = std::make_shared<TThrowingContexts>();
  auto composer = StartBugReport(report, std::move(in), true);
  EXPECT_TRUE(composer->CompleteNow({}, 10000));
  EXPECT_EQ(report.Sections.Get("broken"), ">> internal error in plugin");
  EXPECT_EQ(report.Header.Get("line"), ">> internal error in plugin");
  EXPECT_EQ(report.Sections.Get("thread $" + worker.HexId() + ":"), ">> stack not accessible");
  // The crashed thread (this one) is still traced.
  EXPECT_NE(report.Sections.Get("thread $" + Format("%x", getpid()) + ":").find("TestBody"), std::string::npos);
}

TEST(CDReportComposer, AnAbortedCompletionIsFinishedByWhoeverNeedsTheReport) {
  TCDPluginRegistry plugins;
  std::atomic<bool> entered{false}, proceed{false};
  plugins.Register(TCDPlugin{"slow", "waits", [&]() -> std::string {
                               entered = true;
                               while (!proceed) std::this_thread::sleep_for(std::chrono::milliseconds(1));
                               return "done";
                             },
                             true});
  TCDReport report;
  TCDReportInput in = BaseInput();
  in.Plugins = "slow";
  in.PluginRegistry = &plugins;
  in.ListThreads = false;
  auto composer = StartBugReport(report, std::move(in), true);
  while (!entered) std::this_thread::sleep_for(std::chrono::milliseconds(1));
  composer->Abort();
  proceed = true;
  int pumps = 0;
  EXPECT_TRUE(composer->CompleteNow([&] { ++pumps; }, 10000));
  EXPECT_EQ(report.Sections.Get("slow"), "done");
  EXPECT_NE(report.Header.Get("callstack crc"), "will be calculated soon");
}

namespace {

volatile bool gTrapInPlugin = true;

// What the crash reporter's handler of synchronous faults does first.
void OfferFault(int signal, siginfo_t* info, void* context) {
  CDRecoverGuardedFault(signal, info, context);
  std::signal(signal, SIG_DFL);  // not ours: fail the way it would have
}

class TFaultHandler {
 public:
  TFaultHandler() {
    struct sigaction sa {};
    sa.sa_sigaction = OfferFault;
    sa.sa_flags = SA_SIGINFO | SA_NODEFER;
    sigemptyset(&sa.sa_mask);
    sigaction(SIGILL, &sa, &old_);
  }
  ~TFaultHandler() { sigaction(SIGILL, &old_, nullptr); }

 private:
  struct sigaction old_ {};
};

[[gnu::noinline]] std::string TrappingList() {
  if (gTrapInPlugin) __builtin_trap();
  return "never";
}

}  // namespace

TEST(CDStepGuard, AFaultInsideAGuardedStepReturnsWithItsAddressAndStep) {
  TFaultHandler handler;
  TCDStepFault fault;
  bool innerRan = false;
  EXPECT_TRUE(RunFaultGuarded([&] { innerRan = true; }, fault));
  EXPECT_TRUE(innerRan);
  EXPECT_FALSE(RunFaultGuarded(
      [] {
        TCDStepName step("InDeepChecks");
        TCDStepFault unused;
        RunFaultGuarded([] { TrappingList(); }, unused);  // nested: the outer guard takes it
      },
      fault));
  EXPECT_EQ(fault.Signal, SIGILL);
  EXPECT_STREQ(fault.Step, "InDeepChecks");
  TCDSymbolizer symbols;
  EXPECT_NE(symbols.Resolve(fault.Address).Function.find("TrappingList"), std::string::npos);
}

TEST(CDReportComposer, APluginThatFaultsLeavesAnInternalErrorWithTheFaultingAddress) {
  TFaultHandler handler;
  TCDPluginRegistry plugins;
  plugins.Register(TCDPlugin{"trapping", "faults", TrappingList, true});
  TCDReport report;
  TCDReportInput in = BaseInput();
  in.Plugins = "trapping";
  in.PluginRegistry = &plugins;
  in.ListThreads = false;
  auto composer = StartBugReport(report, std::move(in), true);
  EXPECT_TRUE(composer->CompleteNow({}, 10000));
  const std::string text = report.Sections.Get("trapping");
  EXPECT_EQ(text.rfind(">> internal error in plugin:\r\n", 0), 0u) << text;
  EXPECT_NE(text.find("TrappingList"), std::string::npos) << text;
}

TEST(CDReportComposer, SectionNamesCarryClassSuspensionAndPriority) {
  TParkedWorker named, plain;
  // Five below the process, whatever nice value the test runs with.
  errno = 0;
  const int base = getpriority(PRIO_PROCESS, 0);
  ASSERT_EQ(errno, 0);
  if (base > 14) GTEST_SKIP() << "the test runs at nice " << base << ": no room below";
  ASSERT_EQ(setpriority(PRIO_PROCESS, static_cast<id_t>(plain.Id()), base + 5), 0);
  auto registry = std::make_shared<TFixedRegistry>();
  registry->Entries.push_back(TCDThreadRegEntry{named.Id(), "poller", "TPollThread", 0, 0, true});
  registry->Entries.push_back(TCDThreadRegEntry{plain.Id(), "", "TWorkerThread", 0, 0, false});
  TCDReport report;
  TCDReportInput in = BaseInput();
  in.Threads = registry;
  auto composer = StartBugReport(report, std::move(in), false);
  EXPECT_TRUE(report.Sections.Has("poller ($" + named.HexId() + "): <suspended>"));
  EXPECT_TRUE(report.Sections.Has("thread $" + plain.HexId() + " (TWorkerThread): <priority:-5>"));
}

TEST(CDReportComposer, HidingUglyItemsKeepsOnlyLinesWithSourceLines) {
  TCDReport report;
  TCDChainLines lines;
  auto composer = ComposeAtFault(report, lines, [](TCDReportInput& in) {
    in.HideUglyItems = true;
    in.ShowRelAddrs = false;
    in.ShowRelLines = false;
  });
  const std::string stack = report.Sections.Items().at(0).Content;
  ExpectFrame(stack, "ChainMiddle(", lines.Middle);
  EXPECT_EQ(stack.find("libc.so.6"), std::string::npos) << stack;
  EXPECT_EQ(stack.find(" +"), std::string::npos) << stack;  // neither relative column
}
