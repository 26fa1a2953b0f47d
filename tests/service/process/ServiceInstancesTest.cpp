// Two pinmark-service instances on one PostgreSQL database behind nginx
// (an upstream of both, round robin, everything on loopback), as people run
// the service when one machine is not enough: check-ins land on both and
// are all recorded, a sign-in on one is honoured by the other, a kill -9 of
// one during a burst loses no check-in that was answered 200, and of nodes
// moving at once through both the name server receives and applies exactly
// one update per name per change, as knotd itself records them.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <functional>
#include <iostream>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <sstream>
#include <thread>

#include "tests/service/process/ServiceChild.h"
#include "tests/support/ChildProcess.h"
#include "tests/support/KnotServer.h"
#include "tests/support/NginxServer.h"
#include "tests/support/PostgresCluster.h"

using namespace servicetest;

namespace {
const auto* const kEnvironment = ::testing::AddGlobalTestEnvironment(new PostgresEnvironment);


// Asks done every period until it answers true, at most limit; its last answer.
bool WaitFor(const std::function<bool()>& done, std::chrono::seconds limit = std::chrono::seconds(120),
             std::chrono::milliseconds period = std::chrono::milliseconds(20)) {
  const auto end = std::chrono::steady_clock::now() + limit;
  for (;;) {
    if (done()) return true;
    if (std::chrono::steady_clock::now() >= end) return false;
    testpeer::Pause(static_cast<int>(period.count()));
  }
}

// A fresh database with the accounts given (all with one password), two
// instances on it that take nginx's word for the caller, and nginx in
// front of both.
class Pair {
 public:
  Pair(PostgresCluster& cluster, const std::vector<std::string>& accounts, const std::vector<std::string>& extra = {})
      : cluster_(cluster), uri_(cluster.NewDatabase()) {
    for (const std::string& account : accounts) {
      const RunResult r = RunService({"account", "add", account, "--password-stdin", "--db", uri_}, "secret\n");
      EXPECT_EQ(r.code, 0) << r.err;
    }
    std::vector<std::string> args{"--db", uri_, "--trusted-proxy", "127.0.0.1"};
    args.insert(args.end(), extra.begin(), extra.end());
    for (auto& instance : instances_) instance = std::make_unique<ServiceProcess>(args);
    nginx_ = std::make_unique<NginxServer>(
        false, "    location / { proxy_pass http://pinmark; proxy_set_header X-Forwarded-For $remote_addr; }",
        "  upstream pinmark { server 127.0.0.1:" + std::to_string(instances_[0]->Port()) +
            "; server 127.0.0.1:" + std::to_string(instances_[1]->Port()) + "; }");
  }

  bool Ready() const { return instances_[0]->Port() > 0 && instances_[1]->Port() > 0 && nginx_->Running(); }
  std::string Problem() const { return instances_[0]->Log() + instances_[1]->Log() + nginx_->Problem(); }
  ServiceProcess& Instance(int i) { return *instances_[i]; }
  int Front() const { return nginx_->Port(); }
  std::string Sql(const std::string& sql) const { return cluster_.Sql(PostgresCluster::DatabaseOf(uri_), sql); }

 private:
  PostgresCluster& cluster_;
  std::string uri_;
  std::unique_ptr<ServiceProcess> instances_[2];
  std::unique_ptr<NginxServer> nginx_;
};

// Signs alice in through the page's form on port; the session cookie ("pinmark_session=...").
std::string SignIn(int port) {
  const std::string page = Ask(port, "GET /nodes HTTP/1.0\r\n\r\n", 30000);
  const std::size_t form = page.find("pinmark_form=");
  if (form == std::string::npos) return "no form token: " + page;
  const std::string token = page.substr(form + 13, 64);
  const std::string body = "name=alice&password=secret&form=" + token;
  const std::string answer = Ask(port,
                                 "POST /signin HTTP/1.0\r\nContent-Type: application/x-www-form-urlencoded\r\n"
                                 "Cookie: pinmark_form=" + token + "\r\nContent-Length: " +
                                     std::to_string(body.size()) + "\r\n\r\n" + body,
                                 30000);
  const std::size_t at = answer.find("pinmark_session=");
  if (at == std::string::npos) return "no session: " + answer;
  return answer.substr(at, answer.find(';', at) - at);
}

bool SignedIn(int port, const std::string& cookie) {
  return Ask(port, "GET /nodes HTTP/1.0\r\nCookie: " + cookie + "\r\n\r\n", 30000).find("action=\"/signout\"") !=
         std::string::npos;
}
}  // namespace

