// Saving a report into a 100 KB bug-report file that holds an earlier report
// of the same failure (found, taken out, counted, the file rewritten safely),
// side by side with the least any save costs: appending the same report to
// the same file and syncing it. The summary gives the time per save and the
// ratio of the two (1 would mean the merge costs nothing on top).
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <map>
#include <string>

#include "crash/delivery/CDBugRepFile.h"
#include "crash/report/CDReportText.h"

namespace {

std::string Report(const std::string& crc, const std::string& stamp) {
  std::string stack;
  for (int i = 0; i < 40; ++i)
    stack += "00000000004" + std::to_string(10000 + i) + " +0012 Pinmark frmPinmark " + std::to_string(100 + i) +
             " +3 TFormMain::Handler" + std::to_string(i) + "\r\n";
  return RenderBugReport({{"date/time", stamp},
                          {"executable", "Pinmark"},
                          {"exec. date/time", "2024-05-01 12:00"},
                          {"version", "1.0.0.2"},
                          {"callstack crc", crc},
                          {"exception number", "1"},
                          {"exception class", "EIdSocketError"},
                          {"exception message", "Socket Error # 10061 Connection refused."}},
                         {{"main thread ($1):", stack}});
}

struct Fixture {
  std::filesystem::path dir;
  std::string file;
  std::string content;  // 100 KB of reports, the duplicate among the first ones
  std::string report;

  Fixture() {
    dir = std::filesystem::temp_directory_path() / ("pinmark-bench-" + std::to_string(getpid()));
    std::filesystem::create_directories(dir);
    file = (dir / "bugreport.txt").string();
    report = Report("$11111111, $22222222, $33333333", "2024-05-06, 07:08:09, 10ms");
    content = Report("$11111111, $22222222, $33333333", "2024-05-05, 01:00:00, 1ms") + "\r\n\r\n";
    for (int i = 0; content.size() < 100000; ++i)
      content += Report("$" + std::to_string(20000000 + i) + ", $00000000, $00000000", "2024-05-05") + "\r\n\r\n";
  }
  ~Fixture() { std::filesystem::remove_all(dir); }
  void Reset() const {
    std::ofstream out(file, std::ios::binary | std::ios::trunc);
    out << content;
  }
};

Fixture& Files() {
  static Fixture f;
  return f;
}

void BM_Save_Merge(benchmark::State& state) {
  Fixture& f = Files();
  TCDSaveRules rules;
  rules.SizeLimit = 200000;
  rules.DuplicateKey = "$11111111, $22222222";
  for (auto _ : state) {
    state.PauseTiming();
    f.Reset();
    state.ResumeTiming();
    if (!SaveBugReportFile(f.file, f.report, rules)) state.SkipWithError("save failed");
  }
  state.SetItemsProcessed(state.iterations());
}

void BM_Save_PlainAppend(benchmark::State& state) {
  Fixture& f = Files();
  for (auto _ : state) {
    state.PauseTiming();
    f.Reset();
    state.ResumeTiming();
    int fd = ::open(f.file.c_str(), O_WRONLY | O_APPEND | O_CLOEXEC);
    std::string entry = f.report + "\r\n\r\n";
    bool ok = fd >= 0 && ::write(fd, entry.data(), entry.size()) == static_cast<ssize_t>(entry.size()) &&
              ::fsync(fd) == 0;
    if (fd >= 0) ::close(fd);
    if (!ok) state.SkipWithError("append failed");
  }
  state.SetItemsProcessed(state.iterations());
}

BENCHMARK(BM_Save_Merge)->MinTime(2.0)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_Save_PlainAppend)->MinTime(2.0)->Unit(benchmark::kMillisecond)->UseRealTime();

class RateReporter : public benchmark::ConsoleReporter {
 public:
  void ReportRuns(const std::vector<Run>& runs) override {
    for (const Run& run : runs) {
      auto it = run.counters.find("items_per_second");
      if (it != run.counters.end()) rates[run.run_name.function_name] = it->second.value;
    }
    ConsoleReporter::ReportRuns(runs);
  }
  std::map<std::string, double> rates;
};

}  // namespace

int main(int argc, char** argv) {
  benchmark::Initialize(&argc, argv);
  RateReporter reporter;
  benchmark::RunSpecifiedBenchmarks(&reporter);
  double merge = reporter.rates["BM_Save_Merge"], append = reporter.rates["BM_Save_PlainAppend"];
  if (merge > 0 && append > 0)
    std::printf("\nsave with duplicate merge into 100 KB: %.3f ms per save; plain append + fsync: %.3f ms; "
                "merge / append time: %.2f\n",
                1000.0 / merge, 1000.0 / append, append / merge);
  return 0;
}
