// Our HTTP client side by side with libcurl against the same in-process
// loopback server, in clear text and over HTTPS (both clients on the same
// OpenSSL). Each pair runs five times, ours and libcurl's runs alternating
// (ours first in odd rounds, libcurl's in even ones), so that a machine that
// gets busier or quieter meanwhile weighs on both alike; the summary gives
// the median of the five ratios ours / libcurl for each pair.
//
//   build/bin/http_bench                  every pair, then the memory figures
//   build/bin/http_bench Chunked Length   only the pairs named
#include <benchmark/benchmark.h>
#include <curl/curl.h>
#include <sys/ptrace.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <csignal>
#include <cstdio>
#include <fstream>
#include <string>
#include <utility>
#include <vector>

#include "bench/BenchServer.h"
#include "http/exchange/IdHTTP.h"
#include "http/tls/IdTlsIOHandler.h"
#include "tests/support/TlsTestAuthority.h"

namespace {
BenchServer* server = nullptr;
// The same answers over HTTPS, with a certificate of a throw-away authority.
BenchServer* tlsServer = nullptr;
std::string caFile;

// For an https server, the TLS handler the program attaches, trusting the authority.
void UseServer(TIdHTTP& http, const BenchServer& at) {
  if (!at.Tls()) return;
  auto handler = std::make_unique<TIdTlsIOHandler>();
  handler->CACertFile = caFile;
  http.SetIOHandler(std::move(handler));
}

void UseServer(CURL* curl, const BenchServer& at) {
  if (at.Tls()) curl_easy_setopt(curl, CURLOPT_CAINFO, caFile.c_str());
}

// Counts what it is given and keeps nothing.
class TDiscardStream : public TStream {
 public:
  int64_t Read(void*, int64_t) override { return 0; }
  int64_t Write(const void*, int64_t count) override {
    position_ += count;
    return count;
  }
  int64_t Seek(int64_t offset, TSeekOrigin origin) override {
    position_ = origin == TSeekOrigin::soBeginning ? offset : position_ + offset;
    return position_;
  }
  void SetSize(int64_t) override {}
  int64_t Size() override { return position_; }

