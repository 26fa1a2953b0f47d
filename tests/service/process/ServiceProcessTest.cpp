// pinmark-service as people host it: the real binary on a loopback port with
// a database in a fresh folder, its account commands, check-ins from several
// source addresses, restarts and kills, a database that is locked, full or
// damaged, proxies, and requests that try to forge its log, crowd it out or
// make it buffer.
#include <gtest/gtest.h>
#include <pty.h>

#include <atomic>
#include <filesystem>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "tests/service/process/ServiceChild.h"
#include "tests/support/ChildProcess.h"

using namespace servicetest;

TEST(ServiceProcess, LoggedValuesCannotForgeLogLines) {
  ServiceProcess service;
  ASSERT_GT(service.Port(), 0);
  EXPECT_EQ(Parse(Ask(service.Port(), "GET " + kCheckIn + "&node=a%20b%25c HTTP/1.0\r\n\r\n")).status, 200);
  const std::string forged = "%0A2000-01-01%2000:00:00%20node%3Dx%20user%3Dadmin%20address%3D6.6.6.6";
  EXPECT_EQ(Parse(Ask(service.Port(), "GET " + kCheckIn + "&node=box" + forged + " HTTP/1.0\r\n\r\n")).status, 400);
  EXPECT_EQ(Parse(Ask(service.Port(), "GET /includes/r_update.php?userid=eve%1B[2J&enc=0 HTTP/1.0\r\n\r\n")).status,
            400);
  EXPECT_EQ(Parse(Ask(service.Port(), "GET /includes/r_update.php?userid=eve%25&enc=0 HTTP/1.0\r\n\r\n")).status, 403);
  const std::vector<std::string> log = service.StopAndReadLog();
  ASSERT_EQ(log.size(), 5u);
  EXPECT_NE(log[1].find(" level=info event=checkin outcome=ok node=a%20b%25c user=demo address=127.0.0.1"),
            std::string::npos)
      << log[1];
  EXPECT_NE(log[2].find(" event=checkin outcome=bad_request "
                        "node=box%0A2000-01-01%2000:00:00%20node=x%20user=admin%20address=6.6.6.6 user=demo "
                        "address=127.0.0.1 reason=the%20node%20name%20holds%20a%20control%20character"),
            std::string::npos)
      << log[2];
  EXPECT_NE(log[3].find(" outcome=bad_request node= user=eve%1B[2J address=127.0.0.1 "
                        "reason=the%20account%20name%20holds%20a%20control%20character"),
            std::string::npos)
      << log[3];
  EXPECT_NE(log[4].find(" outcome=bad_auth node= user=eve%25 address=127.0.0.1"), std::string::npos) << log[4];
}

TEST(ServiceProcess, UnderTheJournalEachLineCarriesItsPriority) {
  ServiceProcess service({"--account", std::string("demo:") + kDigest}, {"JOURNAL_STREAM=auto"});
  ASSERT_GT(service.Port(), 0) << service.Log();
  EXPECT_EQ(Parse(Ask(service.Port(), "GET " + kCheckIn + "&node=n HTTP/1.0\r\n\r\n")).status, 200);
  EXPECT_EQ(Parse(Ask(service.Port(), "GET /includes/r_update.php?userid=demo&enc=0 HTTP/1.0\r\n\r\n")).status, 403);
  const std::vector<std::string> log = service.StopAndReadLog();
  ASSERT_EQ(log.size(), 3u);
  EXPECT_EQ(log[0].substr(0, 16), "<6>listening on ");
  EXPECT_EQ(log[1].substr(0, 3), "<6>");
  EXPECT_EQ(log[2].substr(0, 3), "<4>") << "a refusal is a warning";
}

TEST(ServiceProcess, IdleAndSlowConnectionsDoNotHoldACheckInBack) {
  ServiceProcess service;
  ASSERT_GT(service.Port(), 0);
  std::vector<int> idle, slow;
  for (int i = 0; i < 64; ++i) idle.push_back(Connect(service.Port()));
  for (int i = 0; i < 64; ++i) slow.push_back(Connect(service.Port()));
  // The slow ones drip a request line a byte at a time, never finishing it.
  std::atomic<bool> dripping{true};
  std::thread drip([&] {
    while (dripping) {
      for (int fd : slow) testpeer::SendAll(fd, "G");
      testpeer::Pause(100);
    }
  });
  // Answered within the guard time, well before the crowd's connections time out.
  const std::string answer = Ask(service.Port(), "POST " + kCheckIn + "&node=n HTTP/1.0\r\nContent-Length: 0\r\n\r\n");
  dripping = false;
  drip.join();
  for (int fd : idle) ::close(fd);
  for (int fd : slow) ::close(fd);
  EXPECT_NE(answer.find("HTTP/1.1 200 OK"), std::string::npos) << answer;
  EXPECT_EQ(answer.substr(answer.size() - 9), "127.0.0.1");
}

