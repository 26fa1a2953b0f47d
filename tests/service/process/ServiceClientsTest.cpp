// The dyndns2 door with the update clients Debian ships, as a router or a
// server would run them: ddclient (protocol dyndns2) and inadyn (a custom
// provider), each in the foreground with a configuration in a fresh folder,
// pointed at pinmark-service on loopback. What they update is then on the
// account's page.
#include <gtest/gtest.h>

#include <string>

#include "tests/service/process/ServiceChild.h"
#include "tests/support/ChildProcess.h"

using namespace servicetest;

namespace {
// The service with a database holding alice (password "secret") and the zone dyn.example.org.
class DynDns2Clients : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_GT(service.Port(), 0) << service.Log(); }
  std::string Server() const { return "127.0.0.1:" + std::to_string(service.Port()); }
  std::string Page() { return Json(service.Port(), "alice", "secret"); }

  Database db{"alice", "secret"};
  ServiceProcess service{{"--db", db.file, "--zone", "dyn.example.org"}};
  TempDir dir;
};

// ddclient once in the foreground; its whole account of the run. It ends
// with 1 when an update failed.
// extra: more lines of its configuration.
std::string RunDdclient(const TempDir& dir, const std::string& server, const std::string& password,
                        const std::string& ip, int code = 0, const std::string& extra = "") {
  const std::string conf = dir.File("ddclient.conf");
  TempDir::Write(conf, "daemon=0\nsyslog=no\nssl=no\npid=" + dir.File("ddclient.pid") + "\nuse=ip, ip=" + ip +
                           "\nprotocol=dyndns2\nserver=" + server + "\nlogin=alice\npassword='" + password +
                           "'\n" + extra + "pc.alice.dyn.example.org\n");
  ::chmod(conf.c_str(), 0600);  // ddclient refuses a configuration others may read
  ChildProcess ddclient("ddclient", {"-foreground", "-file", conf, "-daemon", "0", "-verbose", "-noquiet", "-cache",
                                     dir.File("ddclient.cache"), "-force"});
  EXPECT_EQ(ddclient.Wait(std::chrono::seconds(60)), code) << ddclient.Err();
  return ddclient.Out() + ddclient.Err();
}
}  // namespace

TEST_F(DynDns2Clients, DdclientUpdatesANodeAndIsToldOfAWrongPassword) {
  std::string run = RunDdclient(dir, Server(), "secret", "198.51.100.20");
  EXPECT_NE(run.find("SUCCESS:  updating pc.alice.dyn.example.org: good: IP address set to 198.51.100.20"),
            std::string::npos)
      << run;
  EXPECT_NE(Page().find("{\"name\":\"pc\",\"address\":\"198.51.100.20\""), std::string::npos) << Page();

  run = RunDdclient(dir, Server(), "secret", "198.51.100.21");
  EXPECT_NE(run.find("SUCCESS:"), std::string::npos) << run;
  EXPECT_NE(Page().find("\"from\":\"198.51.100.20\",\"to\":\"198.51.100.21\""), std::string::npos) << Page();

  run = RunDdclient(dir, Server(), "not the password", "198.51.100.22", 1);
  EXPECT_NE(run.find("FAILED:   updating pc.alice.dyn.example.org: badauth"), std::string::npos) << run;
  EXPECT_EQ(run.find("SUCCESS:"), std::string::npos) << run;
  EXPECT_EQ(Page().find("198.51.100.22"), std::string::npos);
}

TEST_F(DynDns2Clients, DdclientUpdatesBothFamiliesInOneRequestAndOneFamilyLeavesTheOtherAlone) {
  // Debian's ddclient sends one address as myip; the IPv6 one rides along
  // in the path, as a fixed pair in one request.
  const std::string both = "script=/nic/update?myipv6=2001:db8::20&via=\n";
  std::string run = RunDdclient(dir, Server(), "secret", "198.51.100.20", 0, both);
  EXPECT_NE(run.find("RECEIVE:  good 198.51.100.20,2001:db8::20"), std::string::npos) << run;
  EXPECT_NE(run.find("SUCCESS:  updating pc.alice.dyn.example.org: good"), std::string::npos) << run;
  std::string page = Page();
  EXPECT_NE(page.find("\"ipv4\":{\"address\":\"198.51.100.20\""), std::string::npos) << page;
  EXPECT_NE(page.find("\"ipv6\":{\"address\":\"2001:db8::20\""), std::string::npos) << page;

  run = RunDdclient(dir, Server(), "secret", "198.51.100.20", 0, both);
  EXPECT_NE(run.find("RECEIVE:  nochg 198.51.100.20,2001:db8::20"), std::string::npos) << run;
  // IPv4 alone moves; IPv6 stays as it was.
  run = RunDdclient(dir, Server(), "secret", "198.51.100.21");
  EXPECT_NE(run.find("RECEIVE:  good 198.51.100.21"), std::string::npos) << run;
  page = Page();
  EXPECT_NE(page.find("\"ipv4\":{\"address\":\"198.51.100.21\""), std::string::npos) << page;
  EXPECT_NE(page.find("\"ipv6\":{\"address\":\"2001:db8::20\""), std::string::npos) << page;
  // A pair that cannot be meant is refused whole.
  run = RunDdclient(dir, Server(), "secret", "198.51.100.22", 1, "script=/nic/update?myipv6=198.51.100.23&via=\n");
  EXPECT_NE(run.find("badagent"), std::string::npos) << run;
  EXPECT_EQ(Page().find("198.51.100.22"), std::string::npos) << Page();
}

TEST_F(DynDns2Clients, InadynUpdatesANodeThroughACustomProvider) {
  const std::string conf = dir.File("inadyn.conf");
  TempDir::Write(conf,
                 "period = 300\ncustom pinmark {\n  ssl = false\n  username = alice\n  password = secret\n"
                 "  ddns-server = " +
                     Server() +
                     "\n  ddns-path = \"/nic/update?hostname=%h&myip=%i\"\n"
                     "  hostname = nas.alice.dyn.example.org\n  checkip-command = \"/bin/echo 198.51.100.30\"\n}\n");
  ChildProcess inadyn("inadyn", {"--once", "--foreground", "--no-pidfile", "-f", conf,
                                 "--cache-dir=" + dir.File("cache"), "-l", "debug"});
  EXPECT_EQ(inadyn.Wait(std::chrono::seconds(60)), 0) << inadyn.Err();
  const std::string run = inadyn.Out() + inadyn.Err();
  EXPECT_NE(run.find("Successful alias table update for nas.alice.dyn.example.org => new IP# 198.51.100.30"),
            std::string::npos)
      << run;
  EXPECT_NE(Page().find("{\"name\":\"nas\",\"address\":\"198.51.100.30\""), std::string::npos) << Page();
  EXPECT_TRUE(service.WaitForLog("dyndns2 host=nas.alice.dyn.example.org user=alice address=127.0.0.1 answer=good"))
      << service.Log();
}
