// The service's HTTP front against nginx on loopback, in one run: nginx
// answers a fixed small body (the HTTP floor on this machine), the service
// answers real check-ins with its database (or, with memory, its accounts
// given on the command line and nothing stored: the front's cost alone).
//
//   new connections   a new connection and an HTTP/1.0 POST per check-in, as
//                     Pinmark sends; the answer read until the server closes
//   keep-alive        GETs on kept-alive connections, as dyndns2 clients
//                     send (/nic/update with Basic credentials)
//   slow crowd        the check-in's latency while 1,000 connections hold
//                     half-sent heads
//   idle memory       the service's resident memory with 1,000 idle connections
//
// Each rate phase runs CLIENTS threads for SECONDS and reports requests per
// second and the median and 99th percentile of each request's time. The
// service and nginx take turns for ROUNDS rounds; the round of the median
// ratio is reported, so that a machine busy with other work for a moment
// weighs on both alike.
#include "bench/FrontBench.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "bench/BenchService.h"
#include "tests/support/NginxServer.h"

namespace {
using Clock = std::chrono::steady_clock;
const char kDigest[] = "fe01ce2a7fbac8fafaed7c982a04e229";  // MD5 of "demo"
const char kBasic[] = "ZGVtbzpkZW1v";                       // demo:demo

struct TPhase {
  double perSecond = 0, p50 = 0, p99 = 0;  // ms
  double cpuUs = 0;  // the server's processor time per request, in µs
  long failed = 0;
};

// One answer on a kept-alive connection: its head and Content-Length bytes.
bool ReadAnswer(int fd, std::string& pending) {
  char buf[4096];
  for (;;) {
    const std::size_t end = pending.find("\r\n\r\n");
    if (end != std::string::npos) {
      const char* length = strcasestr(pending.c_str(), "Content-Length:");
      const std::size_t body = length ? std::strtoul(length + 15, nullptr, 10) : 0;
      if (pending.size() >= end + 4 + body) {
        const bool ok = pending.rfind("HTTP/1.1 200 ", 0) == 0;
        pending.erase(0, end + 4 + body);
        return ok;
      }
    }
    pollfd p{fd, POLLIN, 0};
    if (::poll(&p, 1, 10000) <= 0) return false;
    const ssize_t n = ::recv(fd, buf, sizeof buf, 0);
    if (n <= 0) return false;
    pending.append(buf, static_cast<std::size_t>(n));
  }
}

TPhase Summarize(std::vector<std::vector<double>>& times, long failed, double seconds) {
  std::vector<double> all;
  for (auto& t : times) all.insert(all.end(), t.begin(), t.end());
  std::sort(all.begin(), all.end());
  TPhase phase;
  phase.failed = failed;
  if (all.empty()) return phase;
  phase.perSecond = static_cast<double>(all.size()) / seconds;
  phase.p50 = all[all.size() / 2];
  phase.p99 = all[std::min(all.size() - 1, all.size() * 99 / 100)];
  return phase;
}

// CLIENTS threads asking for seconds, each request on a new connection or on a kept-alive one.
TPhase Run(pid_t server, int port, const std::string& request, int clients, double seconds, bool keepAlive) {
  const double cpuBefore = ProcessCpuMs(server);
  std::vector<std::vector<double>> times(static_cast<std::size_t>(clients));
  std::atomic<long> failed{0};
  const Clock::time_point end =
      Clock::now() + std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(seconds));
  std::vector<std::thread> threads;
  for (int c = 0; c < clients; ++c)
    threads.emplace_back([&, c] {
      int fd = -1;
      std::string pending;
      while (Clock::now() < end) {
        const Clock::time_point start = Clock::now();
        bool ok;
        if (keepAlive) {
          if (fd < 0) fd = BenchConnect(port);
          ok = fd >= 0 && ::send(fd, request.data(), request.size(), MSG_NOSIGNAL) > 0 && ReadAnswer(fd, pending);
          if (!ok && fd >= 0) {
            // The server ended the connection (its request limit): a client connects again.
            ::close(fd);
            fd = -1;
            pending.clear();
            continue;
          }
        } else {
          ok = BenchCheckIn(port, request);
        }
        if (!ok) {
          ++failed;
          continue;
        }
        times[static_cast<std::size_t>(c)].push_back(std::chrono::duration<double, std::milli>(Clock::now() - start).count());
      }
      if (fd >= 0) ::close(fd);
    });
  for (std::thread& t : threads) t.join();
  TPhase phase = Summarize(times, failed, seconds);
  if (phase.perSecond > 0) phase.cpuUs = 1000 * (ProcessCpuMs(server) - cpuBefore) / (phase.perSecond * seconds);
  return phase;
}

void Print(const char* what, const TPhase& service, const TPhase& nginx) {
  std::printf(
      "%-16s service %8.0f/s p50 %6.2f ms p99 %6.2f ms %5.1f us cpu | nginx %8.0f/s p50 %6.2f ms p99 %6.2f ms %5.1f us "
      "cpu | ratio %.2f%s\n",
      what, service.perSecond, service.p50, service.p99, service.cpuUs, nginx.perSecond, nginx.p50, nginx.p99,
      nginx.cpuUs, nginx.perSecond > 0 ? service.perSecond / nginx.perSecond : 0.0,
      service.failed + nginx.failed ? " (some failed)" : "");
}
}  // namespace