 private:
  int64_t position_ = 0;
};

size_t CurlDiscard(char*, size_t size, size_t n, void* total) {
  *static_cast<int64_t*>(total) += static_cast<int64_t>(size * n);
  return size * n;
}

size_t CurlCollect(char* data, size_t size, size_t n, void* out) {
  static_cast<std::string*>(out)->append(data, size * n);
  return size * n;
}

// (a) The program's check-in: a fresh client and a new connection per request.
const char kCheckInPath[] = "/includes/r_update.php?userid=u&enc=d41d8cd98f00b204e9800998ecf8427e&node=n";

void CheckIn_Pinmark(benchmark::State& state, const BenchServer& at) {
  const std::string url = at.Url(kCheckInPath);
  for (auto _ : state) {
    TIdHTTP http;
    UseServer(http, at);
    std::string body = http.PostFormText(url, nullptr);
    if (body != "127.0.0.1") state.SkipWithError("wrong answer");
  }
  state.SetItemsProcessed(state.iterations());
}

void CheckIn_Curl(benchmark::State& state, const BenchServer& at) {
  const std::string url = at.Url(kCheckInPath);
  for (auto _ : state) {
    CURL* curl = curl_easy_init();
    std::string body;
    curl_easy_setopt(curl, CURLOPT_URL, url.c_str());
    curl_easy_setopt(curl, CURLOPT_POSTFIELDS, "");
    curl_easy_setopt(curl, CURLOPT_HTTP_VERSION, CURL_HTTP_VERSION_1_0);
    curl_easy_setopt(curl, CURLOPT_WRITEFUNCTION, CurlCollect);
    curl_easy_setopt(curl, CURLOPT_WRITEDATA, &body);
    UseServer(curl, at);
    if (curl_easy_perform(curl) != CURLE_OK || body != "127.0.0.1") state.SkipWithError("curl failed");
    curl_easy_cleanup(curl);
  }
  state.SetItemsProcessed(state.iterations());
}

// (b) and (c): 256 MiB by length and chunked, into a stream that discards it.
void Download_Pinmark(benchmark::State& state, const BenchServer& at, const char* path) {
  for (auto _ : state) {
    TIdHTTP http;
    UseServer(http, at);
    TDiscardStream sink;
    http.Get(at.Url(path), sink);
    if (sink.Size() != BenchServer::kBigBody) state.SkipWithError("short body");
  }
  state.SetBytesProcessed(state.iterations() * BenchServer::kBigBody);
}

void Download_Curl(benchmark::State& state, const BenchServer& at, const char* path) {
  for (auto _ : state) {
    CURL* curl = curl_easy_init();
    int64_t total = 0;
    curl_easy_setopt(curl, CURLOPT_URL, at.Url(path).c_str());
    curl_easy_setopt(curl, CURLOPT_WRITEFUNCTION, CurlDiscard);
    curl_easy_setopt(curl, CURLOPT_WRITEDATA, &total);
    UseServer(curl, at);
    if (curl_easy_perform(curl) != CURLE_OK || total != BenchServer::kBigBody) state.SkipWithError("curl failed");
    curl_easy_cleanup(curl);
  }
  state.SetBytesProcessed(state.iterations() * BenchServer::kBigBody);
}

// (e) A body of one million one-byte chunks, into a string as the program's PostFormText reads it.
void BM_TinyChunks_Pinmark(benchmark::State& state) {
  for (auto _ : state) {
    TIdHTTP http;
    TStringStream out;
    http.Get(server->Url("/tinychunks"), out);
    if (out.Size() != BenchServer::kTinyChunks) state.SkipWithError("short body");
  }
  state.SetItemsProcessed(state.iterations());
}

void BM_TinyChunks_Curl(benchmark::State& state) {
  for (auto _ : state) {
    CURL* curl = curl_easy_init();
    std::string body;
    curl_easy_setopt(curl, CURLOPT_URL, server->Url("/tinychunks").c_str());
    curl_easy_setopt(curl, CURLOPT_WRITEFUNCTION, CurlCollect);
    curl_easy_setopt(curl, CURLOPT_WRITEDATA, &body);
    if (curl_easy_perform(curl) != CURLE_OK || body.size() != BenchServer::kTinyChunks) state.SkipWithError("curl failed");
    curl_easy_cleanup(curl);
  }
  state.SetItemsProcessed(state.iterations());
}

void BM_CheckIn_Pinmark(benchmark::State& state) { CheckIn_Pinmark(state, *server); }
void BM_CheckIn_Curl(benchmark::State& state) { CheckIn_Curl(state, *server); }
void BM_Length_Pinmark(benchmark::State& state) { Download_Pinmark(state, *server, "/big"); }
void BM_Length_Curl(benchmark::State& state) { Download_Curl(state, *server, "/big"); }
void BM_Chunked_Pinmark(benchmark::State& state) { Download_Pinmark(state, *server, "/chunked"); }
void BM_Chunked_Curl(benchmark::State& state) { Download_Curl(state, *server, "/chunked"); }
// (e) and (f): the check-in and 256 MiB by length over HTTPS, a new handshake per request.
void BM_CheckInTls_Pinmark(benchmark::State& state) { CheckIn_Pinmark(state, *tlsServer); }
void BM_CheckInTls_Curl(benchmark::State& state) { CheckIn_Curl(state, *tlsServer); }
void BM_LengthTls_Pinmark(benchmark::State& state) { Download_Pinmark(state, *tlsServer, "/big"); }
void BM_LengthTls_Curl(benchmark::State& state) { Download_Curl(state, *tlsServer, "/big"); }

// Each registration is one run of a pair; the rounds in main repeat them.
BENCHMARK(BM_CheckIn_Pinmark)->MinTime(1.0)->UseRealTime();
BENCHMARK(BM_CheckIn_Curl)->MinTime(1.0)->UseRealTime();
BENCHMARK(BM_Length_Pinmark)->Iterations(4)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_Length_Curl)->Iterations(4)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_Chunked_Pinmark)->Iterations(4)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_Chunked_Curl)->Iterations(4)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_TinyChunks_Pinmark)->Iterations(3)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_TinyChunks_Curl)->Iterations(3)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_CheckInTls_Pinmark)->MinTime(0.5)->UseRealTime();
BENCHMARK(BM_CheckInTls_Curl)->MinTime(0.5)->UseRealTime();
BENCHMARK(BM_LengthTls_Pinmark)->Iterations(2)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_LengthTls_Curl)->Iterations(2)->Unit(benchmark::kMillisecond)->UseRealTime();

