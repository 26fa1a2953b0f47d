// pinmark-service under load, as the real binary on loopback: check-ins per
// second and their latency for 1,000 accounts with 10 nodes each, and the
// service's peak memory once it holds all 10,000 nodes. The service with its
// database and, side by side in the same run, the service with its accounts
// in memory (given on the command line, nothing recorded on disk).
//
// Each check-in is the program's own request: a new connection, an HTTP/1.0
// POST with an empty body, the answer read until the service closes. Several
// clients send at once; each phase reports its rate and the median and 99th
// percentile of the time from connect to the end of the answer, and the
// processor time the service spent per 1,000 check-ins (which, unlike the
// rates, does not depend on what else the machine is doing).
//
//   build/bin/service_bench [--accounts N] [--nodes N] [--clients N] [--rounds N] [--seconds N] [MODE...]
//
// MODE is "database" (an SQLite file), "postgresql" (a database on a
// throw-away PostgreSQL cluster, as the tests make one), "postgresql-nginx"
// (two services on one database of that cluster, nginx on loopback sharing
// the check-ins between them round robin; the processor time and memory are
// both services' together), "postgresql-nginx-one" (the same with one
// service behind nginx, the path the two instances are compared on),
// "memory" ("database" and "memory" when none is named), "keys" or
// "takeover". Each phase also reports how busy the machine's processors
// were (all programs): near 100 % the machine, not the service, sets the
// rate. Phases:
//   first      one check-in per account on a freshly started service: the
//              password's slow hash is paid here (database)
//   nodes      the other nodes of each account checked in for the first time
//   repeated   a check-in of every node in a shuffled order, the
//              verification remembered; ROUNDS rounds, alternating between
//              the modes, and the median round reported
//
// "keys" compares the three ways a check-in is verified, on one service with
// its database, one node an account, each account's node given a key by the
// service's own command: the password's slow hash (each account's first
// check-in), the password remembered, and the node's key, the last two in
// ROUNDS alternating rounds of about 1,000 check-ins. Its figure is the
// service's processor time per 1,000 check-ins of each kind (the median
// round for the last two).
//
// "takeover" measures how long a dead service's DNS updates wait before
// another service on the same PostgreSQL database sends them (see
// MeasureTakeover): about the lease, 30 s, and the worker's wake-up.
//
// "front" and "front-memory" set the service's HTTP front beside nginx
// answering a fixed small body, in the same run (see FrontBench.cpp): with
// the database, and with the accounts in memory; ROUNDS alternating rounds
// of SECONDS (3) a phase.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <memory>
#include <optional>
#include <random>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "bench/BenchService.h"
#include "bench/FrontBench.h"
#include "settings/md5.h"
#include "tests/support/NginxServer.h"
#include "tests/support/PostgresCluster.h"
#include "tests/support/TempDir.h"

