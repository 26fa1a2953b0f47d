// DNS publishing against a real name server (knotd on loopback), side by
// side with knsupdate, Knot's own update client, in one run:
//   - updates per second the queue sustains with 1,000 names changing at
//     once (first publication, then every name moving to a new address),
//     against knsupdate sending the same 1,000 updates from one script;
//   - the time from a name's enqueue to the name server answering the new
//     address (median of 20), against knsupdate started for one update;
//   - the verification pass over those names, all of which hold (its time,
//     its questions, and no update sent), against kdig asking the same
//     questions in one run;
//   - the same two through pinmark-service itself, with its database (where
//     the queue lives): check-ins to the real binary publishing in DNS, each
//     from a source address of its own, timed
//     from the first check-in sent to the last name published (its log
//     line), and from one check-in sent to its name resolving to the new
//     address (median of 20).
//
//   build/bin/dns_bench [names] [window]
// ldns defines bool, true and false as macros unless stdbool.h came first,
// and those macros break the C++ headers.
#include <stdbool.h>

#include <ldns/ldns.h>

#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "bench/BenchService.h"
#include "service/dns/DnsVerifier.h"
#include "service/dns/DnsWorker.h"
#include "service/dns/MemoryDnsQueueStore.h"
#include "settings/md5.h"
#include "tests/support/KnotServer.h"

using namespace std::chrono_literals;
using TSteady = std::chrono::steady_clock;

namespace {

TServiceTime Now() { return ServiceClockNow(); }

double Seconds(TSteady::duration d) { return std::chrono::duration<double>(d).count(); }

std::string Address(int round, int i) {
  return "10." + std::to_string(round) + "." + std::to_string(i / 256) + "." + std::to_string(i % 256);
}

std::string Name(int i) { return "node" + std::to_string(i) + ".bench." + KnotServer::kZone + "."; }

// The A record of name as the server answers it now, through one UDP query
// (kdig would add a process start to every look).
std::string Resolve(int port, const std::string& name) {
  ldns_pkt* query = ldns_pkt_query_new(ldns_dname_new_frm_str(name.c_str()), LDNS_RR_TYPE_A, LDNS_RR_CLASS_IN, 0);
  ldns_pkt_set_id(query, 7);
  uint8_t* wire = nullptr;
  std::size_t size = 0;
  ldns_pkt2wire(&wire, query, &size);
  ldns_pkt_free(query);
  const int fd = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_port = htons(static_cast<uint16_t>(port));
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  ::connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a);
  ::send(fd, wire, size, 0);
  LDNS_FREE(wire);
  std::string address;
  pollfd p{fd, POLLIN, 0};
  uint8_t buffer[4096];
  ssize_t n = 0;
  if (::poll(&p, 1, 1000) == 1 && (n = ::recv(fd, buffer, sizeof buffer, 0)) > 0) {
    ldns_pkt* answer = nullptr;
    if (ldns_wire2pkt(&answer, buffer, static_cast<std::size_t>(n)) == LDNS_STATUS_OK) {
      ldns_rr_list* records = ldns_pkt_answer(answer);
      for (std::size_t i = 0; i < ldns_rr_list_rr_count(records); ++i) {
        ldns_rr* rr = ldns_rr_list_rr(records, i);
        if (ldns_rr_get_type(rr) != LDNS_RR_TYPE_A) continue;
        char* text = ldns_rdf2str(ldns_rr_rdf(rr, 0));
        address = text;
        free(text);
      }
      ldns_pkt_free(answer);
    }
  }
  ::close(fd);
  return address;
}

// Runs knsupdate on a script of its own; the time until it ended.
double Knsupdate(const KnotServer& knot, const std::string& script) {
  const std::string file = knot.Dir().File("bench.nsupdate");
  TempDir::Write(file,
                 "server 127.0.0.1 " + std::to_string(knot.Port()) + "\nzone " + KnotServer::kZone + ".\n" + script);
  const auto start = TSteady::now();
  ChildProcess child("knsupdate",
                     {"-y", std::string("hmac-sha256:") + KnotServer::kKeyName + ":" + KnotServer::kSecret, file});
  const int rc = child.Wait(std::chrono::minutes(5));
  const double took = Seconds(TSteady::now() - start);
  if (rc != 0) std::fprintf(stderr, "knsupdate ended with %d: %s\n", rc, child.Err().c_str());
  return took;
}

