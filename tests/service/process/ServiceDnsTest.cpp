// pinmark-service publishing its nodes in DNS, as people host it: the real
// binary with a real name server (knotd on loopback, its zone taking updates
// signed with the key), checked with kdig and through the JSON and the page.
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "tests/service/process/ServiceChild.h"
#include "tests/support/KnotServer.h"

using namespace servicetest;

namespace {
const std::string kLaptop = "laptop.demo.dyn.example.org.";

std::vector<std::string> DnsOptions(const KnotServer& knot, const std::string& keyFile) {
  return {"--dns-zone", KnotServer::kZone, "--dns-server", knot.Server(), "--dns-key", keyFile};
}

std::vector<std::string> Joined(std::vector<std::string> a, const std::vector<std::string>& b) {
  a.insert(a.end(), b.begin(), b.end());
  return a;
}

// Polls the JSON until it holds every one of texts (at most a minute); the last JSON read.
std::string WaitJson(int port, const std::vector<std::string>& texts) {
  std::string json;
  for (int i = 0; i < 600; ++i) {
    json = Json(port, "demo", "demo");
    bool all = true;
    for (const std::string& text : texts) all = all && json.find(text) != std::string::npos;
    if (all) break;
    testpeer::Pause(100);
  }
  return json;
}

bool Holds(const std::string& text, const std::string& part) { return text.find(part) != std::string::npos; }

// The nodes page of demo, signed in through the form.
std::string NodesPage(int port) {
  // The form's token, as the sign-in page gives it in its cookie.
  const std::string page = Ask(port, "GET /nodes HTTP/1.0\r\n\r\n", 30000);
  const std::size_t form = page.find("pinmark_form=");
  if (form == std::string::npos) return "no form token: " + page;
  const std::string token = page.substr(form + 13, 64);
  const std::string body = "name=demo&password=demo&form=" + token;
  const std::string answer = Ask(port,
                                 "POST /signin HTTP/1.0\r\nContent-Type: application/x-www-form-urlencoded\r\n"
                                 "Cookie: pinmark_form=" + token + "\r\n"
                                 "Content-Length: " +
                                     std::to_string(body.size()) + "\r\n\r\n" + body,
                                 30000);
  const std::size_t at = answer.find("pinmark_session=");
  if (at == std::string::npos) return "no session: " + answer;
  const std::string cookie = answer.substr(at, answer.find(';', at) - at);
  return Parse(Ask(port, "GET /nodes HTTP/1.0\r\nCookie: " + cookie + "\r\n\r\n", 30000)).body;
}

class ServiceDns : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_TRUE(knot.Running()) << knot.Log(); }
  KnotServer knot;
};
}  // namespace

TEST_F(ServiceDns, ACheckInPublishesTheCallersAddressAndOneFromAnotherAddressMovesTheName) {
  ServiceProcess service(Joined({"--account", std::string("demo:") + kDigest}, DnsOptions(knot, knot.KeyFile())));
  ASSERT_GT(service.Port(), 0) << service.Log();

  Answer a = CheckIn(service.Port(), "demo", kDigest, "Laptop", "127.0.0.2");
  EXPECT_EQ(a.status, 200);
  EXPECT_EQ(a.body, "127.0.0.2");
  EXPECT_TRUE(knot.WaitResolves(kLaptop, "A", "127.0.0.2", std::chrono::seconds(60))) << service.Log();
  a = CheckIn(service.Port(), "demo", kDigest, "laptop", "127.0.0.3");
  EXPECT_EQ(a.body, "127.0.0.3");
  EXPECT_TRUE(knot.WaitResolves(kLaptop, "A", "127.0.0.3", std::chrono::seconds(60))) << service.Log();
  const std::string json = WaitJson(service.Port(), {"\"addresses\":[\"127.0.0.3\"],\"state\":\"published\""});
  EXPECT_TRUE(Holds(json,
                    "\"dns\":{\"name\":\"laptop.demo.dyn.example.org\",\"addresses\":[\"127.0.0.3\"],"
                    "\"state\":\"published\",\"reason\":null,\"since\":\"20"))
      << json;

  // A name DNS cannot carry is answered as ever, recorded with the reason and never sent.
  a = CheckIn(service.Port(), "demo", kDigest, "my_box", "127.0.0.2");
  EXPECT_EQ(a.status, 200);
  const std::string refused = WaitJson(service.Port(), {"\"name\":\"my_box\""});
  EXPECT_TRUE(Holds(refused,
                    "\"name\":null,\"addresses\":[],\"state\":\"not published\",\"reason\":\"the node name "
                    "holds '_'; only letters, digits and '-' can be published\""))
      << refused;

  // dyndns2 names the very same hosts; one outside the zone, or not NODE.ACCOUNT.ZONE, names none.
  const std::string auth = "\r\nAuthorization: Basic " + Base64("demo:demo") + "\r\n\r\n";
  const std::string good = Parse(Ask(service.Port(),
                                     "GET /nic/update?hostname=router.demo.dyn.example.org,router.demo.example.com,"
                                     "x.router.demo.dyn.example.org&myip=192.0.2.7 HTTP/1.0" +
                                         auth,
                                     30000))
                               .body;
  EXPECT_EQ(good, "good 192.0.2.7\nnohost\nnohost\n");
  EXPECT_TRUE(knot.WaitResolves("router.demo.dyn.example.org.", "A", "192.0.2.7", std::chrono::seconds(60)));

  const std::vector<std::string> log = service.StopAndReadLog();
  int published = 0, refusedLines = 0;
  for (const std::string& line : log) {
    published += Holds(line, " event=dns name=laptop.demo.dyn.example.org. type=A ") && Holds(line, " state=published");
    refusedLines +=
        Holds(line, "event=dns node=my_box account=demo state=not_published reason=the%20node%20name%20holds%20'_'");
  }
  EXPECT_EQ(published, 2) << "one line per change of state";
  EXPECT_EQ(refusedLines, 1);
}