TEST(ServiceInstances, CheckInsThroughNginxLandOnBothAndASignInOnOneHoldsOnTheOther) {
  PINMARK_NEED_POSTGRES(cluster);
  Pair pair(cluster, {"alice"});
  ASSERT_TRUE(pair.Ready()) << pair.Problem();

  constexpr int kCheckIns = 24;
  for (int i = 0; i < kCheckIns; ++i) {
    const std::string source = "127.0.1." + std::to_string(i % 6 + 1);
    const Answer a = CheckIn(pair.Front(), "alice", Md5("secret"), "n" + std::to_string(i % 3), source.c_str());
    EXPECT_EQ(a.status, 200) << a.body;
  }
  // The log line may follow the answer a moment later.
  const auto logged = [&] {
    return pair.Instance(0).CountInLog("event=checkin outcome=") + pair.Instance(1).CountInLog("event=checkin outcome=");
  };
  EXPECT_TRUE(WaitFor([&] { return logged() >= kCheckIns; }, std::chrono::seconds(30)));
  EXPECT_EQ(logged(), kCheckIns) << "each check-in served once, none sent again to the other instance";
  for (int i : {0, 1}) EXPECT_GT(pair.Instance(i).CountInLog("event=checkin outcome="), 0) << "round robin";
  EXPECT_EQ(pair.Sql("SELECT sum(check_ins) FROM nodes"), std::to_string(kCheckIns));
  EXPECT_EQ(pair.Sql("SELECT count(*) FROM nodes"), "3");
  // The caller is the client nginx speaks for, not nginx.
  EXPECT_EQ(pair.Sql("SELECT count(*) FROM nodes WHERE address LIKE '127.0.1.%'"), "3");

  // Signed in on one instance, the session is good on the other and on the first.
  const std::string cookie = SignIn(pair.Instance(0).Port());
  ASSERT_EQ(cookie.rfind("pinmark_session=", 0), 0u) << cookie;
  EXPECT_TRUE(SignedIn(pair.Instance(1).Port(), cookie));
  EXPECT_TRUE(SignedIn(pair.Instance(0).Port(), cookie));
  EXPECT_FALSE(SignedIn(pair.Instance(1).Port(), "pinmark_session=" + std::string(cookie.size() - 16, 'a')));
}

TEST(ServiceInstances, AKilledInstanceLosesNoCheckInItAnswered200) {
  PINMARK_NEED_POSTGRES(cluster);
  Pair pair(cluster, {"alice"});
  ASSERT_TRUE(pair.Ready()) << pair.Problem();

  // Each client thread is a node of its own, so what each was answered 200
  // can be held against what its node has in the database.
  constexpr int kThreads = 8, kEach = 250;
  std::atomic<int> answered{0}, other{0};
  std::vector<int> ok(kThreads, 0);
  std::mutex lock;
  std::map<int, int> refusals;  // status (0: no answer) to how often
  std::vector<std::thread> clients;
  for (int t = 0; t < kThreads; ++t)
    clients.emplace_back([&, t] {
      const std::string source = "127.0.2." + std::to_string(t + 1);
      for (int i = 0; i < kEach; ++i) {
        const int status = CheckIn(pair.Front(), "alice", Md5("secret"), "k" + std::to_string(t), source.c_str()).status;
        if (status == 200) {
          ++ok[t];
        } else {
          ++other;
          std::lock_guard<std::mutex> guard(lock);
          ++refusals[status];
        }
        ++answered;
      }
    });
  // In the middle of the burst, with both instances serving.
  const bool midway = WaitFor([&] {
    return answered >= kThreads * kEach / 4 && pair.Instance(1).CountInLog("event=checkin outcome=") > 0;
  });
  pair.Instance(1).Stop(SIGKILL);
  const int atKill = answered;
  for (std::thread& client : clients) client.join();
  ASSERT_TRUE(midway) << pair.Problem();
  EXPECT_LT(atKill, kThreads * kEach) << "the kill came during the burst";

  int answered200 = 0;
  for (int t = 0; t < kThreads; ++t) {
    const long long stored =
        std::stoll(pair.Sql("SELECT coalesce(sum(check_ins), 0) FROM nodes WHERE name = 'k" + std::to_string(t) + "'"));
    EXPECT_GE(stored, ok[t]) << "node k" << t << ": every check-in answered 200 is in the database";
    EXPECT_LE(stored, kEach) << "node k" << t << ": no more than were made";
    answered200 += ok[t];
  }
  EXPECT_GT(answered200, kThreads * kEach * 9 / 10) << "nginx sends the rest to the instance left";
  std::cout << "kill -9 during " << kThreads * kEach << " check-ins through nginx: " << answered200 << " answered 200, "
            << other << " otherwise (killed after " << atKill << " answers):";
  for (const auto& [status, count] : refusals) std::cout << " " << count << " x " << status;
  std::cout << std::endl;
  RecordProperty("non200", other.load());
  // The instance left serves on.
  EXPECT_EQ(CheckIn(pair.Front(), "alice", Md5("secret"), "k0", "127.0.2.1").status, 200);
}