namespace {

using Clock = std::chrono::steady_clock;

struct TOptions {
  int accounts = 1000;
  int nodes = 10;
  int clients = 8;
  int rounds = 5;
  double seconds = 3;  // a phase of the front's modes
  std::vector<std::string> modes;
};

std::string AccountName(int i) {
  char name[16];
  std::snprintf(name, sizeof name, "user%04d", i);
  return name;
}
std::string AccountDigest(int i) { return DigestToHex(MD5OfString("password-" + std::to_string(i))); }

struct TPhase {
  double perSecond = 0;
  double cpuMsPer1000 = 0;  // the service's processor time per 1,000 check-ins
  double p50Ms = 0, p99Ms = 0;
  double machineBusy = 0;  // the share of every processor's time not idle, in %
  int failed = 0;
};

// The machine's processor time so far in clock ticks, busy and in all (the
// first line of /proc/stat: user nice system idle iowait irq softirq steal).
struct TMachineTicks {
  long long busy = 0, all = 0;
};
TMachineTicks MachineTicks() {
  std::ifstream in("/proc/stat");
  std::string cpu;
  in >> cpu;
  TMachineTicks t;
  long long value = 0;
  for (int i = 0; i < 8 && in >> value; ++i) {
    t.all += value;
    if (i != 3 && i != 4) t.busy += value;
  }
  return t;
}

// Sends every request, the clients taking the next one from a shared
// counter; the rate is over the whole phase.
TPhase Run(int port, const std::vector<std::string>& requests, int clients) {
  std::vector<double> latencies(requests.size());
  std::atomic<std::size_t> next{0};
  std::atomic<int> failed{0};
  const TMachineTicks ticks = MachineTicks();
  const auto start = Clock::now();
  std::vector<std::thread> threads;
  for (int c = 0; c < clients; ++c)
    threads.emplace_back([&] {
      for (std::size_t i; (i = next++) < requests.size();) {
        const auto begin = Clock::now();
        if (!BenchCheckIn(port, requests[i])) ++failed;
        latencies[i] = std::chrono::duration<double, std::milli>(Clock::now() - begin).count();
      }
    });
  for (std::thread& t : threads) t.join();
  const double seconds = std::chrono::duration<double>(Clock::now() - start).count();
  const TMachineTicks after = MachineTicks();
  std::sort(latencies.begin(), latencies.end());
  TPhase phase;
  if (after.all > ticks.all)
    phase.machineBusy = 100.0 * static_cast<double>(after.busy - ticks.busy) / static_cast<double>(after.all - ticks.all);
  phase.perSecond = static_cast<double>(requests.size()) / seconds;
  phase.p50Ms = latencies[latencies.size() / 2];
  phase.p99Ms = latencies[std::min(latencies.size() - 1, latencies.size() * 99 / 100)];
  phase.failed = failed;
  return phase;
}

// A phase against one service, with the processor time it took the service.
TPhase RunOn(const TServiceChild& service, const std::vector<std::string>& requests, int clients) {
  const double before = service.CpuMs();
  TPhase phase = Run(service.Port(), requests, clients);
  phase.cpuMsPer1000 = (service.CpuMs() - before) * 1000.0 / static_cast<double>(requests.size());
  return phase;
}

std::string Request(int account, int node) {
  return "POST /includes/r_update.php?userid=" + AccountName(account) + "&enc=" + AccountDigest(account) +
         "&node=node" + std::to_string(node) + " HTTP/1.0\r\nContent-Length: 0\r\n\r\n";
}

struct TModeResult {
  std::string mode;
  bool ran = false;
  TPhase first, nodes, repeated;
  long peakKiB = 0;
};

// nginx on loopback sharing check-ins round robin between the ports given.
std::unique_ptr<NginxServer> RoundRobin(const std::vector<int>& ports) {
  std::string upstream = "upstream pinmark {\n";
  for (int port : ports) upstream += "    server 127.0.0.1:" + std::to_string(port) + ";\n";
  upstream += "  }\n";
  return std::make_unique<NginxServer>(false, "location / { proxy_pass http://pinmark; }\n", upstream);
}

// A mode's services: one, or two on one database behind nginx, which then
// takes the check-ins.
struct TServices {
  std::vector<std::unique_ptr<TServiceChild>> instances;
  std::unique_ptr<NginxServer> nginx;
  int Port() const { return nginx ? nginx->Port() : instances.front()->Port(); }
  double CpuMs() const {
    double ms = 0;
    for (const auto& s : instances) ms += s->CpuMs();
    return ms;
  }
  long PeakKiB() const {
    long kib = 0;
    for (const auto& s : instances) kib += s->PeakKiB();
    return kib;
  }
};

// A phase against a mode's services, with the processor time they took
// (the services only, not nginx).
TPhase RunOn(const TServices& services, const std::vector<std::string>& requests, int clients) {
  const double before = services.CpuMs();
  TPhase phase = Run(services.Port(), requests, clients);
  phase.cpuMsPer1000 = (services.CpuMs() - before) * 1000.0 / static_cast<double>(requests.size());
  return phase;
}

// The throw-away cluster of the PostgreSQL modes, made on first use; null
// when it could not be started.
PostgresCluster* Cluster() {
  static std::unique_ptr<PostgresCluster> cluster;
  if (!cluster) {
    cluster = std::make_unique<PostgresCluster>();
    if (!cluster->Running()) std::fprintf(stderr, "postgresql: %s\n", cluster->Error().c_str());
  }
  return cluster->Running() ? cluster.get() : nullptr;
}

std::string WriteAccounts(const TOptions& o, const TempDir& dir, const std::string& mode) {
  const std::string accounts = dir.File("accounts-" + mode);
  std::ofstream out(accounts);
  for (int i = 0; i < o.accounts; ++i) out << AccountName(i) << ' ' << AccountDigest(i) << '\n';
  return accounts;
}

// The accounts stored with their slow hash by the service's own command.
bool Import(const std::string& mode, const std::string& db, const std::string& accounts, const TempDir& dir) {
  const std::string import = std::string(SERVICE_PATH) + " account import --db '" + db + "' " + accounts + " >" +
                             dir.File("import.log") + " 2>&1";
  std::fprintf(stderr, "%s: importing the accounts...\n", mode.c_str());
  if (std::system(import.c_str()) == 0) return true;
  std::fprintf(stderr, "%s: account import failed (%s)\n", mode.c_str(), TempDir::Read(dir.File("import.log")).c_str());
  return false;
}

// The services started in a mode; false when they could not be.
bool Start(const std::string& mode, const TOptions& o, const TempDir& dir, TServices& services) {
  const std::string accounts = WriteAccounts(o, dir, mode);
  std::vector<std::string> args{"--host", "127.0.0.1", "--port", "0"};
  if (mode == "memory") {
    args.insert(args.end(), {"--accounts", accounts});
  } else {
    PostgresCluster* cluster = mode == "database" ? nullptr : Cluster();
    if (mode != "database" && !cluster) return false;
    const std::string db = cluster ? cluster->NewDatabase() : dir.File("service.db");
    if (!Import(mode, db, accounts, dir)) return false;
    args.insert(args.end(), {"--db", db});
  }
  const int count = mode == "postgresql-nginx" ? 2 : 1;
  const bool proxied = mode.rfind("postgresql-nginx", 0) == 0;
  for (int i = 0; i < count; ++i) {
    services.instances.push_back(std::make_unique<TServiceChild>(
        args, dir.File("service-" + mode + "-" + std::to_string(i) + ".log")));
    if (services.instances.back()->Port() == 0) {
      std::fprintf(stderr, "%s: the service did not start\n", mode.c_str());
      return false;
    }
  }
  if (proxied) {
    std::vector<int> ports;
    for (const auto& instance : services.instances) ports.push_back(instance->Port());
    services.nginx = RoundRobin(ports);
    if (!services.nginx->Running()) {
      std::fprintf(stderr, "%s: nginx did not start: %s\n", mode.c_str(), services.nginx->Problem().c_str());
      return false;
    }
  }
  return true;
}

struct TModeRun {
  TModeResult result;
  TServices services;
};

// Every mode's service is started first and runs its phases; the repeated
// check-ins then alternate between the modes round by round, so that both
// see the same machine (other work on it comes and goes), and each mode's
// figure is its median round.
std::vector<TModeResult> Measure(const TOptions& o, const TempDir& dir) {
  std::vector<TModeRun> runs;
  for (const std::string& mode : o.modes) {
    TModeRun run;
    run.result.mode = mode;
    if (Start(mode, o, dir, run.services)) runs.push_back(std::move(run));
  }
  std::vector<std::string> first, nodes, repeated;
  for (int a = 0; a < o.accounts; ++a) first.push_back(Request(a, 0));
  for (int a = 0; a < o.accounts; ++a)
    for (int n = 1; n < o.nodes; ++n) nodes.push_back(Request(a, n));
  for (int a = 0; a < o.accounts; ++a)
    for (int n = 0; n < o.nodes; ++n) repeated.push_back(Request(a, n));
  for (TModeRun& run : runs) {
    run.result.first = RunOn(run.services, first, o.clients);
    run.result.nodes = RunOn(run.services, nodes, o.clients);
  }
  std::mt19937 shuffle(22);
  std::vector<std::vector<TPhase>> rounds(runs.size());
  for (int round = 0; round < o.rounds; ++round) {
    std::shuffle(repeated.begin(), repeated.end(), shuffle);
    for (std::size_t i = 0; i < runs.size(); ++i) rounds[i].push_back(RunOn(runs[i].services, repeated, o.clients));
  }
  std::vector<TModeResult> results;
  for (std::size_t i = 0; i < runs.size(); ++i) {
    std::sort(rounds[i].begin(), rounds[i].end(),
              [](const TPhase& a, const TPhase& b) { return a.perSecond < b.perSecond; });
    TModeRun& run = runs[i];
    int failed = 0;
    for (const TPhase& p : rounds[i]) failed += p.failed;
    run.result.repeated = rounds[i][rounds[i].size() / 2];
    run.result.repeated.failed = failed;  // over every round
    run.result.peakKiB = run.services.PeakKiB();
    run.result.ran = true;
    results.push_back(run.result);
  }
  return results;
}

void Print(const char* phase, const TPhase& p);

// The node's key the service's command makes, or "" when it could not.
std::string MakeKey(const std::string& db, const std::string& account, const TempDir& dir) {
  const std::string out = dir.File("key.out");
  const std::string command =
      std::string(SERVICE_PATH) + " node key " + account + " box --db " + db + " >" + out + " 2>&1";
  if (std::system(command.c_str()) != 0) return "";
  std::string text = TempDir::Read(out);
  while (!text.empty() && text.back() == '\n') text.pop_back();
  return text.substr(text.rfind('\n') + 1);
}

std::string KeyRequest(int account, const std::string& digest) {
  return "POST /includes/r_update.php?userid=" + AccountName(account) + "&enc=" + digest +
         "&node=box HTTP/1.0\r\nContent-Length: 0\r\n\r\n";
}

int MeasureKeys(const TOptions& o, const TempDir& dir) {
  const std::string db = dir.File("keys.db"), accounts = dir.File("accounts-keys");
  {
    std::ofstream out(accounts);
    for (int i = 0; i < o.accounts; ++i) out << AccountName(i) << ' ' << AccountDigest(i) << '\n';
  }
  std::fprintf(stderr, "importing %d accounts and making their keys...\n", o.accounts);
  if (std::system((std::string(SERVICE_PATH) + " account import --db " + db + " " + accounts + " >/dev/null").c_str()) !=
      0)
    return 1;
  std::vector<std::string> slow, remembered, keyed;
  for (int a = 0; a < o.accounts; ++a) {
    const std::string key = MakeKey(db, AccountName(a), dir);
    if (key.size() != 39) {
      std::fprintf(stderr, "node key failed: %s\n", key.c_str());
      return 1;
    }
    slow.push_back(KeyRequest(a, AccountDigest(a)));
    // Enough check-ins a round for the processor time (counted in 10 ms ticks) to tell.
    for (int r = 0; r < std::max(1, 1000 / o.accounts); ++r) {
      remembered.push_back(KeyRequest(a, AccountDigest(a)));
      keyed.push_back(KeyRequest(a, DigestToHex(MD5OfString(key))));
    }
  }
  TServiceChild service({"--host", "127.0.0.1", "--port", "0", "--db", db}, dir.File("service-keys.log"));
  if (service.Port() == 0) return 1;
  // Two clients: the slow hashes run two at a time, more would only wait.
  const TPhase bySlowHash = RunOn(service, slow, std::min(o.clients, 2));
  // Round by round, one kind after the other, each kind's figure its median round.
  std::mt19937 shuffle(22);
  std::vector<TPhase> rememberedRounds, keyRounds;
  for (int round = 0; round < o.rounds; ++round) {
    std::shuffle(remembered.begin(), remembered.end(), shuffle);
    std::shuffle(keyed.begin(), keyed.end(), shuffle);
    rememberedRounds.push_back(RunOn(service, remembered, o.clients));
    keyRounds.push_back(RunOn(service, keyed, o.clients));
  }
  auto median = [](std::vector<TPhase> rounds) {
    int failed = 0;
    for (const TPhase& p : rounds) failed += p.failed;
    std::sort(rounds.begin(), rounds.end(),
              [](const TPhase& a, const TPhase& b) { return a.cpuMsPer1000 < b.cpuMsPer1000; });
    TPhase m = rounds[rounds.size() / 2];
    m.failed = failed;
    return m;
  };
  const TPhase byRemembered = median(rememberedRounds), byKey = median(keyRounds);
  std::printf("keys: %d accounts, one node each, %d clients\n", o.accounts, o.clients);
  Print("slow hash", bySlowHash);
  Print("remembered", byRemembered);
  Print("node key", byKey);
  std::printf("service processor time per check-in: slow hash / node key %.1f, remembered / node key %.2f\n",
              bySlowHash.cpuMsPer1000 / byKey.cpuMsPer1000, byRemembered.cpuMsPer1000 / byKey.cpuMsPer1000);
  return bySlowHash.failed + byRemembered.failed + byKey.failed == 0 ? 0 : 1;
}

// The time another instance takes to send a name whose update a dead
// instance had claimed. A fake name server on loopback takes the updates and
// never answers, so that the first instance's update stays in flight; once
// it has arrived, a second instance starts on the same database and the
// first is killed with SIGKILL. The figure is the time from the kill (and
// from the first update's arrival, about when its lease began) to the
// arrival of the second instance's update for the same name.
class TSilentNameServer {
 public:
  TSilentNameServer() {
    fd_ = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof a;
    if (::bind(fd_, reinterpret_cast<sockaddr*>(&a), len) == 0 &&
        ::getsockname(fd_, reinterpret_cast<sockaddr*>(&a), &len) == 0)
      port_ = ntohs(a.sin_port);
  }
  ~TSilentNameServer() { ::close(fd_); }
  int Port() const { return port_; }
  // Waits up to limit for a DNS UPDATE (opcode 5); when it arrived, or nothing.
  std::optional<Clock::time_point> NextUpdate(std::chrono::seconds limit) const {
    const auto end = Clock::now() + limit;
    for (auto now = Clock::now(); now < end; now = Clock::now()) {
      pollfd p{fd_, POLLIN, 0};
      const int wait = static_cast<int>(std::chrono::duration_cast<std::chrono::milliseconds>(end - now).count());
      if (::poll(&p, 1, std::max(wait, 1)) <= 0) continue;
      unsigned char packet[4096];
      const ssize_t n = ::recv(fd_, packet, sizeof packet, 0);
      if (n >= 12 && ((packet[2] >> 3) & 0x0f) == 5) return Clock::now();
    }
    return std::nullopt;
  }