TEST(ServiceProcess, OversizedRequestsAreRefusedBeforeTheyAreRead) {
  ServiceProcess service;
  ASSERT_GT(service.Port(), 0);
  struct Case {
    const char* name;
    std::string request;
    std::string status;
  } cases[] = {
      // Only the heads are sent: the answer must come without waiting for the body.
      {"a large body", "POST " + kCheckIn + " HTTP/1.1\r\nHost: h\r\nContent-Length: 100000000\r\n\r\n",
       "HTTP/1.1 413"},
      {"just over the limit", "POST " + kCheckIn + " HTTP/1.1\r\nHost: h\r\nContent-Length: 4097\r\n\r\n",
       "HTTP/1.1 413"},
      {"a chunked body", "POST " + kCheckIn + " HTTP/1.1\r\nHost: h\r\nTransfer-Encoding: chunked\r\n\r\n",
       "HTTP/1.1 400"},
      {"a body on a GET", "GET " + kCheckIn + " HTTP/1.1\r\nHost: h\r\nContent-Length: 5\r\n\r\n", "HTTP/1.1 400"},
      {"a length that is no number", "POST " + kCheckIn + " HTTP/1.1\r\nHost: h\r\nContent-Length: x\r\n\r\n",
       "HTTP/1.1 400"},
      {"a small body is read and answered",
       "POST " + kCheckIn + "&node=n HTTP/1.1\r\nHost: h\r\nConnection: close\r\nContent-Length: 5\r\n\r\nhello",
       "HTTP/1.1 200"},
      {"headers without end", "GET / HTTP/1.1\r\nHost: h\r\n" + std::string(64 * 1024, 'X'), "HTTP/1.1 431"},
      {"a thousand small headers",
       "GET / HTTP/1.1\r\n" +
           [] {
             std::string many;
             for (int i = 0; i < 3000; ++i) many += "X-" + std::to_string(i) + ": y\r\n";
             return many + "\r\n";
           }(),
       "HTTP/1.1 431"},
      {"a URI over 8 KiB", "GET /" + std::string(9000, 'a') + " HTTP/1.1\r\nHost: h\r\nConnection: close\r\n\r\n",
       "HTTP/1.1 414"},
      {"a node name over 64 bytes", "GET " + kCheckIn + "&node=" + std::string(65, 'n') + " HTTP/1.0\r\n\r\n",
       "HTTP/1.1 400"},
  };
  for (const Case& c : cases) {
    // The service closes the connection after each of these answers, so the
    // whole answer arrives within the guard time.
    const std::string answer = Ask(service.Port(), c.request, 2000);
    EXPECT_EQ(answer.substr(0, c.status.size()), c.status) << c.name << ": " << answer.substr(0, 200);
  }
  EXPECT_EQ(Parse(Ask(service.Port(), "GET " + kCheckIn + "&node=n HTTP/1.0\r\n\r\n")).body, "127.0.0.1");
}