int MeasureFront(const TFrontOptions& o, const TempDir& dir) {
  const int clients = o.clients, rounds = o.rounds;
  const double seconds = o.seconds;
  const bool memory = o.memory;
  // Room for the crowds, in this process and in the service it starts.
  rlimit files{};
  ::getrlimit(RLIMIT_NOFILE, &files);
  files.rlim_cur = std::min<rlim_t>(files.rlim_max, 8192);
  ::setrlimit(RLIMIT_NOFILE, &files);

  const std::string db = dir.File(memory ? "front-memory.db" : "front.db");
  const std::string add = std::string(SERVICE_PATH) + " account add demo --password-stdin --db " + db;
  FILE* in = ::popen(add.c_str(), "w");
  if (!in || std::fputs("demo\n", in) < 0 || ::pclose(in) != 0) {
    std::fprintf(stderr, "cannot make the database\n");
    return 1;
  }
  std::vector<std::string> args = {"--port", "0", "--zone", "dyn.example.org", "--max-connections", "5000",
                                   "--max-per-address", "5000"};
  // In memory the accounts are given on the command line and nothing is stored: the front's cost alone.
  if (memory) {
    args.push_back("--account");
    args.push_back(std::string("demo:") + kDigest);
  } else {
    args.push_back("--db");
    args.push_back(db);
  }
  TServiceChild service(args, dir.File(memory ? "service-front-memory.log" : "service-front.log"));
  NginxServer nginx(false, "location / { keepalive_requests 1000; return 200 '127.0.0.1'; }");
  if (service.Port() <= 0 || !nginx.Running()) {
    std::fprintf(stderr, "cannot start the service or nginx: %s\n", nginx.Problem().c_str());
    return 1;
  }
  const std::string checkIn = std::string("POST /includes/r_update.php?userid=demo&enc=") + kDigest +
                              "&node=box HTTP/1.0\r\nContent-Length: 0\r\n\r\n";
  const std::string update = std::string("GET /nic/update?hostname=box.demo.dyn.example.org&myip=127.0.0.1 "
                                         "HTTP/1.1\r\nHost: h\r\nAuthorization: Basic ") +
                             kBasic + "\r\n\r\n";
  // The first of each pays the slow hash; the rest find the verification remembered.
  BenchCheckIn(service.Port(), checkIn);
  std::printf("%d clients, %.0f s a phase, %d rounds, %s\n", clients, seconds, rounds,
              memory ? "in memory" : "with the database");
  // The service and nginx in turn; the round of the median ratio.
  const auto compare = [&](const char* what, const std::string& request, bool keepAlive) {
    std::vector<std::pair<TPhase, TPhase>> pairs;
    for (int r = 0; r < rounds; ++r)
      pairs.emplace_back(Run(service.Pid(), service.Port(), request, clients, seconds, keepAlive),
                         Run(nginx.Pid(), nginx.Port(), request, clients, seconds, keepAlive));
    const auto ratio = [](const std::pair<TPhase, TPhase>& p) {
      return p.second.perSecond > 0 ? p.first.perSecond / p.second.perSecond : 0.0;
    };
    std::sort(pairs.begin(), pairs.end(), [&](const auto& a, const auto& b) { return ratio(a) < ratio(b); });
    const auto& median = pairs[pairs.size() / 2];
    Print(what, median.first, median.second);
    long failed = 0;
    for (const auto& p : pairs) failed += p.first.failed + p.second.failed;
    return failed;
  };
  long failed = compare("new connections", checkIn, false);
  failed += compare("keep-alive", update, true);

  // Idle connections: nothing sent; measured well within the idle limit, and
  // before the crowd below, whose memory the allocator would keep for them.
  const pid_t pid = service.Pid();
  const long before = ProcessKiB(pid, "VmRSS:");
  std::vector<int> idle;
  for (int i = 0; i < 1000; ++i)
    if (const int fd = BenchConnect(service.Port()); fd >= 0) idle.push_back(fd);
  std::this_thread::sleep_for(std::chrono::milliseconds(1000));
  const long with = ProcessKiB(pid, "VmRSS:");
  std::printf("idle memory      %ld KiB before, %ld KiB with %zu idle connections (%.1f KiB each)\n", before, with,
              idle.size(), idle.empty() ? 0.0 : static_cast<double>(with - before) / static_cast<double>(idle.size()));
  for (int fd : idle) ::close(fd);
  // 1,000 connections that have sent half a head, held while check-ins come from elsewhere.
  std::vector<int> crowd;
  for (int i = 0; i < 1000; ++i) {
    const int fd = BenchConnect(service.Port());
    if (fd < 0) continue;
    ::send(fd, "GET / HTTP/1.1\r\nHo", 18, MSG_NOSIGNAL);
    crowd.push_back(fd);
  }
  std::vector<std::vector<double>> times(1);
  long slowFailed = 0;
  for (int i = 0; i < 300; ++i) {
    const Clock::time_point start = Clock::now();
    if (BenchCheckIn(service.Port(), checkIn, "127.0.0.2"))
      times[0].push_back(std::chrono::duration<double, std::milli>(Clock::now() - start).count());
    else
      ++slowFailed;
  }
  const TPhase slow = Summarize(times, slowFailed, 1);
  std::printf("slow crowd       %zu connections held: check-in p50 %.2f ms p99 %.2f ms%s\n", crowd.size(), slow.p50,
              slow.p99, slowFailed ? " (some failed)" : "");
  for (int fd : crowd) ::close(fd);
  return failed + slowFailed == 0 ? 0 : 1;
}