struct TSetup {
  KnotServer& knot;
  TMemoryDnsQueueStore store;
  std::atomic<int> published{0};
  TDnsQueue queue{store, {}, [this](TLogPriority, const std::string& line) {
                    if (line.find(" published") != std::string::npos) ++published;
                  }};
  TDnsServer server{knot.Server()};
  TDnsWorker worker;
  TSetup(KnotServer& k, const TDnsKey& key, int window)
      : knot(k), worker(queue, server, key, std::string(KnotServer::kZone) + ".", TDnsWorkerOptions{window, 5s, 60}) {
    worker.Start();
  }
};

// Enqueues every name at once; the rate at which they were all confirmed.
double QueueRound(TSetup& setup, int names, int round) {
  setup.published = 0;
  const auto start = TSteady::now();
  const TServiceTime now = Now();
  for (int i = 0; i < names; ++i) setup.queue.Enqueue(Name(i), Address(round, i), now);
  setup.worker.Wake();
  while (setup.published < names && TSteady::now() - start < 5min) std::this_thread::sleep_for(1ms);
  const double took = Seconds(TSteady::now() - start);
  if (setup.published < names) std::fprintf(stderr, "only %d of %d published\n", setup.published.load(), names);
  if (Resolve(setup.knot.Port(), Name(names - 1)) != Address(round, names - 1))
    std::fprintf(stderr, "the last name does not resolve to its new address\n");
  return names / took;
}

double KnsupdateRound(const KnotServer& knot, int names, int round) {
  std::string script;
  for (int i = 0; i < names; ++i)
    script += "update delete " + Name(i) + " A\nupdate add " + Name(i) + " 60 A " + Address(round, i) + "\nsend\n";
  return names / Knsupdate(knot, script);
}

// A source address of the loopback network for node i in a round (never .0 or .255).
std::string Source(int round, int i) {
  return "127." + std::to_string(10 + round) + "." + std::to_string(i / 250) + "." + std::to_string(1 + i % 250);
}

// An account holds at most 256 nodes: the service's nodes are spread over
// accounts of 100, bench0, bench1, ...
constexpr int kNodesPerAccount = 100;

std::string CheckInRequest(int node) {
  return "POST /includes/r_update.php?userid=bench" + std::to_string(node / kNodesPerAccount) +
         "&enc=" + DigestToHex(MD5OfString("bench")) + "&node=node" + std::to_string(node) +
         " HTTP/1.0\r\nContent-Length: 0\r\n\r\n";
}

// Lines of the service's log saying a name was published.
int Published(const TServiceChild& service) {
  const std::string log = service.Log();
  int count = 0;
  for (std::size_t at = 0; (at = log.find(" published", at)) != std::string::npos; ++at) ++count;
  return count;
}

// Every node checks in at once from an address of its own, 8 clients
// sending; the rate at which they were all published, from the first
// check-in sent.
double ServiceRound(const TServiceChild& service, int names, int round) {
  const int before = Published(service);
  const auto start = TSteady::now();
  std::atomic<int> next{0}, failed{0};
  std::vector<std::thread> clients;
  for (int c = 0; c < 8; ++c)
    clients.emplace_back([&] {
      for (int i; (i = next++) < names;)
        if (!BenchCheckIn(service.Port(), CheckInRequest(i), Source(round, i).c_str())) ++failed;
    });
  for (std::thread& c : clients) c.join();
  const double sent = Seconds(TSteady::now() - start);
  while (Published(service) < before + names && TSteady::now() - start < 5min) std::this_thread::sleep_for(10ms);
  const double took = Seconds(TSteady::now() - start);
  if (failed > 0) std::fprintf(stderr, "%d check-ins failed\n", failed.load());
  if (Published(service) < before + names)
    std::fprintf(stderr, "only %d of %d published\n", Published(service) - before, names);
  std::printf("  (the %d check-ins were answered within %.2f s of the first)\n", names, sent);
  return names / took;
}