TEST(ServiceProcess, AccountCommandsManageTheDatabaseWhileTheServiceRuns) {
  TempDir dir;
  const std::string db = dir.File("pinmark.db");
  auto account = [&](std::vector<std::string> args, const std::string& input = "") {
    args.insert(args.begin(), "account");
    args.insert(args.end(), {"--db", db});
    return RunService(args, input);
  };
  RunResult r = account({"add", "alice", "--password-stdin"}, "secret\n");
  EXPECT_EQ(r.code, 0) << r.err;
  EXPECT_EQ(r.out, "added account alice\n");
  r = account({"add", "ALICE", "--password-stdin"}, "other\n");
  EXPECT_EQ(r.code, 1);
  EXPECT_EQ(r.err, "pinmark-service: account ALICE exists already\n");
  r = account({"add", "bad_name", "--password-stdin"}, "x\n");
  EXPECT_EQ(r.code, 1);
  EXPECT_NE(r.err.find("letters, digits and hyphens"), std::string::npos) << r.err;
  r = account({"add", "bob", "--password-stdin"}, "");
  EXPECT_EQ(r.code, 1);
  EXPECT_EQ(r.err, "pinmark-service: no password on standard input\n");
  r = account({"add", "bob"});
  EXPECT_EQ(r.code, 1) << "no terminal to ask on";
  EXPECT_NE(r.err.find("--password-stdin"), std::string::npos) << r.err;
  EXPECT_EQ(account({"frobnicate"}).code, 2);
  r = RunService({"account", "list", "--db", dir.File("typo.db")});
  EXPECT_EQ(r.code, 1);
  EXPECT_EQ(r.err, "pinmark-service: there is no database " + dir.File("typo.db") + " (\"account add\" makes one)\n");
  EXPECT_FALSE(std::filesystem::exists(dir.File("typo.db")));

  // The stored hash is neither the password nor its digest.
  OtherConnection other(db);
  const std::string stored = other.Text("SELECT password_hash FROM accounts WHERE name = 'alice'");
  EXPECT_EQ(stored.rfind("pbkdf2-sha256$600000$", 0), 0u) << stored;
  EXPECT_EQ(stored.find(Md5("secret")), std::string::npos);

  ServiceProcess service({"--db", db});
  ASSERT_GT(service.Port(), 0) << service.Log();
  EXPECT_EQ(CheckIn(service.Port(), "alice", Md5("secret"), "box").status, 200);
  // Signed in on the page: the command, another process, ends the session too.
  const std::string page = Ask(service.Port(), "GET /nodes HTTP/1.0\r\n\r\n", 30000);
  const std::string form = page.substr(page.find("pinmark_form=") + 13, 64);
  const std::string signIn = "name=alice&password=secret&form=" + form;
  const std::string signedIn = Ask(service.Port(),
                                   "POST /signin HTTP/1.0\r\nContent-Type: application/x-www-form-urlencoded\r\n"
                                   "Cookie: pinmark_form=" + form + "\r\nContent-Length: " +
                                       std::to_string(signIn.size()) + "\r\n\r\n" + signIn,
                                   30000);
  const std::size_t at = signedIn.find("pinmark_session=");
  ASSERT_NE(at, std::string::npos) << signedIn;
  const std::string session = signedIn.substr(at, signedIn.find(';', at) - at);
  auto signedInPage = [&] {
    const std::string nodes = Ask(service.Port(), "GET /nodes HTTP/1.0\r\nCookie: " + session + "\r\n\r\n", 30000);
    return nodes.find("action=\"/signout\"") != std::string::npos;
  };
  EXPECT_TRUE(signedInPage());
  r = account({"passwd", "alice", "--password-stdin"}, "changed\n");
  EXPECT_EQ(r.code, 0) << r.err;
  EXPECT_EQ(r.out, "changed the password of alice\n");
  EXPECT_FALSE(signedInPage()) << "the session went with the old password";
  EXPECT_EQ(CheckIn(service.Port(), "alice", Md5("secret"), "box").status, 403) << "the old one was remembered";
  EXPECT_EQ(CheckIn(service.Port(), "alice", Md5("changed"), "box").status, 200);
  EXPECT_EQ(account({"passwd", "nobody", "--password-stdin"}, "x\n").code, 1);

  const std::string list = dir.File("accounts");
  TempDir::Write(list, "# moved from --accounts\ncarol " + Md5("carol's") + "\nalice:" + Md5("x") + "\n");
  r = account({"import", list});
  EXPECT_EQ(r.code, 0) << r.err;
  EXPECT_EQ(r.out, "imported 1 account from " + list + " (1 existed already)\n");
  EXPECT_EQ(CheckIn(service.Port(), "carol", Md5("carol's"), "pc").status, 200);

  r = account({"list"});
  EXPECT_EQ(r.code, 0) << r.err;
  EXPECT_EQ(r.out.substr(0, 14), "alice\t1 node\ts") << r.out;
  EXPECT_NE(r.out.find("\ncarol\t1 node\tsince "), std::string::npos) << r.out;
  r = account({"remove", "alice"});
  EXPECT_EQ(r.code, 0) << r.err;
  EXPECT_EQ(CheckIn(service.Port(), "alice", Md5("changed"), "box").status, 403);
  r = account({"remove", "alice"});
  EXPECT_EQ(r.code, 1);
  EXPECT_EQ(r.err, "pinmark-service: there is no account alice\n");
  EXPECT_EQ(RunService({"--db", db, "--account", std::string("demo:") + kDigest}).code, 2)
      << "accounts in memory and a database do not mix";
}

