// What the service's admins use, through the real binary: /metrics (checked
// by Prometheus's promtool) and /healthz from allowed addresses only,
// /healthz against a name server that goes away, and a backup taken while
// check-ins pour in.
#include <gtest/gtest.h>

#include <sys/stat.h>

#include <algorithm>
#include <atomic>
#include <iostream>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "tests/service/process/ServiceChild.h"
#include "tests/support/KnotServer.h"

using namespace servicetest;

namespace {
Answer Get(int port, const std::string& path) {
  return Parse(Ask(port, "GET " + path + " HTTP/1.0\r\n\r\n", 30000));
}

bool Holds(const std::string& text, const std::string& part) { return text.find(part) != std::string::npos; }

// promtool's verdict on a metrics text: "" when it passes, else what it said.
std::string PromtoolProblems(const std::string& metrics) {
  TempDir dir;
  TempDir::Write(dir.File("metrics"), metrics);
  const std::string command =
      "promtool check metrics < " + dir.File("metrics") + " > " + dir.File("out") + " 2>&1";
  const int status = std::system(command.c_str());
  const std::string said = TempDir::Read(dir.File("out"));
  return status == 0 && said.empty() ? "" : "promtool: " + said;
}

// Polls path until its status is wanted (at most limit); the last answer.
Answer WaitStatus(int port, const std::string& path, int wanted, std::chrono::seconds limit) {
  const auto deadline = std::chrono::steady_clock::now() + limit;
  Answer a = Get(port, path);
  while (a.status != wanted && std::chrono::steady_clock::now() < deadline) {
    testpeer::Pause(100);
    a = Get(port, path);
  }
  return a;
}

// Polls /metrics until it holds line (at most limit); the last text read.
std::string WaitMetrics(int port, const std::string& line, std::chrono::seconds limit = std::chrono::seconds(30)) {
  const auto deadline = std::chrono::steady_clock::now() + limit;
  std::string text = Get(port, "/metrics").body;
  while (!Holds(text, line) && std::chrono::steady_clock::now() < deadline) {
    testpeer::Pause(50);
    text = Get(port, "/metrics").body;
  }
  return text;
}
}  // namespace

TEST(ServiceAdmin, MetricsAndHealthAnswerAllowedAddressesOnlyAndPromtoolTakesTheText) {
  const std::vector<std::string> account{"--account", std::string("demo:") + kDigest};
  struct Case {
    const char* name;
    std::vector<std::string> options;
    int status;  // of both doors, from 127.0.0.1
  } cases[] = {
      {"loopback by default", {}, 200},
      {"another network only", {"--metrics-from", "10.0.0.0/8"}, 404},
      {"one loopback address among others", {"--metrics-from", "192.0.2.1", "--metrics-from", "127.0.0.1"}, 200},
      {"IPv6 loopback alone", {"--metrics-from", "::1"}, 404},
  };
  for (const Case& c : cases) {
    std::vector<std::string> args = account;
    args.insert(args.end(), c.options.begin(), c.options.end());
    ServiceProcess service(args);
    ASSERT_GT(service.Port(), 0) << c.name << service.Log();
    EXPECT_EQ(Get(service.Port(), "/metrics").status, c.status) << c.name;
    EXPECT_EQ(Get(service.Port(), "/healthz").status, c.status) << c.name;
    if (c.status == 404) {
      EXPECT_EQ(Get(service.Port(), "/metrics").body, Get(service.Port(), "/no-such-page").body)
          << c.name << ": refused as any unknown path is";
      continue;
    }
    ASSERT_EQ(CheckIn(service.Port(), "demo", kDigest, "box").status, 200);
    ASSERT_EQ(CheckIn(service.Port(), "demo", kDigest, "box").status, 200);
    ASSERT_EQ(CheckIn(service.Port(), "demo", Md5("wrong"), "box").status, 403);
    const Answer metrics = Get(service.Port(), "/metrics");
    EXPECT_EQ(PromtoolProblems(metrics.body), "") << metrics.body;
    for (const char* line : {"pinmark_requests_total{door=\"checkin\",outcome=\"ok\"} 2\n",
                             "pinmark_requests_total{door=\"checkin\",outcome=\"bad_auth\"} 1\n",
                             "pinmark_requests_total{door=\"dyndns2\",outcome=\"ok\"} 0\n", "pinmark_nodes 1\n",
                             "pinmark_stale_nodes 0\n", "pinmark_slow_hashes_running 0\n",
                             "pinmark_webhook_deliveries_total{outcome=\"delivered\"} 0\n"})
      EXPECT_TRUE(Holds(metrics.body, line)) << c.name << ": " << line;
    const Answer health = Get(service.Port(), "/healthz");
    EXPECT_EQ(health.body, "ok\n") << c.name;
  }
}