namespace {
// The TTL the instances publish with.
constexpr int kTtl = 60;

// The address node j of account a checks in from in round r (1 or 2).
std::string Address(int round, int a, int j) {
  return "127." + std::to_string(round) + "." + std::to_string(a) + "." + std::to_string(j + 1);
}
std::string DnsName(int a, int j) {
  return "n" + std::to_string(j) + ".a" + std::to_string(a) + "." + KnotServer::kZone + ".";
}

// Every node checks in from its address of round, through nginx, from
// several threads at once; a check-in not answered 200 is made again.
void CheckInAll(int front, int accounts, int nodes, int round) {
  constexpr int kThreads = 8;
  std::atomic<int> next{0};
  std::vector<std::thread> clients;
  for (int t = 0; t < kThreads; ++t)
    clients.emplace_back([&] {
      for (int k; (k = next++) < accounts * nodes;) {
        const int a = k % accounts, j = k / accounts;
        const std::string source = Address(round, a, j);
        int status = 0;
        for (int attempt = 0; attempt < 20 && status != 200; ++attempt)
          status = CheckIn(front, "a" + std::to_string(a), Md5("secret"), "n" + std::to_string(j), source.c_str()).status;
        EXPECT_EQ(status, 200) << source;
      }
    });
  for (std::thread& client : clients) client.join();
}

// How often each name was published at each address, by both instances' logs.
std::map<std::string, int> Publications(const std::string& logs) {
  std::map<std::string, int> counts;
  std::istringstream in(logs);
  for (std::string line; std::getline(in, line);) {
    const std::size_t at = line.find("event=dns name=");
    if (at == std::string::npos || line.find(" type=A ") == std::string::npos ||
        line.find(" state=published") == std::string::npos)
      continue;
    const std::size_t name = at + 15, address = line.find(" address=") + 9;
    ++counts[line.substr(name, line.find(' ', name) - name) + " " +
             line.substr(address, line.find(' ', address) - address)];
  }
  return counts;
}

// The A records knotd holds for names, asked 250 at a time of one kdig.
std::map<std::string, std::vector<std::string>> Resolve(const KnotServer& knot, const std::vector<std::string>& names) {
  std::map<std::string, std::vector<std::string>> found;
  for (std::size_t from = 0; from < names.size(); from += 250) {
    std::vector<std::string> args{"@127.0.0.1", "-p", std::to_string(knot.Port()), "+noall", "+answer", "+timeout=5"};
    for (std::size_t i = from; i < std::min(names.size(), from + 250); ++i) args.insert(args.end(), {names[i], "A"});
    ChildProcess kdig("kdig", args);
    kdig.Wait(std::chrono::seconds(60));
    std::istringstream out(kdig.Out());
    for (std::string line; std::getline(out, line);) {
      std::istringstream fields(line);
      std::string name, ttl, klass, type, address;
      if (fields >> name >> ttl >> klass >> type >> address && type == "A") found[name].push_back(address);
    }
  }
  return found;
}

// Each name's updates as knotd received them, in order: the address of an
// update that replaces the name's A set, or the whole update when it is of
// another shape (so that a failure shows it). A datagram sent again
// unanswered (the same ID and records) is the same update, counted in resent.
std::map<std::string, std::vector<std::string>> ReceivedByName(const std::vector<KnotServer::Update>& updates,
                                                               int& resent) {
  std::map<std::string, std::vector<std::string>> byName;
  std::set<std::pair<int, std::vector<std::string>>> seen;
  for (const KnotServer::Update& update : updates) {
    if (!seen.insert({update.Id, update.Records}).second) {
      ++resent;
      continue;
    }
    const std::string owner = update.Records.empty() ? "" : update.Records[0].substr(0, update.Records[0].find(' '));
    const std::string added = update.Records.size() == 2 ? update.Records[1] : "";
    const std::string prefix = owner + " " + std::to_string(kTtl) + " IN A ";
    if (update.Records.size() == 2 && update.Records[0] == owner + " 0 ANY A" && added.rfind(prefix, 0) == 0) {
      byName[owner].push_back(added.substr(prefix.size()));
    } else {
      std::string whole;
      for (const std::string& record : update.Records) whole += "[" + record + "]";
      byName[owner].push_back(whole);
    }
  }
  return byName;
}

// Each name's A records as knotd's journal removed ("-address") and added
// ("+address") them, change after change.
std::map<std::string, std::vector<std::string>> AppliedByName(const std::vector<KnotServer::Change>& changes) {
  std::map<std::string, std::vector<std::string>> byName;
  const auto take = [&](const std::string& record, const char* sign) {
    std::istringstream fields(record);
    std::string owner, ttl, type, address;
    fields >> owner >> ttl >> type >> address;
    byName[owner].push_back(type == "A" ? sign + address : "[" + record + "]");
  };
  for (const KnotServer::Change& change : changes) {
    for (const std::string& record : change.Removed) take(record, "-");
    for (const std::string& record : change.Added) take(record, "+");
  }
  return byName;
}

// Counts the names whose items are not the ones expected, and shows the
// first few (a thousand names failing alike say no more than five).
class Mismatches {
 public:
  void Check(const std::string& name, const std::vector<std::string>& found, const std::vector<std::string>& expected) {
    if (found == expected || ++count_ > 5) return;
    shown_ += "\n  " + name + ":";
    for (const std::string& item : found) shown_ += " " + item;
    shown_ += " (expected";
    for (const std::string& item : expected) shown_ += " " + item;
    shown_ += ")";
  }
  int Count() const { return count_; }
  const std::string& Shown() const { return shown_; }