TEST_F(ServiceDns, AWrongKeyIsRefusedByTheNameServerAndThePageSaysSo) {
  ServiceProcess service(Joined({"--account", std::string("demo:") + kDigest},
                                DnsOptions(knot, knot.KeyFile("d3Jvbmctc2VjcmV0LXdyb25nLXNlY3JldC13cm9uZyE="))));
  ASSERT_GT(service.Port(), 0) << service.Log();
  EXPECT_EQ(CheckIn(service.Port(), "demo", kDigest, "laptop", "127.0.0.2").status, 200);
  const std::string json = WaitJson(service.Port(), {"\"state\":\"failing\""});
  EXPECT_TRUE(Holds(json, "\"addresses\":[],\"state\":\"failing\",\"reason\":\"")) << json;
  const std::string page = NodesPage(service.Port());
  EXPECT_TRUE(Holds(page, "<dd class=\"dns failing\">failing since <time")) << page;
  EXPECT_TRUE(Holds(page, "<dt>Address in DNS</dt><dd>none yet</dd>")) << page;
  EXPECT_TRUE(knot.Query(kLaptop, "A").empty()) << "nothing changed at the name server";
}

TEST_F(ServiceDns, CheckInsGoOnWhileTheNameServerIsDownAndTheQueueOutlivesARestart) {
  Database db("demo", "demo");
  const std::vector<std::string> args = Joined({"--db", db.file}, DnsOptions(knot, knot.KeyFile()));
  {
    ServiceProcess service(args);
    ASSERT_GT(service.Port(), 0) << service.Log();
    EXPECT_EQ(CheckIn(service.Port(), "demo", kDigest, "laptop", "127.0.0.2").status, 200);
    ASSERT_TRUE(knot.WaitResolves(kLaptop, "A", "127.0.0.2", std::chrono::seconds(60))) << service.Log();

    knot.Stop();
    const Answer a = CheckIn(service.Port(), "demo", kDigest, "laptop", "127.0.0.3");
    EXPECT_EQ(a.status, 200) << "answered without the name server";
    EXPECT_EQ(a.body, "127.0.0.3");
    const std::string json = WaitJson(service.Port(), {"\"state\":\"failing\""});
    EXPECT_TRUE(Holds(json, "\"addresses\":[\"127.0.0.2\"],\"state\":\"failing\"")) << json;
    EXPECT_EQ(service.Stop(), 0);
  }
  // The update waits in the database: started again, the service sends it once the name server is back.
  ServiceProcess service(args);
  ASSERT_GT(service.Port(), 0) << service.Log();
  ASSERT_TRUE(knot.Start()) << knot.Log();
  EXPECT_TRUE(knot.WaitResolves(kLaptop, "A", "127.0.0.3", std::chrono::seconds(120))) << service.Log();
  const std::string json = WaitJson(service.Port(), {"\"state\":\"published\""});
  EXPECT_TRUE(Holds(json, "\"addresses\":[\"127.0.0.3\"],\"state\":\"published\"")) << json;
}