TEST(ServiceProcess, ANodeKeyMadeByTheCommandUpdatesItsNodeAloneAndIsKeptOnlyAsAHash) {
  Database db("alice", "secret");
  auto run = [&](std::vector<std::string> args) {
    args.insert(args.end(), {"--db", db.file});
    return RunService(args);
  };
  // A key may come before its node: the new machine is set up with it.
  RunResult r = run({"node", "key", "alice", "laptop"});
  ASSERT_EQ(r.code, 0) << r.err;
  ASSERT_GE(r.out.size(), 40u);
  const std::string key = r.out.substr(r.out.size() - 40, 39);
  EXPECT_EQ(r.out.substr(r.out.size() - 41), "\n" + key + "\n") << "alone on the last line: " << r.out;
  EXPECT_EQ(r.out.find(key), r.out.size() - 40) << "shown once";
  const std::string stored = OtherConnection(db.file).Text("SELECT key_hash FROM node_keys");
  EXPECT_EQ(stored.rfind("hmac-sha256$", 0), 0u) << stored;
  EXPECT_EQ(TempDir::Read(db.file).find(Md5(key)), std::string::npos);
  r = run({"node", "key", "bob", "laptop"});
  EXPECT_EQ(r.code, 1);
  EXPECT_EQ(r.err, "pinmark-service: there is no account bob\n");
  EXPECT_EQ(run({"node", "key", "alice"}).code, 2);

  ServiceProcess service({"--db", db.file, "--zone", "dyn.example.org"});
  ASSERT_GT(service.Port(), 0) << service.Log();
  auto dyndns2 = [&](const std::string& user, const std::string& password, const std::string& host) {
    return Parse(Ask(service.Port(),
                     "GET /nic/update?hostname=" + host + " HTTP/1.0\r\nAuthorization: Basic " +
                         Base64(user + ":" + password) + "\r\n\r\n",
                     30000))
        .body;
  };
  struct {
    const char* door;
    std::string user, where, secret, expected;
  } cases[] = {
      {"checkin", "alice", "laptop", Md5(key), "200"},
      {"checkin", "alice", "desktop", Md5(key), "403"},
      {"checkin", "alice", "desktop", Md5("secret"), "200"},
      {"dyndns2", "alice", "laptop.alice.dyn.example.org", key, "nochg 127.0.0.1\n"},
      {"dyndns2", "laptop.alice.dyn.example.org", "laptop.alice.dyn.example.org", key, "nochg 127.0.0.1\n"},
      {"dyndns2", "laptop.alice.dyn.example.org", "desktop.alice.dyn.example.org", key, "nohost\n"},
      {"dyndns2", "alice", "desktop.alice.dyn.example.org", key, "badauth\n"},
      {"json", "alice", "", key, "401"},
  };
  for (const auto& c : cases) {
    std::string got;
    if (std::string(c.door) == "checkin")
      got = std::to_string(CheckIn(service.Port(), c.user, c.secret, c.where).status);
    else if (std::string(c.door) == "dyndns2")
      got = dyndns2(c.user, c.secret, c.where);
    else
      got = std::to_string(Parse(Ask(service.Port(), "GET /api/nodes HTTP/1.0\r\nAuthorization: Basic " +
                                                         Base64(c.user + ":" + c.secret) + "\r\n\r\n"))
                               .status);
    EXPECT_EQ(got, c.expected) << c.door << " " << c.user << " " << c.where;
  }

  // Keys only: the password stops updating, a new key stops the old one at once. From an
  // address of its own, which the failures above have not held back.
  const char* kOther = "127.0.0.3";
  r = run({"account", "set", "alice", "--keys-only"});
  ASSERT_EQ(r.code, 0) << r.err;
  EXPECT_NE(run({"account", "list"}).out.find("\tkeys only\n"), std::string::npos);
  EXPECT_EQ(CheckIn(service.Port(), "alice", Md5("secret"), "desktop", kOther).status, 403) << "remembered or not";
  EXPECT_NE(Json(service.Port(), "alice", "secret").find("\"name\":\"desktop\""), std::string::npos)
      << "the JSON still takes the password";
  r = run({"node", "key", "alice", "LAPTOP"});
  ASSERT_EQ(r.code, 0) << r.err;
  EXPECT_NE(r.out.find("the old one no longer works"), std::string::npos) << r.out;
  const std::string second = r.out.substr(r.out.size() - 40, 39);
  EXPECT_EQ(CheckIn(service.Port(), "alice", Md5(key), "laptop", kOther).status, 403);
  EXPECT_EQ(CheckIn(service.Port(), "alice", Md5(second), "laptop", kOther).status, 200);
  EXPECT_EQ(run({"node", "key", "alice", "laptop", "--remove"}).code, 0);
  EXPECT_EQ(CheckIn(service.Port(), "alice", Md5(second), "laptop", kOther).status, 403);
  r = run({"node", "key", "alice", "laptop", "--remove"});
  EXPECT_EQ(r.code, 1);
  EXPECT_EQ(r.err, "pinmark-service: node laptop of alice has no key\n");
  EXPECT_EQ(run({"account", "set", "alice", "--no-keys-only"}).code, 0);
  EXPECT_EQ(CheckIn(service.Port(), "alice", Md5("secret"), "desktop", kOther).status, 200);
}

