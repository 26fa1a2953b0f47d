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
