// A complete bug report (all sections, every stack symbolised, the three
// system lists) for a process with 20 threads (or as many as asked), side by side in one run with
// two peers on the same kind of process, each run the same way (attached to
// it from outside, every thread walked, left again): gdb's "thread apply all
// bt" and elfutils' eu-stack. Our time from the request to "complete", each
// peer's whole run, and the peak memory the report needs on top of what the
// process already used.
//
//   build/bin/crashreport_bench [runs] [threads]
#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <ucontext.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "crash/report/CDPluginRegistry.h"
#include "crash/report/CDReportComposer.h"
#include "crash/snapshot/CDThreadContextSource.h"

namespace {

int gThreads = 20;
volatile int gSink = 0;
std::atomic<bool> gRelease{false};

// Every thread parks a few calls deep, as a program's threads wait in their
// loops.
[[gnu::noinline]] void ParkLevel(int depth) {
  if (depth > 0) {
    ParkLevel(depth - 1);
  } else {
    while (!gRelease) std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  gSink = gSink + 1;
}

std::vector<std::thread> StartParkedThreads(std::vector<pid_t>& ids) {
  std::atomic<int> ready{0};
  ids.assign(gThreads, 0);
  std::vector<std::thread> threads;
  for (int i = 0; i < gThreads; ++i)
    threads.emplace_back([&ids, &ready, i] {
      ids[i] = gettid();
      ++ready;
      ParkLevel(4 + i % 5);
    });
  while (ready < gThreads) std::this_thread::sleep_for(std::chrono::milliseconds(1));
  return threads;
}

class TNamedThreads : public ICDThreadRegistryView {
 public:
  std::vector<TCDThreadRegEntry> Entries;
  bool Snapshot(std::chrono::milliseconds, std::vector<TCDThreadRegEntry>& entries) const override {
    entries = Entries;
    return true;
  }
};

long StatusKiB(const char* key) {
  std::ifstream in("/proc/self/status");
  std::string line;
  while (std::getline(in, line))
    if (line.rfind(key, 0) == 0) return std::atol(line.c_str() + std::string(key).size());
  return -1;
}

struct TOurRun {
  double Ms = 0;
  long ExtraKiB = 0;
  std::size_t Bytes = 0;
};

[[gnu::noinline]] TOurRun OurReport(const std::shared_ptr<const ICDThreadRegistryView>& names,
                                    const std::shared_ptr<ICDThreadContextSource>& stopper) {
  ucontext_t uc;
  getcontext(&uc);
  TCDReportInput in;
  in.Context = ContextFromUcontext(uc);
  in.ExceptionAddress = in.Context.Rip;
  in.StackPointer = in.Context.Rsp;
  in.ExceptionClass = "EAccessViolation";
  in.ExceptionMessage = "Access violation";
  in.ExceptionNumber = 1;
  in.Plugins = "modules|processes|hardware";
  in.Threads = names;
  in.Contexts = stopper;

  // The peak resident size starts again from the present one.
  { std::ofstream("/proc/self/clear_refs") << "5"; }
  const long before = StatusKiB("VmRSS:");
  TOurRun run;
  TCDReport report;
  auto start = std::chrono::steady_clock::now();
  std::unique_ptr<TCDReportComposer> composer = StartBugReport(report, std::move(in), true);
  composer->CompleteNow();
  run.Ms = std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start).count();
  run.ExtraKiB = StatusKiB("VmHWM:") - before;
  run.Bytes = report.Text().size();
  return run;
}

// The same kind of process for the peers: as many parked threads; it says "ready" and
// lives until its standard input closes.
int ParkedProcess() {
  std::vector<pid_t> ids;
  std::vector<std::thread> threads = StartParkedThreads(ids);
  std::printf("ready\n");
  std::fflush(stdout);
  char c;
  while (read(0, &c, 1) > 0) {
  }
  gRelease = true;
  for (std::thread& t : threads) t.join();
  return 0;
}

struct TPeer {
  const char* Name;
  std::vector<std::string> Args;  // "PID" stands for the process's id
  const char* ThreadMark;         // what opens each thread in its output
};

// Milliseconds of one whole peer run against the process, -1 when it failed.
double PeerRun(const TPeer& peer, pid_t target, std::size_t& threadsSeen) {
  int out[2];
  if (pipe(out) != 0) return -1;
  auto start = std::chrono::steady_clock::now();
  pid_t child = fork();
  if (child == 0) {
    dup2(out[1], 1);
    int null = open("/dev/null", O_WRONLY);
    dup2(null, 2);
    close(out[0]);
    std::vector<std::string> args = peer.Args;
    for (std::string& a : args)
      if (a == "PID") a = std::to_string(target);
    std::vector<char*> argv;
    for (std::string& a : args) argv.push_back(a.data());
    argv.push_back(nullptr);
    execvp(argv[0], argv.data());
    _exit(127);
  }
  close(out[1]);
  std::string text;
  char buffer[65536];
  for (ssize_t n; (n = read(out[0], buffer, sizeof buffer)) > 0;) text.append(buffer, static_cast<std::size_t>(n));
  close(out[0]);
  int status = 0;
  waitpid(child, &status, 0);
  double ms = std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start).count();
  threadsSeen = 0;
  const std::string mark = std::string("\n") + peer.ThreadMark;
  text.insert(0, "\n");
  for (std::size_t at = text.find(mark); at != std::string::npos; at = text.find(mark, at + 1)) ++threadsSeen;
  return WIFEXITED(status) && WEXITSTATUS(status) == 0 && threadsSeen > 0 ? ms : -1;
}