void Type(int terminal, const std::string& text) {
  if (::write(terminal, text.data(), text.size()) != static_cast<ssize_t>(text.size())) ADD_FAILURE() << "not typed";
}

TEST(ServiceProcess, APasswordIsAskedOnTheTerminalTwiceWithoutEcho) {
  TempDir dir;
  const std::string db = dir.File("pinmark.db");
  auto onTerminal = [&](const std::string& name, const std::string& first, const std::string& second, int& code) {
    const int master = ::posix_openpt(O_RDWR | O_NOCTTY);
    ::grantpt(master);
    ::unlockpt(master);
    const std::string slave = ::ptsname(master);
    const pid_t pid = ::fork();
    if (pid == 0) {
      ::setsid();
      const int fd = ::open(slave.c_str(), O_RDWR);
      ::dup2(fd, 0);
      ::dup2(fd, 1);
      ::dup2(fd, 2);
      ::execl(SERVICE_PATH, SERVICE_PATH, "account", "add", name.c_str(), "--db", db.c_str(),
              static_cast<char*>(nullptr));
      ::_exit(127);
    }
    std::string seen;
    auto readUntil = [&](const std::string& text) {
      char buf[256];
      pollfd p{master, POLLIN, 0};
      while (seen.find(text) == std::string::npos && ::poll(&p, 1, 30000) > 0) {
        const ssize_t n = ::read(master, buf, sizeof buf);
        if (n <= 0) break;
        seen.append(buf, static_cast<std::size_t>(n));
      }
    };
    readUntil("Password for " + name + ": ");
    Type(master, first + "\n");
    readUntil("again: ");
    Type(master, second + "\n");
    readUntil(first == second ? "added account " + name + "\r\n" : "nothing was changed\r\n");
    int status = 0;
    ::waitpid(pid, &status, 0);
    ::close(master);
    code = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    return seen;
  };
  int code = -1;
  std::string seen = onTerminal("dave", "typed-secret", "typed-secret", code);
  EXPECT_EQ(code, 0) << seen;
  EXPECT_EQ(seen.find("typed-secret"), std::string::npos) << "echoed: " << seen;
  EXPECT_NE(seen.find("added account dave"), std::string::npos) << seen;
  seen = onTerminal("erin", "one", "two", code);
  EXPECT_EQ(code, 1) << seen;
  EXPECT_NE(seen.find("the two passwords differ"), std::string::npos) << seen;
  EXPECT_EQ(RunService({"account", "list", "--db", db}).out.find("erin"), std::string::npos);
}

TEST(ServiceProcess, NodesFromTwoAddressesSurviveARestartAndAKillRightAfterAnAnswer) {
  Database db("alice", "secret");
  {
    ServiceProcess service({"--db", db.file});
    ASSERT_GT(service.Port(), 0) << service.Log();
    EXPECT_EQ(CheckIn(service.Port(), "alice", Md5("secret"), "laptop", "127.0.0.2").body, "127.0.0.2");
    EXPECT_EQ(CheckIn(service.Port(), "alice", Md5("secret"), "desktop", "127.0.0.3").body, "127.0.0.3");
    EXPECT_EQ(service.Stop(), 0);
  }
  {
    ServiceProcess service({"--db", db.file});
    ASSERT_GT(service.Port(), 0) << service.Log();
    const std::string json = Json(service.Port(), "alice", "secret");
    EXPECT_NE(json.find("{\"name\":\"desktop\",\"address\":\"127.0.0.3\""), std::string::npos) << json;
    EXPECT_NE(json.find("{\"name\":\"laptop\",\"address\":\"127.0.0.2\""), std::string::npos) << json;
    // The laptop moves, and the service is killed the moment it has answered.
    EXPECT_EQ(CheckIn(service.Port(), "alice", Md5("secret"), "laptop", "127.0.0.3").body, "127.0.0.3");
    service.Stop(SIGKILL);
  }
  ServiceProcess service({"--db", db.file});
  ASSERT_GT(service.Port(), 0) << service.Log();
  const std::string json = Json(service.Port(), "alice", "secret");
  EXPECT_NE(json.find("{\"name\":\"laptop\",\"address\":\"127.0.0.3\""), std::string::npos) << json;
  EXPECT_NE(json.find("\"check_ins\":2,\"stale\":false,\"ipv4\":{\"address\":\"127.0.0.3\",\"last_check_in\":\"20"),
            std::string::npos)
      << json;
  EXPECT_NE(json.find("\"ipv6\":{\"address\":null,\"last_check_in\":null,\"stale\":false},\"history\":[{\"time\":"),
            std::string::npos)
      << json;
  EXPECT_NE(json.find("\"family\":\"ipv4\",\"from\":\"127.0.0.2\",\"to\":\"127.0.0.3\"}]"), std::string::npos) << json;
}