 private:
  int count_ = 0;
  std::string shown_;
};
}  // namespace

TEST(ServiceInstances, NodesMovingAtOnceThroughBothReachKnotdOncePerChange) {
  PINMARK_NEED_POSTGRES(cluster);
  // knotd records every update it receives and keeps every change it makes.
  KnotServer knot("hmac-sha256", KnotServer::Keep::Updates);
  ASSERT_TRUE(knot.Running()) << knot.Log();
  // 1,000 nodes: an account holds at most 256.
  constexpr int kAccounts = 4, kNodes = 250, kNames = kAccounts * kNodes;
  Pair pair(cluster, {"a0", "a1", "a2", "a3"},
            {"--dns-zone", KnotServer::kZone, "--dns-server", knot.Server(), "--dns-key", knot.KeyFile(), "--dns-ttl",
             std::to_string(kTtl)});
  ASSERT_TRUE(pair.Ready()) << pair.Problem();
  std::vector<std::string> names;
  std::map<std::string, std::vector<std::string>> moves;  // each name's address of round 1, then of round 2
  for (int a = 0; a < kAccounts; ++a)
    for (int j = 0; j < kNodes; ++j) {
      names.push_back(DnsName(a, j));
      moves[names.back()] = {Address(1, a, j), Address(2, a, j)};
    }
  // The names knotd does not hold at their address of round alone.
  const auto notYetAt = [&](int round) {
    const std::map<std::string, std::vector<std::string>> held = Resolve(knot, names);
    std::vector<std::string> behind;
    for (const std::string& name : names) {
      const auto at = held.find(name);
      if (at == held.end() || at->second != std::vector<std::string>{moves[name][round - 1]}) behind.push_back(name);
    }
    return behind;
  };
  // Until knotd took up an update per name of round and then holds them all
  // (asked a little at a time: each asking is four kdig runs).
  const auto moved = [&](int round) {
    const bool counted = WaitFor([&] { return knot.UpdatesProcessed() >= round * kNames; }, std::chrono::seconds(300));
    std::vector<std::string> behind;
    WaitFor([&] { return (behind = notYetAt(round)).empty(); }, std::chrono::seconds(counted ? 120 : 1),
            std::chrono::milliseconds(250));
    return behind;
  };

  const auto began = std::chrono::steady_clock::now();
  CheckInAll(pair.Front(), kAccounts, kNodes, 1);
  std::vector<std::string> behind = moved(1);
  ASSERT_TRUE(behind.empty()) << behind.size() << " names not yet held, e.g. " << behind[0] << "; knotd took up "
                              << knot.UpdatesProcessed() << " updates";
  std::cout << "first check-ins of " << kNames << " nodes held by knotd in "
            << std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - began).count()
            << " ms" << std::endl;
  const auto start = std::chrono::steady_clock::now();
  CheckInAll(pair.Front(), kAccounts, kNodes, 2);
  behind = moved(2);
  ASSERT_TRUE(behind.empty()) << behind.size() << " names not yet at their new address, e.g. " << behind[0]
                              << "; knotd took up " << knot.UpdatesProcessed() << " updates";
  const auto took = std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - start);
  std::cout << kNames << " nodes moved through two instances: all held by knotd in " << took.count() << " ms"
            << std::endl;
  RecordProperty("move_ms", static_cast<int>(took.count()));

  // Once the senders are gone and knotd has stopped, its record is whole.
  for (int i : {0, 1}) EXPECT_EQ(pair.Instance(i).Stop(), 0) << pair.Instance(i).Log();
  knot.Stop();
  const std::vector<KnotServer::Update> received = knot.ReceivedUpdates();
  EXPECT_EQ(static_cast<std::size_t>(knot.UpdatesProcessed()), received.size())
      << "knotd took up every update it received";
  int resent = 0;
  std::map<std::string, std::vector<std::string>> byName = ReceivedByName(received, resent);
  std::map<std::string, std::vector<std::string>> applied = AppliedByName(knot.Changes());
  EXPECT_EQ(byName.size(), names.size()) << "updates of other names";
  EXPECT_EQ(applied.size(), names.size()) << "changes of other names";
  // Received: one update per name per change, none lost, in order. Applied:
  // the first address added, then replaced by the second, once.
  Mismatches receivedOnce, appliedOnce;
  for (const std::string& name : names) {
    const std::vector<std::string>& m = moves[name];
    receivedOnce.Check(name, byName[name], m);
    appliedOnce.Check(name, applied[name], std::vector<std::string>{"+" + m[0], "-" + m[0], "+" + m[1]});
  }
  EXPECT_EQ(receivedOnce.Count(), 0) << "names whose updates knotd received:" << receivedOnce.Shown();
  EXPECT_EQ(appliedOnce.Count(), 0) << "names whose changes knotd applied:" << appliedOnce.Shown();

  // Both instances sent updates (knotd cannot tell them apart), and what
  // their logs call published is what knotd received.
  for (int i : {0, 1}) EXPECT_GT(pair.Instance(i).CountInLog(" state=published"), 0);
  const std::map<std::string, int> claimed = Publications(pair.Instance(0).Log() + pair.Instance(1).Log());
  EXPECT_EQ(claimed.size(), static_cast<std::size_t>(2 * kNames));
  Mismatches logged;
  for (const auto& [name, addresses] : moves)
    for (const std::string& address : addresses) {
      const auto at = claimed.find(name + " " + address);
      logged.Check(name + " " + address, {std::to_string(at == claimed.end() ? 0 : at->second)}, {"1"});
    }
  EXPECT_EQ(logged.Count(), 0) << "publications the instances logged (times):" << logged.Shown();
  std::cout << received.size() << " datagrams of updates reached knotd, " << resent << " of them sent again unanswered"
            << std::endl;
  RecordProperty("resent", resent);
}