double Median(std::vector<double> values) {
  std::sort(values.begin(), values.end());
  return values.size() % 2 ? values[values.size() / 2]
                           : (values[values.size() / 2 - 1] + values[values.size() / 2]) / 2;
}

// The verification pass (as at the service's start) over every name just
// published, all of which hold: its time and questions, and that it sent no
// update; against kdig asking the same questions in one run.
void VerificationPass(TSetup& setup, const KnotServer& peer, int names) {
  const int publishedBefore = setup.published;
  TDnsVerifier verifier(setup.queue, setup.server, {}, [&setup] { setup.worker.Wake(); });
  const auto start = TSteady::now();
  verifier.Start();
  const std::optional<TDnsPass> pass = verifier.WaitForPasses(1, 5min);
  const double ours = Seconds(TSteady::now() - start);
  verifier.Stop();
  if (!pass) {
    std::fprintf(stderr, "the verification pass did not end\n");
    return;
  }
  std::vector<std::string> args{"@127.0.0.1", "-p", std::to_string(peer.Port()), "+short", "+timeout=2"};
  for (int i = 0; i < names; ++i) args.insert(args.end(), {Name(i), "A"});
  const auto peerStart = TSteady::now();
  ChildProcess kdig("kdig", args);
  kdig.Wait(std::chrono::minutes(5));
  const double theirs = Seconds(TSteady::now() - peerStart);
  std::printf("%-44s %10.3f s %10.3f s %8.2f\n", "verification pass over every name (time)", ours, theirs,
              ours / theirs);
  std::printf("  (%zu questions for %d names; %zu hold, %zu not answered, %zu sent again; %d updates sent meanwhile)\n",
              pass->Asked, names, pass->Held, pass->Unanswered, pass->Resent, setup.published - publishedBefore);
}

}  // namespace