TEST(ServiceProcess, OnlyATrustedProxyMayNameTheCaller) {
  ServiceProcess service({"--account", std::string("demo:") + kDigest, "--trusted-proxy", "127.0.0.2"});
  ASSERT_GT(service.Port(), 0) << service.Log();
  auto ask = [&](const char* source, const std::string& forwarded) {
    return Parse(Ask(service.Port(),
                     "GET " + kCheckIn + "&node=n HTTP/1.0\r\nX-Forwarded-For: " + forwarded + "\r\n\r\n", 3000,
                     source))
        .body;
  };
  EXPECT_EQ(ask("127.0.0.3", "198.51.100.7"), "127.0.0.3") << "a forged header from anyone else changes nothing";
  EXPECT_EQ(ask("127.0.0.2", "198.51.100.7"), "198.51.100.7");
  EXPECT_EQ(ask("127.0.0.2", "6.6.6.6, 198.51.100.7"), "198.51.100.7")
      << "what the caller wrote itself is not believed";
  EXPECT_EQ(RunService({"--trusted-proxy", "localhost"}).code, 2);
}

TEST(ServiceProcess, ALockedDatabaseIsAnswered503AndTheServiceGoesOnOnceItIsFree) {
  Database db("alice", "secret");
  ServiceProcess service({"--db", db.file});
  ASSERT_GT(service.Port(), 0) << service.Log();
  ASSERT_EQ(CheckIn(service.Port(), "alice", Md5("secret"), "box").status, 200);
  OtherConnection other(db.file);
  ASSERT_EQ(other.Exec("BEGIN IMMEDIATE"), SQLITE_OK);
  const Answer locked = CheckIn(service.Port(), "alice", Md5("secret"), "box", "127.0.0.2");
  EXPECT_EQ(locked.status, 503);
  EXPECT_EQ(locked.body, "the service cannot record check-ins right now; try again later\n");
  ASSERT_EQ(other.Exec("COMMIT"), SQLITE_OK);
  EXPECT_EQ(CheckIn(service.Port(), "alice", Md5("secret"), "box", "127.0.0.2").status, 200);
  EXPECT_TRUE(service.WaitForLog(" event=checkin outcome=unavailable node=box user=alice address=127.0.0.2 reason=")) << service.Log();
}

TEST(ServiceProcess, AFullDiskIsAnswered503LosesNothingAndTheServiceRecoversWhenThereIsRoom) {
  // The service may write no file beyond 256 KiB (RLIMIT_FSIZE): its writes
  // then fail as on a full disk, through the same calls and the same errors.
  Database db("alice", "secret");
  ServiceProcess service({"--db", db.file}, {}, 256 * 1024);
  ASSERT_GT(service.Port(), 0) << service.Log();
  std::vector<int> answered, refused;
  for (int i = 0; i < 400 && refused.size() < 5; ++i) {
    const int status = CheckIn(service.Port(), "alice", Md5("secret"), "node" + std::to_string(i)).status;
    ASSERT_TRUE(status == 200 || status == 503) << status;
    (status == 200 ? answered : refused).push_back(i);
  }
  ASSERT_EQ(refused.size(), 5u) << "the limit was never reached";
  EXPECT_TRUE(service.Running());
  EXPECT_NE(Json(service.Port(), "alice", "secret").find("\"name\":\"node0\""), std::string::npos)
      << "the page still reads";
  // Room again: the next check-in is recorded.
  const rlimit room{RLIM_INFINITY, RLIM_INFINITY};
  ASSERT_EQ(::prlimit(service.Pid(), RLIMIT_FSIZE, &room, nullptr), 0);
  EXPECT_EQ(CheckIn(service.Port(), "alice", Md5("secret"), "after").status, 200);
  EXPECT_EQ(service.Stop(), 0);

  OtherConnection other(db.file);
  EXPECT_EQ(other.Text("PRAGMA integrity_check"), "ok");
  EXPECT_EQ(other.Text("SELECT count(*) FROM nodes"), std::to_string(answered.size() + 1));
  for (int i : refused)
    EXPECT_EQ(other.Text("SELECT count(*) FROM nodes WHERE name = 'node" + std::to_string(i) + "'"), "0") << i;
  EXPECT_EQ(other.Text("SELECT count(*) FROM nodes WHERE name = 'after'"), "1");
}