double Median(std::vector<double> v) {
  std::sort(v.begin(), v.end());
  return v.empty() ? 0 : v[v.size() / 2];
}

}  // namespace

int main(int argc, char** argv) {
  if (argc > 2) gThreads = std::max(1, std::atoi(argv[2]));
  if (argc > 1 && std::string(argv[1]) == "--parked") return ParkedProcess();
  const int runs = argc > 1 ? std::max(1, std::atoi(argv[1])) : 5;

  // Ours: this process, its parked threads and the main thread.
  std::vector<pid_t> ids;
  std::vector<std::thread> threads = StartParkedThreads(ids);
  auto names = std::make_shared<TNamedThreads>();
  for (int i = 0; i < gThreads; ++i)
    names->Entries.push_back(TCDThreadRegEntry{ids[i], "worker " + std::to_string(i), "", getpid(), 0, false});
  auto stopper = std::make_shared<TCDThreadContextSource>();
  RegisterSystemListPlugins();
  std::vector<double> ours;
  long extraKiB = 0;
  std::size_t bytes = 0;
  for (int i = 0; i < runs; ++i) {
    TOurRun r = OurReport(names, stopper);
    ours.push_back(r.Ms);
    extraKiB = std::max(extraKiB, r.ExtraKiB);
    bytes = r.Bytes;
  }
  gRelease = true;
  for (std::thread& t : threads) t.join();

  // The peers: a process of the same kind, attached to, walked and left
  // again, turn about, so that both meet the machine as it is.
  const std::vector<TPeer> peers{
      {"gdb", {"gdb", "-batch", "-nx", "-p", "PID", "-ex", "thread apply all bt"}, "Thread "},
      {"eu-stack", {"eu-stack", "-p", "PID"}, "TID "},
  };
  int in[2], out[2];
  if (pipe(in) != 0 || pipe(out) != 0) return 1;
  pid_t parked = fork();
  if (parked == 0) {
    dup2(in[0], 0);
    dup2(out[1], 1);
    close(in[1]);
    close(out[0]);
    const std::string count = std::to_string(gThreads);
    execl("/proc/self/exe", argv[0], "--parked", count.c_str(), static_cast<char*>(nullptr));
    _exit(127);
  }
  close(in[0]);
  close(out[1]);
  char ready[16] = {};
  if (read(out[0], ready, sizeof ready - 1) <= 0) return 1;
  std::vector<std::vector<double>> times(peers.size());
  std::vector<std::size_t> threadsSeen(peers.size(), 0);
  for (int i = 0; i < runs; ++i)
    for (std::size_t p = 0; p < peers.size(); ++p) {
      double ms = PeerRun(peers[p], parked, threadsSeen[p]);
      if (ms >= 0) times[p].push_back(ms);
    }
  close(in[1]);
  waitpid(parked, nullptr, 0);

  std::printf("complete report, %d threads + main, %d runs (median):\n", gThreads, runs);
  std::printf("  ours:     %8.1f ms  (first %.1f ms, %zu bytes of report)\n", Median(ours), ours.front(), bytes);
  for (std::size_t p = 0; p < peers.size(); ++p) {
    if (times[p].empty()) {
      std::printf("  %-9s did not run (is it installed, and may this user attach to processes?)\n",
                  (std::string(peers[p].Name) + ":").c_str());
      continue;
    }
    std::printf("  %-9s %8.1f ms  (%zu threads listed)\n", (std::string(peers[p].Name) + ":").c_str(),
                Median(times[p]), threadsSeen[p]);
    std::printf("  %s / ours: %.1f (above 1 means ours is faster)\n", peers[p].Name, Median(times[p]) / Median(ours));
  }
  std::printf("peak extra memory of building the report: %ld KiB\n", extraKiB);
  return 0;
}