constexpr const char* kPairs[] = {"CheckIn", "Length", "Chunked", "TinyChunks", "CheckInTls", "LengthTls"};
constexpr int kRounds = 5;

// Prints every run, the table's head once, and keeps the rate of the last run.
class RateReporter : public benchmark::ConsoleReporter {
 public:
  bool ReportContext(const Context& context) override {
    if (contextShown_) return true;
    contextShown_ = true;
    return ConsoleReporter::ReportContext(context);
  }
  void ReportRuns(const std::vector<Run>& runs) override {
    for (const Run& run : runs) {
      rate = 0;
      for (const char* key : {"items_per_second", "bytes_per_second"}) {
        auto it = run.counters.find(key);
        if (it != run.counters.end() && !run.error_occurred) rate = it->second.value;
      }
    }
    ConsoleReporter::ReportRuns(runs);
  }
  double rate = 0;

 private:
  bool contextShown_ = false;
};

// One run of one benchmark: its rate, 0 when it failed.
double RunOnce(RateReporter& reporter, const std::string& name) {
  reporter.rate = 0;
  benchmark::RunSpecifiedBenchmarks(&reporter, "^" + name + "(/|$)");
  return reporter.rate;
}

double Median(std::vector<double> values) {
  std::sort(values.begin(), values.end());
  return values[values.size() / 2];
}

// (d) Peak resident memory of a child process, in KiB; -1 when it did not
// end with the expected exit code. The peak is read from the child itself,
// stopped on its way out: what wait4 reports would include the memory of
// this process, which the child was forked from before it started idpost.
long PeakKiB(const std::vector<std::string>& argv, int expectedExit = 0) {
  std::fflush(stdout);
  pid_t pid = fork();
  if (pid == 0) {
    std::vector<char*> args;
    for (const std::string& a : argv) args.push_back(const_cast<char*>(a.c_str()));
    args.push_back(nullptr);
    freopen("/dev/null", "w", stdout);
    freopen("/dev/null", "w", stderr);
    ptrace(PTRACE_TRACEME, 0, nullptr, nullptr);
    execv(args[0], args.data());
    _exit(127);
  }
  long peak = -1;
  int status = 0;
  waitpid(pid, &status, 0);  // stopped once the new program is loaded
  ptrace(PTRACE_SETOPTIONS, pid, nullptr, reinterpret_cast<void*>(PTRACE_O_TRACEEXIT));
  ptrace(PTRACE_CONT, pid, nullptr, nullptr);
  while (waitpid(pid, &status, 0) == pid && WIFSTOPPED(status)) {
    int signal = WSTOPSIG(status);
    if (status >> 8 == (SIGTRAP | (PTRACE_EVENT_EXIT << 8))) {
      // Exiting, its memory not yet given back.
      std::ifstream proc("/proc/" + std::to_string(pid) + "/status");
      for (std::string line; std::getline(proc, line);)
        if (line.rfind("VmHWM:", 0) == 0) peak = std::stol(line.substr(6));
      signal = 0;
    }
    ptrace(PTRACE_CONT, pid, nullptr, reinterpret_cast<void*>(static_cast<long>(signal)));
  }
  return WIFEXITED(status) && WEXITSTATUS(status) == expectedExit ? peak : -1;
}
}  // namespace