 private:
  int fd_ = -1;
  int port_ = 0;
};

int MeasureTakeover(const TempDir& dir) {
  PostgresCluster* cluster = Cluster();
  TSilentNameServer nameServer;
  if (!cluster || nameServer.Port() == 0) return 1;
  const std::string db = cluster->NewDatabase(), key = dir.File("update.key");
  TempDir::Write(key,
                 "key \"pinmark-update\" {\n  algorithm hmac-sha256;\n  secret "
                 "\"cGlubWFyay10ZXN0LXNlY3JldC0zMi1ieXRlcyEhISE=\";\n};\n");
  ::chmod(key.c_str(), 0600);
  TOptions one;
  one.accounts = 1;
  if (!Import("takeover", db, WriteAccounts(one, dir, "takeover"), dir)) return 1;
  const std::vector<std::string> args{"--host",     "127.0.0.1", "--port", "0", "--db", db, "--dns-zone",
                                      "dyn.example.org", "--dns-server",
                                      "127.0.0.1:" + std::to_string(nameServer.Port()), "--dns-key", key};
  auto first = std::make_unique<TServiceChild>(args, dir.File("service-takeover-a.log"));
  if (first->Port() == 0 || !BenchCheckIn(first->Port(), Request(0, 0))) {
    std::fprintf(stderr, "takeover: the first instance did not take the check-in: %s\n", first->Log().c_str());
    return 1;
  }
  const std::optional<Clock::time_point> claimed = nameServer.NextUpdate(std::chrono::seconds(60));
  if (!claimed) {
    std::fprintf(stderr, "takeover: the first instance sent no update: %s\n", first->Log().c_str());
    return 1;
  }
  TServiceChild second(args, dir.File("service-takeover-b.log"));
  if (second.Port() == 0) return 1;
  ::kill(first->Pid(), SIGKILL);
  const auto killed = Clock::now();
  first.reset();  // reaps it
  const std::optional<Clock::time_point> taken = nameServer.NextUpdate(std::chrono::seconds(300));
  if (!taken) {
    std::fprintf(stderr, "takeover: the second instance sent no update within 5 minutes: %s\n", second.Log().c_str());
    return 1;
  }
  const auto seconds = [](Clock::duration d) { return std::chrono::duration<double>(d).count(); };
  std::printf("takeover: the name sent again by the second instance %.2f s after the first was killed, %.2f s after "
              "the first sent it (killed %.2f s after it sent it, the second instance running by then)\n",
              seconds(*taken - killed), seconds(*taken - *claimed), seconds(killed - *claimed));
  return 0;
}

void Print(const char* phase, const TPhase& p) {
  std::printf(
      "  %-10s %9.0f check-ins/s   p50 %7.2f ms   p99 %7.2f ms   service cpu %7.1f ms per 1000   machine busy %3.0f %%%s\n",
      phase, p.perSecond, p.p50Ms, p.p99Ms, p.cpuMsPer1000, p.machineBusy,
              p.failed ? ("   FAILED " + std::to_string(p.failed)).c_str() : "");
}
}  // namespace