TEST_F(ServiceDns, AnUpdateOnItsWayWhenTheServiceIsKilledIsSentAtOnceAfterItStartsAgain) {
  Database db("demo", "demo");
  const std::vector<std::string> args = Joined({"--db", db.file}, DnsOptions(knot, knot.KeyFile()));
  // In knotd's place, a socket that takes the update and never answers it.
  knot.Stop();
  const int silent = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  sockaddr_in at{};
  at.sin_family = AF_INET;
  at.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  at.sin_port = htons(static_cast<uint16_t>(knot.Port()));
  ASSERT_EQ(::bind(silent, reinterpret_cast<sockaddr*>(&at), sizeof at), 0);
  {
    ServiceProcess service(args);
    ASSERT_GT(service.Port(), 0) << service.Log();
    EXPECT_EQ(CheckIn(service.Port(), "demo", kDigest, "laptop", "127.0.0.2").status, 200);
    // Killed as soon as the update (opcode 5) is on its way, long before its lease ends.
    bool sent = false;
    for (char buffer[512]; !sent;) {
      pollfd fd{silent, POLLIN, 0};
      ASSERT_EQ(::poll(&fd, 1, 30000), 1) << "no update came: " << service.Log();
      const ssize_t n = ::recv(silent, buffer, sizeof buffer, 0);
      sent = n >= 12 && ((static_cast<uint8_t>(buffer[2]) >> 3) & 0x0f) == 5;
    }
    service.Stop(SIGKILL);
  }
  ::close(silent);
  ASSERT_TRUE(knot.Start()) << knot.Log();
  ServiceProcess service(args);
  ASSERT_GT(service.Port(), 0) << service.Log();
  // The dead process's lease had 30 s to run; a name sent at once resolves well before.
  EXPECT_TRUE(knot.WaitResolves(kLaptop, "A", "127.0.0.2", std::chrono::seconds(20))) << service.Log();
}

TEST_F(ServiceDns, NodesThatCheckedInBeforeDnsWasSetUpArePublishedWhenItIs) {
  Database db("demo", "demo");
  {
    ServiceProcess plain({"--db", db.file});
    ASSERT_GT(plain.Port(), 0) << plain.Log();
    EXPECT_EQ(CheckIn(plain.Port(), "demo", kDigest, "laptop", "127.0.0.2").status, 200);
  }
  ServiceProcess service(Joined({"--db", db.file}, DnsOptions(knot, knot.KeyFile())));
  ASSERT_GT(service.Port(), 0) << service.Log();
  EXPECT_TRUE(knot.WaitResolves(kLaptop, "A", "127.0.0.2", std::chrono::seconds(60))) << service.Log();
}

TEST_F(ServiceDns, OptionsThatCannotWorkStopTheStartSayingWhy) {
  const std::string key = knot.KeyFile();
  struct Case {
    std::vector<std::string> args;
    int code;
    std::string says;
  } cases[] = {
      {{"--dns-zone", "dyn.example.org", "--dns-key", key}, 2, "--dns-server is missing"},
      {{"--dns-server", knot.Server()}, 2, "--dns-zone, --dns-server and --dns-key go together"},
      {{"--dns-ttl", "60"}, 2, "--dns-ttl is for publishing in DNS"},
      {Joined({"--zone", "other.example.org"}, DnsOptions(knot, key)), 2, "differ"},
      {{"--dns-zone", "_dyn.example.org", "--dns-server", knot.Server(), "--dns-key", key}, 2, "not a host name"},
      {Joined(DnsOptions(knot, key), {"--dns-ttl", "1m"}), 2, "not a whole number of seconds"},
      {Joined(DnsOptions(knot, key), {"--dns-verify", "3600"}), 2, "not a whole number with s, m, h or d"},
      {Joined(DnsOptions(knot, key), {"--dns-verify", "5s"}), 2, "not from 10s to 7d"},
      {{"--dns-verify", "1h"}, 2, "--dns-verify is for publishing in DNS"},
      {{"--dns-zone", "dyn.example.org", "--dns-server", knot.Server(), "--dns-key", key + ".absent"}, 1, ".absent"},
  };
  for (const Case& c : cases) {
    const RunResult r = RunService(Joined({"--account", std::string("demo:") + kDigest}, c.args));
    EXPECT_EQ(r.code, c.code) << c.says << ": " << r.err;
    EXPECT_TRUE(Holds(r.err, c.says)) << r.err;
  }
  ::chmod(key.c_str(), 0644);
  const RunResult open = RunService(Joined({"--account", std::string("demo:") + kDigest}, DnsOptions(knot, key)));
  EXPECT_EQ(open.code, 1);
  EXPECT_TRUE(Holds(open.err, "chmod")) << open.err;
}

