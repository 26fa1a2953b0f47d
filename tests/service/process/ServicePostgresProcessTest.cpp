// The real pinmark-service on a PostgreSQL database (a throw-away cluster):
// the account commands and the check-in door on a postgresql:// URI, what a
// restart of the service keeps, and a restart of the server during
// check-ins: 503 meanwhile, 200 again after, and every check-in answered
// 200 in the database; remembered check-ins against account commands run
// from another process.
#include <gtest/gtest.h>

#include <atomic>
#include <thread>

#include "tests/service/process/ServiceChild.h"
#include "tests/support/PostgresCluster.h"

using namespace servicetest;

namespace {
const auto* const kEnvironment = ::testing::AddGlobalTestEnvironment(new PostgresEnvironment);
}  // namespace

TEST(ServicePostgres, ChecksInKeepsItAcrossRestartsAndAnswers503WhileTheServerRestarts) {
  PINMARK_NEED_POSTGRES(cluster);
  const std::string uri = cluster.NewDatabase(), name = PostgresCluster::DatabaseOf(uri);
  RunResult r = RunService({"account", "add", "alice", "--password-stdin", "--db", uri}, "secret\n");
  ASSERT_EQ(r.code, 0) << r.err;
  EXPECT_EQ(r.out, "added account alice\n");
  r = RunService({"backup", "copy.db", "--db", uri});
  EXPECT_EQ(r.code, 1);
  EXPECT_NE(r.err.find("pg_dump"), std::string::npos) << r.err;
  EXPECT_EQ(RunService({"--db", uri, "--create", "--port", "0"}).code, 2) << "--create is for SQLite files";

  const auto checkIns = [&] { return std::stoll(cluster.Sql(name, "SELECT coalesce(sum(check_ins), 0) FROM nodes")); };
  {
    ServiceProcess service({"--db", uri});
    ASSERT_GT(service.Port(), 0) << service.Log();
    EXPECT_EQ(CheckIn(service.Port(), "alice", Md5("secret"), "box").status, 200);
    EXPECT_EQ(CheckIn(service.Port(), "alice", Md5("secret"), "box").status, 200);
    EXPECT_EQ(CheckIn(service.Port(), "alice", Md5("wrong"), "box").status, 403);
    EXPECT_EQ(checkIns(), 2);
  }
  ServiceProcess service({"--db", uri});
  ASSERT_GT(service.Port(), 0) << service.Log();
  EXPECT_EQ(CheckIn(service.Port(), "alice", Md5("secret"), "box").status, 200) << "the account outlived the service";
  const auto health = [&] { return Parse(Ask(service.Port(), "GET /healthz HTTP/1.0\r\n\r\n")); };
  EXPECT_EQ(health().status, 200) << health().body;
  EXPECT_EQ(checkIns(), 3);
  r = RunService({"account", "list", "--db", uri});
  EXPECT_EQ(r.out.rfind("alice\t1 node\t", 0), 0u) << r.out << r.err;

  // Check-ins go on while the server stops and starts again.
  std::atomic<bool> going{true};
  std::atomic<int> ok{0}, unavailable{0}, other{0};
  std::thread client([&] {
    while (going) {
      const int status = CheckIn(service.Port(), "alice", Md5("secret"), "box").status;
      (status == 200 ? ok : status == 503 ? unavailable : other)++;
    }
  });
  const auto waitFor = [](const std::function<bool()>& done) {
    const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(60);
    while (!done() && std::chrono::steady_clock::now() < end) testpeer::Pause(5);
    return done();
  };
  EXPECT_TRUE(waitFor([&] { return ok > 5; }));
  ASSERT_TRUE(cluster.Stop());
  EXPECT_TRUE(waitFor([&] { return unavailable > 5; })) << "answered 503 while the server is down";
  const Answer down = health();
  EXPECT_EQ(down.status, 503);
  EXPECT_NE(down.body.find("the database does not answer"), std::string::npos) << down.body;
  const int okBefore = ok;
  ASSERT_TRUE(cluster.Start()) << cluster.Log();
  EXPECT_TRUE(waitFor([&] { return ok > okBefore + 5; })) << service.Log();
  EXPECT_EQ(health().status, 200);
  going = false;
  client.join();
  EXPECT_EQ(other, 0);
  const long long stored = checkIns() - 3;
  EXPECT_GE(stored, ok.load()) << "every check-in answered 200 is in the database";
  EXPECT_LE(stored, ok + unavailable) << "and no more than were made";
  EXPECT_TRUE(service.WaitForLog("outcome=unavailable")) << service.Log().substr(0, 2000);
}

// A check-in whose password the service remembers is read and recorded in
// one statement, sent with the others of the moment; what the account
// commands change meanwhile, from another process on the database as from
// another instance, counts at once.
TEST(ServicePostgres, ARememberedCheckInFollowsWhatAnotherProcessChangesInTheAccount) {
  PINMARK_NEED_POSTGRES(cluster);
  const std::string uri = cluster.NewDatabase(), name = PostgresCluster::DatabaseOf(uri);
  ASSERT_EQ(RunService({"account", "add", "alice", "--password-stdin", "--db", uri}, "secret\n").code, 0);
  ServiceProcess service({"--db", uri});
  ASSERT_GT(service.Port(), 0) << service.Log();
  const struct {
    std::vector<std::string> command;  // run first, when not empty
    std::string input, password;
    int status;
  } steps[] = {
      {{}, "", "secret", 200},
      {{}, "", "secret", 200},  // remembered
      {{"account", "passwd", "alice", "--password-stdin"}, "changed\n", "secret", 403},
      {{}, "", "changed", 200},
      {{}, "", "changed", 200},
      {{"account", "set", "alice", "--keys-only"}, "", "changed", 403},
      {{"account", "set", "alice", "--no-keys-only"}, "", "changed", 200},
      {{"account", "remove", "alice"}, "", "changed", 403},
  };
  long long recorded = 0;
  for (const auto& step : steps) {
    SCOPED_TRACE(step.command.empty() ? step.password : step.command[1] + " " + step.command.back());
    if (!step.command.empty()) {
      std::vector<std::string> args = step.command;
      args.insert(args.end(), {"--db", uri});
      const RunResult r = RunService(args, step.input);
      ASSERT_EQ(r.code, 0) << r.err;
    }
    EXPECT_EQ(CheckIn(service.Port(), "alice", Md5(step.password), "box").status, step.status);
    if (step.status == 200) ++recorded;
    EXPECT_EQ(cluster.Sql(name, "SELECT coalesce(sum(check_ins), 0) FROM nodes"),
              std::to_string(step.command.size() == 3 && step.command[1] == "remove" ? 0 : recorded));
  }
  // The remembered ones went through the connection that sends a turn's check-ins together.
  EXPECT_EQ(cluster.Sql(name, "SELECT count(*) FROM pg_stat_activity WHERE application_name = "
                              "'pinmark-service check-ins'"),
            "1");
}