int main(int argc, char** argv) {
  TOptions o;
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    auto number = [&](int& out) {
      if (i + 1 < argc) out = std::atoi(argv[++i]);
    };
    if (arg == "--accounts")
      number(o.accounts);
    else if (arg == "--nodes")
      number(o.nodes);
    else if (arg == "--clients")
      number(o.clients);
    else if (arg == "--rounds")
      number(o.rounds);
    else if (arg == "--seconds" && i + 1 < argc)
      o.seconds = std::atof(argv[++i]);
    else if (arg == "database" || arg == "postgresql" || arg == "memory" || arg == "keys" ||
             arg == "postgresql-nginx" || arg == "postgresql-nginx-one" || arg == "takeover" || arg == "front" ||
             arg == "front-memory")
      o.modes.push_back(arg);
    else {
      std::fprintf(stderr,
                   "usage: service_bench [--accounts N] [--nodes N] [--clients N] [--rounds N] [--seconds N] "
                   "[database|postgresql|postgresql-nginx|postgresql-nginx-one|memory|keys|takeover|front|front-memory]"
                   "...\n");
      return 2;
    }
  }
  if (o.accounts < 1 || o.nodes < 1 || o.clients < 1 || o.rounds < 1 || !(o.seconds > 0)) return 2;
  if (o.modes.empty()) o.modes = {"database", "memory"};
  TempDir dir;
  // The front's modes run first, on their own services, before the others load the machine's caches.
  for (const char* front : {"front", "front-memory"}) {
    if (std::find(o.modes.begin(), o.modes.end(), front) == o.modes.end()) continue;
    o.modes.erase(std::remove(o.modes.begin(), o.modes.end(), front), o.modes.end());
    const TFrontOptions f{o.clients, o.seconds, o.rounds, std::string(front) == "front-memory"};
    if (const int failed = MeasureFront(f, dir); failed != 0 || o.modes.empty()) return failed;
  }
  if (std::find(o.modes.begin(), o.modes.end(), "keys") != o.modes.end()) {
    o.modes.erase(std::remove(o.modes.begin(), o.modes.end(), "keys"), o.modes.end());
    if (const int failed = MeasureKeys(o, dir); failed != 0 || o.modes.empty()) return failed;
  }
  bool takeover = false;
  if (std::find(o.modes.begin(), o.modes.end(), "takeover") != o.modes.end()) {
    o.modes.erase(std::remove(o.modes.begin(), o.modes.end(), "takeover"), o.modes.end());
    takeover = true;
  }
  if (o.modes.empty()) return MeasureTakeover(dir);
  std::printf("%d accounts x %d nodes, %d clients, a new connection per check-in\n", o.accounts, o.nodes, o.clients);
  const std::vector<TModeResult> results = Measure(o, dir);
  for (const TModeResult& r : results) {
    std::printf("%s:\n", r.mode.c_str());
    Print("first", r.first);
    Print("nodes", r.nodes);
    Print("repeated", r.repeated);
    std::printf("  peak memory %ld KiB with %d nodes\n", r.peakKiB, o.accounts * o.nodes);
  }
  const auto find = [&](const char* mode) -> const TModeResult* {
    for (const TModeResult& r : results)
      if (r.mode == mode && r.ran) return &r;
    return nullptr;
  };
  if (const TModeResult* db = find("database"), *pg = find("postgresql"); db && pg)
    std::printf("postgresql / database (SQLite), repeated check-ins per second: %.2f\n",
                pg->repeated.perSecond / db->repeated.perSecond);
  if (const TModeResult* db = find("database"), *mem = find("memory"); db && mem) {
    std::printf("database / memory, repeated check-ins per second: %.2f\n",
                db->repeated.perSecond / mem->repeated.perSecond);
    std::printf("database / memory, service processor time per check-in: %.2f\n",
                db->repeated.cpuMsPer1000 / mem->repeated.cpuMsPer1000);
  }
  if (const TModeResult* pg = find("postgresql"), *two = find("postgresql-nginx"); pg && two)
    std::printf("postgresql-nginx (two instances) / postgresql (one), repeated check-ins per second: %.2f\n",
                two->repeated.perSecond / pg->repeated.perSecond);
  if (const TModeResult* one = find("postgresql-nginx-one"), *two = find("postgresql-nginx"); one && two)
    std::printf("postgresql-nginx (two instances) / postgresql-nginx-one (one), both behind nginx, repeated check-ins "
                "per second: %.2f\n",
                two->repeated.perSecond / one->repeated.perSecond);
  // A mode that did not start or a check-in not answered 200 makes the run fail, whatever its figures.
  int failed = results.size() == o.modes.size() ? 0 : 1;
  for (const TModeResult& r : results) failed += r.first.failed + r.nodes.failed + r.repeated.failed;
  if (takeover && MeasureTakeover(dir) != 0) ++failed;
  return failed == 0 ? 0 : 1;
}