TEST_F(ServiceDns, EachFamilyHoldsItsOwnRecordOneTheNodeLeftIsWithdrawnAndSoAreARemovedAccountsNames) {
  Database db("demo", "demo");
  ServiceProcess service(Joined({"--db", db.file, "--host", "127.0.0.1", "--host", "::1", "--stale-after", "2s"},
                                DnsOptions(knot, knot.KeyFile())));
  ASSERT_GT(service.Port(), 0) << service.Log();
  const int port = service.Port();
  // Over each family the caller's address of that family, each published in its own set.
  EXPECT_EQ(CheckIn(port, "demo", kDigest, "laptop", "127.0.0.2").body, "127.0.0.2");
  EXPECT_EQ(CheckIn(port, "demo", kDigest, "laptop", "::1").body, "::1");
  EXPECT_TRUE(knot.WaitResolves(kLaptop, "A", "127.0.0.2", std::chrono::seconds(60))) << service.Log();
  EXPECT_TRUE(knot.WaitResolves(kLaptop, "AAAA", "::1", std::chrono::seconds(60))) << service.Log();
  std::string json = Json(port, "demo", "demo");
  EXPECT_TRUE(Holds(json, "\"address\":\"::1\",")) << "the latest of either family: " << json;
  EXPECT_TRUE(Holds(json, "\"ipv4\":{\"address\":\"127.0.0.2\",\"last_check_in\":\"20")) << json;
  EXPECT_TRUE(Holds(json, "\"ipv6\":{\"address\":\"::1\",\"last_check_in\":\"20")) << json;

  // IPv4 goes on alone: the AAAA set stays until IPv6 has been silent for the stale period.
  bool withdrawn = false;
  for (int i = 0; i < 300 && !withdrawn; ++i) {
    ASSERT_EQ(CheckIn(port, "demo", kDigest, "laptop", "127.0.0.2").status, 200);
    withdrawn = knot.WaitHoldsNone(kLaptop, "AAAA", std::chrono::milliseconds(200));
  }
  EXPECT_TRUE(withdrawn) << service.Log();
  EXPECT_EQ(knot.Query(kLaptop, "A"), std::vector<std::string>{"127.0.0.2"});
  json = Json(port, "demo", "demo");
  EXPECT_TRUE(Holds(json, "\"ipv6\":{\"address\":\"::1\"")) << "the page still says where it was: " << json;
  EXPECT_TRUE(Holds(json, "\"stale\":true}")) << json;
  // Back over IPv6: its record is back.
  EXPECT_EQ(CheckIn(port, "demo", kDigest, "laptop", "::1").body, "::1");
  EXPECT_TRUE(knot.WaitResolves(kLaptop, "AAAA", "::1", std::chrono::seconds(60))) << service.Log();

  // Removing the account withdraws its names; the running service sends that within seconds.
  RunResult removed = RunService({"account", "remove", "demo", "--db", db.file});
  EXPECT_EQ(removed.code, 0) << removed.err;
  EXPECT_TRUE(Holds(removed.out, "laptop.demo.dyn.example.org. (A, AAAA)")) << removed.out;
  EXPECT_TRUE(knot.WaitHoldsNone(kLaptop, "A", std::chrono::seconds(60))) << service.Log();
  EXPECT_TRUE(knot.WaitHoldsNone(kLaptop, "AAAA", std::chrono::seconds(60))) << service.Log();
  // A new account of the name starts from nothing: its node is published afresh, and only its own family.
  ASSERT_EQ(RunService({"account", "add", "demo", "--password-stdin", "--db", db.file}, "demo\n").code, 0);
  EXPECT_EQ(CheckIn(port, "demo", kDigest, "laptop", "127.0.0.3").body, "127.0.0.3");
  EXPECT_TRUE(knot.WaitResolves(kLaptop, "A", "127.0.0.3", std::chrono::seconds(60))) << service.Log();
  EXPECT_TRUE(knot.Query(kLaptop, "AAAA").empty());
  EXPECT_EQ(RunService({"account", "remove", "nobody", "--db", db.file}).code, 1);
}