TEST(ServiceAdmin, HealthTurns503WhileTheNameServerIsDownLongerThanAllowedAndRecovers) {
  KnotServer knot;
  ASSERT_TRUE(knot.Running()) << knot.Log();
  ServiceProcess service({"--account", std::string("demo:") + kDigest, "--dns-zone", KnotServer::kZone,
                          "--dns-server", knot.Server(), "--dns-key", knot.KeyFile(), "--healthy-queue-age", "2s"});
  ASSERT_GT(service.Port(), 0) << service.Log();
  const std::string laptop = "laptop.demo.dyn.example.org.";
  ASSERT_EQ(CheckIn(service.Port(), "demo", kDigest, "laptop", "127.0.0.2").status, 200);
  ASSERT_TRUE(knot.WaitResolves(laptop, "A", "127.0.0.2", std::chrono::seconds(60))) << service.Log();
  EXPECT_EQ(WaitStatus(service.Port(), "/healthz", 200, std::chrono::seconds(30)).status, 200);
  // The name server may show the name before the service has read its answer.
  const std::string published = WaitMetrics(service.Port(), "pinmark_dns_updates_total{outcome=\"done\"} 1\n");
  EXPECT_TRUE(Holds(published, "pinmark_dns_updates_total{outcome=\"done\"} 1\n")) << published;
  EXPECT_TRUE(Holds(published, "pinmark_dns_update_duration_seconds_count{outcome=\"done\"} 1\n")) << published;
  EXPECT_TRUE(Holds(published, "pinmark_dns_queue_depth 0\n")) << published;

  knot.Stop();
  ASSERT_EQ(CheckIn(service.Port(), "demo", kDigest, "laptop", "127.0.0.3").status, 200)
      << "check-ins go on while DNS is down";
  const Answer down = WaitStatus(service.Port(), "/healthz", 503, std::chrono::seconds(60));
  EXPECT_EQ(down.status, 503) << down.body;
  EXPECT_TRUE(Holds(down.body, "DNS updates are not getting through: 1 name waits")) << down.body;
  const std::string failing = Get(service.Port(), "/metrics").body;
  EXPECT_TRUE(Holds(failing, "pinmark_dns_queue_depth 1\n")) << failing;
  EXPECT_FALSE(Holds(failing, "pinmark_dns_updates_total{outcome=\"failed\"} 0\n")) << failing;
  EXPECT_EQ(PromtoolProblems(failing), "") << failing;

  ASSERT_TRUE(knot.Start()) << knot.Log();
  ASSERT_TRUE(knot.WaitResolves(laptop, "A", "127.0.0.3", std::chrono::seconds(120))) << service.Log();
  EXPECT_EQ(WaitStatus(service.Port(), "/healthz", 200, std::chrono::seconds(30)).body, "ok\n");
}

TEST(ServiceAdmin, HealthTurns503WhenTheDatabaseCannotRecordCheckIns) {
  Database db("alice", "secret");
  ServiceProcess service({"--db", db.file});
  ASSERT_GT(service.Port(), 0) << service.Log();
  EXPECT_EQ(Get(service.Port(), "/healthz").body, "ok\n");
  std::filesystem::remove(db.file);
  const Answer gone = Get(service.Port(), "/healthz");
  EXPECT_EQ(gone.status, 503);
  EXPECT_TRUE(Holds(gone.body, "the database cannot record check-ins: ")) << gone.body;
  EXPECT_EQ(CheckIn(service.Port(), "alice", Md5("secret"), "box").status, 503) << "as the health check said";
}