int main(int argc, char** argv) {
  curl_global_init(CURL_GLOBAL_DEFAULT);
  BenchServer benchServer;
  server = &benchServer;
  TlsTestAuthority authority("Pinmark Bench CA");
  const TlsTestAuthority::Issued cert = authority.Localhost();
  caFile = authority.CertFile();
  std::unique_ptr<SSL_CTX, void (*)(SSL_CTX*)> tls(SSL_CTX_new(TLS_server_method()), SSL_CTX_free);
  if (SSL_CTX_use_certificate_chain_file(tls.get(), cert.certFile.c_str()) != 1 ||
      SSL_CTX_use_PrivateKey_file(tls.get(), cert.keyFile.c_str(), SSL_FILETYPE_PEM) != 1) {
    std::fprintf(stderr, "cannot load the benchmark's certificate\n");
    return 1;
  }
  BenchServer tlsBenchServer(tls.get());
  tlsServer = &tlsBenchServer;
  int count = argc;
  benchmark::Initialize(&count, argv);
  // What the benchmark library left of the command line names the pairs to run.
  std::vector<std::string> pairs(argv + 1, argv + count);
  const bool all = pairs.empty();
  if (all) pairs.assign(std::begin(kPairs), std::end(kPairs));
  RateReporter reporter;
  std::vector<std::pair<std::string, std::vector<double>>> ratios;
  for (const std::string& pair : pairs) {
    const std::string ours = "BM_" + pair + "_Pinmark", theirs = "BM_" + pair + "_Curl";
    std::vector<double> runs;
    for (int round = 0; round < kRounds; ++round) {
      double oursRate = 0, theirsRate = 0;
      if (round % 2 == 0) {
        oursRate = RunOnce(reporter, ours);
        theirsRate = RunOnce(reporter, theirs);
      } else {
        theirsRate = RunOnce(reporter, theirs);
        oursRate = RunOnce(reporter, ours);
      }
      if (oursRate > 0 && theirsRate > 0) runs.push_back(oursRate / theirsRate);
    }
    ratios.emplace_back(pair, std::move(runs));
  }

  std::printf("\nours / libcurl, the median of %d alternating runs (above 1 means ours is faster):\n", kRounds);
  for (const auto& [pair, runs] : ratios) {
    if (runs.size() < static_cast<std::size_t>(kRounds)) {
      std::printf("  %-10s failed (%zu of %d runs)\n", pair.c_str(), runs.size(), kRounds);
      continue;
    }
    std::printf("  %-10s %.2f   (runs:", pair.c_str(), Median(runs));
    for (double r : runs) std::printf(" %.2f", r);
    std::printf(")\n");
  }
  if (!all) return 0;

  const std::string idpost = IDPOST_PATH;
  long baseline = PeakKiB({idpost, "--get", "-o", "/dev/null", server->Url("/small")});
  long big = PeakKiB({idpost, "--get", "-o", "/dev/null", server->Url("/big")});
  std::printf("\nidpost -o of 256 MiB: peak %ld KiB, baseline %ld KiB, %.1f MiB above the baseline\n", big, baseline,
              (big - baseline) / 1024.0);
  // idpost prints the refusal's body, so its output goes nowhere.
  long refused = PeakKiB({idpost, "--get", server->Url("/refused")}, 1);
  std::printf("idpost refused with a 512 MiB body: peak %ld KiB, %.1f MiB above the baseline\n", refused,
              (refused - baseline) / 1024.0);
  long tlsBaseline = PeakKiB({idpost, "--cacert", caFile, "--get", "-o", "/dev/null", tlsServer->Url("/small")});
  long tlsBig = PeakKiB({idpost, "--cacert", caFile, "--get", "-o", "/dev/null", tlsServer->Url("/big")});
  std::printf(
      "idpost -o of 256 MiB over HTTPS: peak %ld KiB, baseline %ld KiB, %.1f MiB above the baseline, "
      "%.1f MiB above the plain download\n",
      tlsBig, tlsBaseline, (tlsBig - tlsBaseline) / 1024.0, (tlsBig - big) / 1024.0);
  tlsServer = nullptr;
  server = nullptr;
  curl_global_cleanup();
  return 0;
}