int main(int argc, char** argv) {
  const int names = argc > 1 ? std::atoi(argv[1]) : 1000;
  const int window = argc > 2 ? std::atoi(argv[2]) : TDnsWorkerOptions{}.Window;
  if (names < 1 || names > 60000 || window < 1) {
    std::fprintf(stderr, "usage: dns_bench [names (1-60000)] [window]\n");
    return 2;
  }
  // Line by line: knsupdate is started with fork, which would copy what is still buffered.
  std::setvbuf(stdout, nullptr, _IOLBF, 0);
  const TDnsKey key = TDnsKey::Parse(std::string("hmac-sha256:") + KnotServer::kKeyName + ":" + KnotServer::kSecret);

  std::printf("knotd on 127.0.0.1, %d names changing at once, %d updates on their way at once\n", names, window);
  std::printf("%-44s %12s %12s %8s\n", "", "queue", "knsupdate", "ratio");
  double knsupdateRates[2] = {0, 0}, knsupdateLatency = 0;
  {
    KnotServer knot;
    KnotServer peer;
    if (!knot.Running() || !peer.Running()) {
      std::fprintf(stderr, "knotd did not start: %s\n", knot.Log().c_str());
      return 1;
    }
    TSetup setup(knot, key, window);
    const char* labels[] = {"first publication (updates per second)", "every name moves (updates per second)"};
    for (int round = 1; round <= 2; ++round) {
      const double ours = QueueRound(setup, names, round);
      const double theirs = KnsupdateRound(peer, names, round);
      knsupdateRates[round - 1] = theirs;
      std::printf("%-44s %12.0f %12.0f %8.2f\n", labels[round - 1], ours, theirs, ours / theirs);
    }
    VerificationPass(setup, peer, names);
  }

  {
    KnotServer knot;
    if (!knot.Running()) return 1;
    TSetup setup(knot, key, window);
    const std::string name = Name(0);
    std::vector<double> ours, theirs;
    for (int i = 0; i < 20; ++i) {
      const std::string address = Address(3, i);
      const auto start = TSteady::now();
      setup.queue.Enqueue(name, address, Now());
      setup.worker.Wake();
      while (Resolve(knot.Port(), name) != address && TSteady::now() - start < 30s) {
      }
      ours.push_back(Seconds(TSteady::now() - start) * 1000);

      const std::string other = Address(4, i);
      const auto peerStart = TSteady::now();
      Knsupdate(knot, "update delete " + Name(1) + " A\nupdate add " + Name(1) + " 60 A " + other + "\nsend\n");
      while (Resolve(knot.Port(), Name(1)) != other && TSteady::now() - peerStart < 30s) {
      }
      theirs.push_back(Seconds(TSteady::now() - peerStart) * 1000);
    }
    const double a = Median(ours), b = Median(theirs);
    knsupdateLatency = b;
    std::printf("%-44s %10.1f ms %9.1f ms %8.2f\n", "enqueue to resolving, median of 20", a, b, a / b);
  }

  {
    KnotServer knot;
    TempDir dir;
    if (!knot.Running()) return 1;
    std::vector<std::string> args{"--dns-zone",  KnotServer::kZone, "--dns-server",
                                  knot.Server(), "--dns-key",       knot.KeyFile()};
    // The accounts are stored with their slow hash by the service's own command.
    const int accounts = (names - 1) / kNodesPerAccount + 1;
    std::string list;
    for (int a = 0; a < accounts; ++a)
      list += "bench" + std::to_string(a) + " " + DigestToHex(MD5OfString("bench")) + "\n";
    TempDir::Write(dir.File("accounts"), list);
    const std::string db = dir.File("service.db");
    const std::string import = std::string(SERVICE_PATH) + " account import --db " + db + " " + dir.File("accounts") +
                               " >" + dir.File("import.log") + " 2>&1";
    if (std::system(import.c_str()) != 0) {
      std::fprintf(stderr, "account import failed: %s\n", TempDir::Read(dir.File("import.log")).c_str());
      return 1;
    }
    args.insert(args.end(), {"--db", db});
    TServiceChild service(args, dir.File("service.log"));
    if (service.Port() == 0) {
      std::fprintf(stderr, "pinmark-service did not start: %s\n", service.Log().c_str());
      return 1;
    }
    // Each account's first check-in pays the slow hash: that is not what is measured.
    for (int a = 0; a < accounts; ++a) BenchCheckIn(service.Port(), CheckInRequest(a * kNodesPerAccount));
    for (const auto start = TSteady::now(); Published(service) < accounts && TSteady::now() - start < 1min;)
      std::this_thread::sleep_for(10ms);
    std::printf("through pinmark-service (check-ins to the binary):\n");
    const char* labels[] = {"first publication (updates per second)", "every node moves (updates per second)"};
    for (int round = 1; round <= 2; ++round) {
      const double ours = ServiceRound(service, names, round);
      std::printf("%-44s %12.0f %12.0f %8.2f\n", labels[round - 1], ours, knsupdateRates[round - 1],
                  ours / knsupdateRates[round - 1]);
    }
    const std::string name = std::string("node0.bench0.") + KnotServer::kZone + ".";
    std::vector<double> ours;
    for (int i = 0; i < 20; ++i) {
      const std::string source = Source(3, i);
      const auto start = TSteady::now();
      if (!BenchCheckIn(service.Port(), CheckInRequest(0), source.c_str())) std::fprintf(stderr, "a check-in failed\n");
      while (Resolve(knot.Port(), name) != source && TSteady::now() - start < 30s) {
      }
      ours.push_back(Seconds(TSteady::now() - start) * 1000);
    }
    const double a = Median(ours);
    std::printf("%-44s %10.1f ms %9.1f ms %8.2f\n", "check-in to resolving, median of 20", a, knsupdateLatency,
                a / knsupdateLatency);
  }
  return 0;
}
