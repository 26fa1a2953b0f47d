// Two pinmark-service instances on one PostgreSQL database behind nginx
// (an upstream of both, round robin, everything on loopback), as people run
// the service when one machine is not enough: check-ins land on both and
// are all recorded, a sign-in on one is honoured by the other, a kill -9 of
// one during a burst loses no check-in that was answered 200, and nodes
// moving at once through both are published exactly once per change.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <functional>
#include <iostream>
#include <map>
#include <memory>
#include <mutex>
#include <sstream>
#include <thread>

#include "tests/service/process/ServiceChild.h"
#include "tests/support/KnotServer.h"
#include "tests/support/NginxServer.h"
#include "tests/support/PostgresCluster.h"

using namespace servicetest;

namespace {
const auto* const kEnvironment = ::testing::AddGlobalTestEnvironment(new PostgresEnvironment);

std::string DatabaseOf(const std::string& uri) {
  const std::size_t from = uri.find(":///") + 4;
  return uri.substr(from, uri.find('?') - from);
}

bool WaitFor(const std::function<bool()>& done, std::chrono::seconds limit = std::chrono::seconds(120)) {
  const auto end = std::chrono::steady_clock::now() + limit;
  while (!done() && std::chrono::steady_clock::now() < end) testpeer::Pause(20);
  return done();
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
  std::string Sql(const std::string& sql) const { return cluster_.Sql(DatabaseOf(uri_), sql); }

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
  std::cout << "\n";
  RecordProperty("non200", other.load());
  // The instance left serves on.
  EXPECT_EQ(CheckIn(pair.Front(), "alice", Md5("secret"), "k0", "127.0.2.1").status, 200);
}