TEST(ServiceAdmin, ABackupTakenDuringABurstOfCheckInsRestoresEveryCheckInAnsweredBeforeItBegan) {
  Database db("alice", "secret");
  ServiceProcess service({"--db", db.file});
  ASSERT_GT(service.Port(), 0) << service.Log();
  // The first check-in pays the slow hash; the burst is then remembered ones.
  ASSERT_EQ(CheckIn(service.Port(), "alice", Md5("secret"), "node0").status, 200);
  std::mutex lock;
  std::vector<std::string> answered{"node0"};
  std::atomic<bool> stop{false};
  std::thread burst([&] {
    for (int i = 1; i < 200 && !stop; ++i) {
      const std::string node = "node" + std::to_string(i);
      if (CheckIn(service.Port(), "alice", Md5("secret"), node).status != 200) continue;
      std::lock_guard<std::mutex> hold(lock);
      answered.push_back(node);
    }
  });
  while ([&] {
    std::lock_guard<std::mutex> hold(lock);
    return answered.size() < 30;
  }())
    testpeer::Pause(5);
  std::vector<std::string> before;
  {
    std::lock_guard<std::mutex> hold(lock);
    before = answered;
  }
  const std::string copy = db.dir.File("copy.db");
  const RunResult backup = RunService({"backup", copy, "--db", db.file});
  const std::size_t answeredWhileCopying = [&] {
    std::lock_guard<std::mutex> hold(lock);
    return answered.size() - before.size();
  }();
  stop = true;
  burst.join();
  ASSERT_EQ(backup.code, 0) << backup.err;
  EXPECT_TRUE(Holds(backup.out, "copied " + db.file + " to " + copy)) << backup.out;
  struct stat st {};
  ASSERT_EQ(::stat(copy.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0600u) << "the copy is its owner's alone";
  for (const auto& entry : std::filesystem::directory_iterator(db.dir.File("")))
    EXPECT_FALSE(Holds(entry.path().filename().string(), ".backup-")) << "no temporary file is left behind";

  // Restored as the README says: the copy, alone, becomes the database.
  TempDir restoredDir;
  const std::string restored = restoredDir.File("pinmark.db");
  std::filesystem::copy_file(copy, restored);
  ServiceProcess again({"--db", restored});
  ASSERT_GT(again.Port(), 0) << again.Log();
  const std::string json = Json(again.Port(), "alice", "secret");
  for (const std::string& node : before) EXPECT_TRUE(Holds(json, "\"" + node + "\"")) << node << " is in the backup";
  std::cout << "backup: " << before.size() << " check-ins answered before it began, " << answeredWhileCopying
            << " while it ran\n";
}

TEST(ServiceAdmin, ABackupThatCannotBeMadeSaysWhyAndLeavesTheTargetAsItWas) {
  Database db("alice", "secret");
  TempDir other;
  TempDir::Write(other.File("notes.txt"), "not a database");
  TempDir::Write(other.File("kept.db"), "the old backup");
  struct Case {
    const char* name;
    std::vector<std::string> args;
    const char* said;
    std::string untouched;  // a file that must be as it was
  } cases[] = {
      {"the database itself", {"backup", db.file, "--db", db.file}, "is the database itself", ""},
      {"no database", {"backup", other.File("kept.db"), "--db", other.File("absent.db")}, "there is no database",
       other.File("kept.db")},
      {"another program's file",
       {"backup", other.File("kept.db"), "--db", other.File("notes.txt")},
       "is not a pinmark-service database",
       other.File("kept.db")},
      {"a folder that is not there", {"backup", other.File("none/copy.db"), "--db", db.file}, "cannot make a file", ""},
      {"no file named", {"backup", "--db", db.file}, "backup needs the FILE", ""},
  };
  for (const Case& c : cases) {
    const RunResult r = RunService(c.args);
    EXPECT_NE(r.code, 0) << c.name;
    EXPECT_TRUE(Holds(r.err, c.said)) << c.name << ": " << r.err;
    if (!c.untouched.empty()) {
      EXPECT_EQ(TempDir::Read(c.untouched), "the old backup") << c.name;
    }
  }
  std::size_t files = 0;
  for ([[maybe_unused]] const auto& entry : std::filesystem::directory_iterator(other.File(""))) ++files;
  EXPECT_EQ(files, 2u) << "no temporary file is left behind";
  const RunResult login = RunService({"account", "list", "--db", db.file});
  EXPECT_TRUE(Holds(login.out, "alice")) << "the database is as it was";
}

// The figure for people who run many nodes: /metrics's size and time with
// ten thousand nodes. Printed, not asserted (a loaded machine is slow).
TEST(ServiceAdmin, MetricsWithTenThousandNodes) {
  Database db("alice", "secret");
  {
    OtherConnection sql(db.file);
    ASSERT_EQ(sql.Exec("BEGIN; WITH RECURSIVE n(i) AS (SELECT 1 UNION ALL SELECT i + 1 FROM n WHERE i < 10000) "
                       "INSERT INTO nodes(account_id, name, address, first_check_in, last_check_in, check_ins, "
                       "ipv4_address, ipv4_check_in) SELECT 1, 'node' || i, '192.0.2.1', 0, "
                       "CASE WHEN i % 4 = 0 THEN 0 ELSE 9000000000000 END, 1, '192.0.2.1', 0 FROM n; COMMIT"),
              SQLITE_OK);
  }
  ServiceProcess service({"--db", db.file});
  ASSERT_GT(service.Port(), 0) << service.Log();
  std::vector<double> ms;
  std::string body;
  for (int i = 0; i < 21; ++i) {
    const auto start = std::chrono::steady_clock::now();
    body = Get(service.Port(), "/metrics").body;
    ms.push_back(std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start).count());
  }
  std::sort(ms.begin(), ms.end());
  EXPECT_TRUE(Holds(body, "pinmark_nodes 10000\n")) << body;
  EXPECT_TRUE(Holds(body, "pinmark_stale_nodes 2500\n")) << body;
  EXPECT_LT(body.size(), 16384u) << "the text does not grow with the nodes";
  std::cout << "/metrics with 10000 nodes: " << body.size() << " bytes, median " << ms[ms.size() / 2]
            << " ms over 21 requests (fastest " << ms.front() << " ms)\n";
}