TEST(ServiceProcess, AReadOnlyDatabaseIsShownAnswers503AndIsWrittenOnceItIsWritableAgain) {
  Database db("alice", "secret");
  // The service runs as a user of its own (nobody) that owns the folder, so that the file's mode counts.
  const uid_t nobody = 65534;
  if (::geteuid() == 0) {
    ASSERT_EQ(::chown(db.dir.Path().c_str(), nobody, nobody), 0);
    ASSERT_EQ(::chown(db.file.c_str(), nobody, nobody), 0);
  }
  ASSERT_EQ(::chmod(db.file.c_str(), 0444), 0);
  ServiceProcess service({"--db", db.file}, {}, RLIM_INFINITY, nobody);
  ASSERT_GT(service.Port(), 0) << service.Log();
  EXPECT_TRUE(service.WaitForLog(db.file + " is read-only: nodes are shown, check-ins are answered 503"))
      << service.Log();
  EXPECT_EQ(CheckIn(service.Port(), "alice", Md5("secret"), "box").status, 503);
  EXPECT_NE(Json(service.Port(), "alice", "secret").find("\"nodes\":[]"), std::string::npos);
  ASSERT_EQ(::chmod(db.file.c_str(), 0644), 0);
  // The service tries the file again every few seconds.
  int status = 0;
  for (int i = 0; i < 60 && status != 200; ++i) {
    testpeer::Pause(250);
    status = CheckIn(service.Port(), "alice", Md5("secret"), "box").status;
    ASSERT_TRUE(status == 200 || status == 503) << status;
  }
  EXPECT_EQ(status, 200);
  EXPECT_NE(Json(service.Port(), "alice", "secret").find("{\"name\":\"box\""), std::string::npos);
}

TEST(ServiceProcess, ADatabaseDeletedOrReplacedUnderTheServiceIsAnswered503AndNeverMadeAnewUnasked) {
  const struct Case {
    const char* what;
    std::function<void(const std::string&)> change;
    const char* logged;
    const char* atRestart;
  } cases[] = {
      {"deleted", [](const std::string& file) { std::filesystem::remove(file); }, "%20was%20deleted%20under%20the%20service",
       "there is no database "},
      {"replaced",
       [](const std::string& file) {
         TempDir::Write(file + ".new", "junk"), std::filesystem::rename(file + ".new", file);
       },
       "%20was%20replaced%20under%20the%20service", " is not a pinmark-service database"},
  };
  for (const Case& c : cases) {
    // Made as a user who lets everyone read what he makes would make it.
    const mode_t umask = ::umask(022);
    Database db("alice", "secret");
    ::umask(umask);
    ServiceProcess service({"--db", db.file});
    ASSERT_GT(service.Port(), 0) << service.Log();
    ASSERT_EQ(CheckIn(service.Port(), "alice", Md5("secret"), "box").status, 200);
    for (const char* suffix : {"", "-wal", "-shm"}) {
      struct stat st {};
      ASSERT_EQ(::stat((db.file + suffix).c_str(), &st), 0) << suffix;
      EXPECT_EQ(st.st_mode & 0777, 0600u) << suffix << " is the owner's alone";
    }
    c.change(db.file);
    EXPECT_EQ(CheckIn(service.Port(), "alice", Md5("secret"), "box", "127.0.0.2").status, 503) << c.what;
    EXPECT_EQ(CheckIn(service.Port(), "alice", Md5("secret"), "box", "127.0.0.3").status, 503) << c.what;
    EXPECT_TRUE(service.WaitForLog(db.file + c.logged)) << service.Log();
    EXPECT_EQ(service.CountInLog(c.logged), 1) << service.Log();
    service.Stop();

    ServiceProcess restarted({"--db", db.file});
    EXPECT_EQ(restarted.Stop(0), 1) << c.what;
    EXPECT_NE(restarted.Log().find(c.atRestart), std::string::npos) << restarted.Log();
  }
  // Asked to, the service makes a database where there is none.
  Database db("alice", "secret");
  std::filesystem::remove(db.file);
  ServiceProcess noRoom({"--db", db.file, "--create"}, {}, 1024);
  EXPECT_EQ(noRoom.Stop(0), 1) << noRoom.Log();
  EXPECT_FALSE(std::filesystem::exists(db.file)) << "one that could not be made whole is not left to pass for one";
  ServiceProcess created({"--db", db.file, "--create"});
  ASSERT_GT(created.Port(), 0) << created.Log();
  EXPECT_EQ(CheckIn(created.Port(), "alice", Md5("secret"), "box").status, 403);
  EXPECT_TRUE(std::filesystem::exists(db.file));
}

TEST(ServiceProcess, ADamagedOrForeignDatabaseIsRefusedAtStartAndLeftAsItIs) {
  TempDir dir;
  const std::string junk = dir.File("junk.db");
  TempDir::Write(junk, "This is no database, but it is somebody's file.\n" + std::string(5000, 'x'));
  ServiceProcess refused({"--db", junk});
  EXPECT_EQ(refused.Stop(0), 1);
  EXPECT_NE(refused.Log().find("pinmark-service: " + junk + " is not a pinmark-service database"), std::string::npos)
      << refused.Log();
  EXPECT_EQ(TempDir::Read(junk), "This is no database, but it is somebody's file.\n" + std::string(5000, 'x'));
  EXPECT_EQ(RunService({"account", "list", "--db", junk}).code, 1);
  EXPECT_EQ(RunService({"--db", dir.File("no/such/folder/pinmark.db")}).code, 1);
}

// One service on 127.0.0.1 and ::1 at one port, and the program checking in
// over both as localhost: each family answered with its own address and kept
// by itself. localhost must be ::1 too: where /etc/hosts says otherwise,
// root runs the program in a mount namespace with a hosts file that does.
TEST(ServiceProcess, ListensOnBothFamiliesAndKeepsWhatTheProgramSendsOverEach) {
  ServiceProcess service({"--account", std::string("demo:") + kDigest, "--host", "127.0.0.1", "--host", "::1"});
  if (service.Port() <= 0 && service.Log().find("cannot listen on ::1") != std::string::npos)
    GTEST_SKIP() << "no IPv6 loopback address here: " << service.Log();
  ASSERT_GT(service.Port(), 0) << service.Log();
  ASSERT_TRUE(service.WaitForLog("listening on ::1:" + std::to_string(service.Port()))) << service.Log();
  TempDir dir;
  const std::string ini = dir.File("Pinmark.ini"), hosts = dir.File("hosts");
  TempDir::Write(ini, "[Program]\nIPv6=1\nURL=http://localhost:" + std::to_string(service.Port()) +
                          "/includes/r_update.php\n[User]\nName=demo\nPassword=" + kDigest + "\nComputer=box\n");
  ::chmod(ini.c_str(), 0600);
  TempDir::Write(hosts, "127.0.0.1 localhost\n::1 localhost\n");
  const bool ownHosts = ::geteuid() == 0 && std::system("unshare --mount true 2>/dev/null") == 0;
  if (!ownHosts && std::system("getent ahostsv6 localhost | grep -q '^::1 '") != 0)
    GTEST_SKIP() << "localhost is not ::1 here and no mount namespace can make it so";
  ChildProcess checkin = ownHosts ? ChildProcess("unshare", {"--mount", "sh", "-c",
                                                             "mount --bind \"$0\" /etc/hosts && exec \"$@\"", hosts,
                                                             CHECKIN_PATH, "--ini", ini})
                                  : ChildProcess(CHECKIN_PATH, {"--ini", ini});
  EXPECT_EQ(checkin.Wait(), 0) << checkin.Err();
  EXPECT_EQ(checkin.Out(), "127.0.0.1\n::1\n");
  const std::string json = Json(service.Port(), "demo", "demo");
  const auto Holds = [](const std::string& text, const std::string& part) { return text.find(part) != std::string::npos; };
  EXPECT_TRUE(Holds(json, "\"name\":\"box\",\"address\":\"::1\"")) << json;
  EXPECT_TRUE(Holds(json, "\"check_ins\":2,")) << json;
  EXPECT_TRUE(Holds(json, "\"ipv4\":{\"address\":\"127.0.0.1\",\"last_check_in\":\"20")) << json;
  EXPECT_TRUE(Holds(json, "\"ipv6\":{\"address\":\"::1\",\"last_check_in\":\"20")) << json;
}
