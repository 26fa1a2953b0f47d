// The HTTP front of the real binary under hostile clients: request shapes
// that two servers could read two ways, the size limits at and one past each
// edge, a crowd of connections dripping their heads, and a full house of
// idle connections.
#include <poll.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <thread>

#include "tests/service/process/ServiceChild.h"

using namespace servicetest;

namespace {
using Clock = std::chrono::steady_clock;

long long MsSince(Clock::time_point start) {
  return std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count();
}

std::size_t Count(const std::string& text, const std::string& part) {
  std::size_t n = 0;
  for (std::size_t at = text.find(part); at != std::string::npos; at = text.find(part, at + 1)) ++n;
  return n;
}

// Whether the service closed fd: it reads as ended within timeoutMs.
bool ClosedByService(int fd, int timeoutMs) {
  pollfd p{fd, POLLIN, 0};
  if (::poll(&p, 1, timeoutMs) <= 0) return false;
  char c;
  return ::recv(fd, &c, 1, MSG_DONTWAIT) <= 0;
}

std::string Head(const std::string& target, const std::string& fields) {
  return "GET " + target + " HTTP/1.1\r\nHost: h\r\n" + fields + "\r\n";
}

// Reads one whole answer (head and Content-Length bytes) from a kept-alive connection.
std::string ReadAnswer(int fd) {
  std::string got;
  char buf[4096];
  for (;;) {
    const std::size_t end = got.find("\r\n\r\n");
    if (end != std::string::npos) {
      const std::size_t length = got.find("Content-Length: ");
      const std::size_t body = length < end ? std::stoul(got.substr(length + 16)) : 0;
      if (got.size() >= end + 4 + body) return got;
    }
    pollfd p{fd, POLLIN, 0};
    if (::poll(&p, 1, 4000) <= 0) return got;
    const ssize_t n = ::recv(fd, buf, sizeof buf, 0);
    if (n <= 0) return got;
    got.append(buf, static_cast<std::size_t>(n));
  }
}

// A kept-alive connection from source that has had one answer and is idle now.
int IdleConnection(int port, const char* source = nullptr) {
  const int fd = Connect(port, source);
  testpeer::SendAll(fd, "GET /nowhere HTTP/1.1\r\nHost: h\r\n\r\n");
  EXPECT_EQ(Parse(ReadAnswer(fd)).status, 404);
  return fd;
}
}  // namespace

TEST(ServiceFrontProcess, AHostileRequestIsRefusedOnceAndItsConnectionClosedAndTheLimitsHoldAtTheirEdges) {
  ServiceProcess service;
  ASSERT_GT(service.Port(), 0);
  const std::string post = "POST " + kCheckIn + "&node=n HTTP/1.1\r\nHost: h\r\n";
  const std::string smuggled = "GET " + kCheckIn + "&node=smuggled HTTP/1.1\r\nHost: h\r\n\r\n";
  // A head of exactly n bytes, blank line included.
  auto headOf = [](std::size_t n) {
    const std::string start = "GET / HTTP/1.1\r\nHost: h\r\nConnection: close\r\nX: ";
    return start + std::string(n - start.size() - 4, 'x') + "\r\n\r\n";
  };
  auto targetOf = [](std::size_t n) {
    return "GET /" + std::string(n - 1, 'a') + " HTTP/1.1\r\nHost: h\r\nConnection: close\r\n\r\n";
  };
  struct Case {
    const char* name;
    std::string request;
    int status;
  } cases[] = {
      {"two equal lengths", post + "Content-Length: 5\r\nContent-Length: 5\r\n\r\nhello", 400},
      {"conflicting lengths hiding a request", post + "Content-Length: 0\r\nContent-Length: 5\r\n\r\n" + smuggled,
       400},
      {"a length with a sign", post + "Content-Length: +5\r\n\r\nhello", 400},
      {"Transfer-Encoding with a blank before its colon",
       post + "Transfer-Encoding : chunked\r\nContent-Length: 4\r\n\r\n0\r\n\r\n" + smuggled, 400},
      {"Transfer-Encoding beside a length", post + "Transfer-Encoding: chunked\r\nContent-Length: 4\r\n\r\n", 400},
      {"a folded header", Head("/", "X-A: 1\r\n  folded\r\n"), 400},
      {"a bare CR in a value", Head("/", "X-A: 1\rX-B: 2\r\n"), 400},
      {"a bare LF ending a line", "GET / HTTP/1.1\nHost: h\n\n", 400},
      {"a blank in a header name", Head("/", "X A: 1\r\n"), 400},
      {"a tab before the colon", Head("/", "Content-Length\t: 0\r\n"), 400},
      {"two Host headers", Head("/", "Host: other\r\n"), 400},
      {"HTTP/1.1 without Host", "GET / HTTP/1.1\r\n\r\n", 400},
      {"an absolute target", "GET http://h/ HTTP/1.1\r\nHost: h\r\n\r\n", 400},
      {"an asterisk target", "OPTIONS * HTTP/1.1\r\nHost: h\r\n\r\n", 400},
      {"two blanks in the request line", "GET  / HTTP/1.1\r\nHost: h\r\n\r\n", 400},
      {"another version", "GET / HTTP/2.0\r\nHost: h\r\n\r\n", 400},
      {"a version in small letters", "GET / http/1.1\r\nHost: h\r\n\r\n", 400},
      {"a head of exactly 16 KiB", headOf(16384), 200},
      {"a head one byte over", headOf(16385), 431},
      {"a URI of exactly 8 KiB", targetOf(8192), 404},
      {"a URI one byte over", targetOf(8193), 414},
      {"a body of exactly 4 KiB",
       post + "Connection: close\r\nContent-Length: 4096\r\n\r\n" + std::string(4096, 'b'), 200},
      {"a body one byte over", post + "Content-Length: 4097\r\n\r\n", 413},
  };
  int refused = 0;
  for (const Case& c : cases) {
    const Clock::time_point start = Clock::now();
    const std::string answer = Ask(service.Port(), c.request, 4000);
    EXPECT_EQ(Parse(answer).status, c.status) << c.name << ": " << answer.substr(0, 200);
    EXPECT_EQ(Count(answer, "HTTP/1.1 "), 1u) << c.name << ": nothing after it is read as a request";
    EXPECT_LT(MsSince(start), 3000) << c.name << ": the service closes the connection after the answer";
    refused += c.status >= 400 && c.status != 404;
  }
  // A refusal's log line may come after its answer: wait for them all, then
  // check there is no more.
  const std::string refusal = "event=refused_request address=127.0.0.1 status=";
  for (int i = 0; i < 500 && Count(service.Log(), refusal) < static_cast<std::size_t>(refused); ++i)
    testpeer::Pause(10);
  EXPECT_EQ(Count(service.Log(), "node=smuggled"), 0u);
  EXPECT_EQ(Count(service.Log(), refusal), static_cast<std::size_t>(refused)) << service.Log();
}

TEST(ServiceFrontProcess, ThreeHundredDrippingConnectionsHoldNoCheckInBackAndAreClosedAtTheHeadDeadline) {
  ServiceProcess service({"--account", std::string("demo:") + kDigest, "--max-per-address", "1000"});
  ASSERT_GT(service.Port(), 0);
  std::vector<int> crowd;
  for (int i = 0; i < 300; ++i) crowd.push_back(Connect(service.Port()));
  std::atomic<bool> dripping{true};
  std::thread drip([&] {
    const std::string line = "GET / HTTP/1.1";
    for (std::size_t i = 0; dripping; ++i) {
      for (int fd : crowd) testpeer::SendAll(fd, line.substr(i % line.size(), 1));
      for (int waited = 0; waited < 2000 && dripping; waited += 50) testpeer::Pause(50);
    }
  });
  // Check-ins from another address while the crowd drips, until past the head deadline.
  const Clock::time_point start = Clock::now();
  long long slowest = 0;
  while (MsSince(start) < 11000) {
    const Clock::time_point asked = Clock::now();
    EXPECT_EQ(CheckIn(service.Port(), "demo", kDigest, "box", "127.0.0.2").status, 200);
    slowest = std::max(slowest, MsSince(asked));
    testpeer::Pause(500);
  }
  dripping = false;
  drip.join();
  EXPECT_LT(slowest, 1000) << "a check-in waited behind the crowd";
  // One wait of 2 s for them all: a service that keeps them fails at once, not after 300 waits.
  const Clock::time_point looked = Clock::now();
  int closed = 0;
  for (int fd : crowd) {
    closed += ClosedByService(fd, static_cast<int>(std::max(0LL, 2000 - MsSince(looked))));
    ::close(fd);
  }
  EXPECT_EQ(closed, 300) << "the head deadline is 10 s";
}

TEST(ServiceFrontProcess, AConnectionOverTheCapClosesTheOldestIdleOne) {
  ServiceProcess service({"--account", std::string("demo:") + kDigest, "--max-connections", "8"});
  ASSERT_GT(service.Port(), 0);
  std::vector<int> idle;
  // One whole answer read on each makes them idle, in this order, with nothing left unread.
  for (int i = 0; i < 8; ++i) idle.push_back(IdleConnection(service.Port()));
  EXPECT_EQ(CheckIn(service.Port(), "demo", kDigest, "box").status, 200);
  EXPECT_TRUE(ClosedByService(idle[0], 2000)) << "the oldest idle connection made room";
  for (std::size_t i = 1; i < idle.size(); ++i) EXPECT_FALSE(ClosedByService(idle[i], 0)) << i;
  for (int fd : idle) ::close(fd);
}

TEST(ServiceFrontProcess, ARememberedCheckInIsAnsweredWhileSlowHashesRun) {
  Database db("alice", "secret");
  ASSERT_EQ(RunService({"account", "add", "bob", "--password-stdin", "--db", db.file}, "bobs\n").code, 0);
  ServiceProcess service({"--db", db.file});
  ASSERT_GT(service.Port(), 0);
  ASSERT_EQ(CheckIn(service.Port(), "alice", Md5("secret"), "box").status, 200) << "now remembered";
  // Wrong passwords for bob from as many addresses, each paying the slow hash.
  std::vector<std::thread> guessers;
  std::atomic<int> guessed{0};
  for (int i = 0; i < 12; ++i)
    guessers.emplace_back([&, i] {
      const std::string source = "127.0.1." + std::to_string(10 + i);
      if (CheckIn(service.Port(), "bob", Md5("guess"), "pc", source.c_str()).status == 403) ++guessed;
    });
  // Once the hashes are under way, alice checks in again.
  while (Count(service.Log(), "user=bob") == 0 && guessed == 0) testpeer::Pause(5);
  const Clock::time_point asked = Clock::now();
  EXPECT_EQ(CheckIn(service.Port(), "alice", Md5("secret"), "box", "127.0.0.2").status, 200);
  const long long waited = MsSince(asked);
  for (std::thread& t : guessers) t.join();
  EXPECT_EQ(guessed, 12);
  EXPECT_LT(waited, 1000) << "the remembered check-in waited behind the slow hashes";
}

TEST(ServiceFrontProcess, TheIdleLimitAndTheBodyDeadlineEachCloseAConnectionOnTheirOwnAndNoSooner) {
  ServiceProcess service({"--account", std::string("demo:") + kDigest, "--idle-timeout", "1", "--body-timeout", "1"});
  ASSERT_GT(service.Port(), 0);
  struct Case {
    const char* name;
    std::string whole;  // sent at once
    std::string drip;   // then a byte at a time while the connection stays open
    bool answered;      // the whole part is answered before the limit runs
    const char* logged;
  } cases[] = {
      {"silent after an answer", Head("/nowhere", ""), "", true, nullptr},
      {"a whole head, then a body that drips",
       "POST " + kCheckIn + "&node=drip HTTP/1.1\r\nHost: h\r\nContent-Length: 200\r\n\r\n", std::string(200, 'b'),
       false, "event=closed address=127.0.0.1 reason=no%20complete%20request%20body%20in%20time"},
  };
  for (const Case& c : cases) {
    const int fd = Connect(service.Port());
    testpeer::SendAll(fd, c.whole);
    if (c.answered) {
      EXPECT_EQ(Parse(ReadAnswer(fd)).status, 404) << c.name;
    }
    const Clock::time_point start = Clock::now();
    // Each byte well within any read's patience: only the limit itself can close the connection.
    std::size_t sent = 0;
    while (!ClosedByService(fd, 100) && MsSince(start) < 8000)
      if (sent < c.drip.size()) testpeer::SendAll(fd, c.drip.substr(sent++, 1));
    const long long closedAfter = MsSince(start);
    ::close(fd);
    // Not before its second is up, and long before the 10 s head deadline would have closed it.
    EXPECT_GE(closedAfter, 900) << c.name;
    EXPECT_LT(closedAfter, 5000) << c.name;
    if (c.logged) {
      EXPECT_TRUE(service.WaitForLog(c.logged)) << c.name;
    }
  }
  // The dripped check-in was never taken.
  EXPECT_EQ(Count(service.Log(), "node=drip"), 0u) << service.Log();
}

TEST(ServiceFrontProcess, AnAddressOverItsCapClosesItsOwnOldestIdleConnectionAndAnotherIsStillServed) {
  ServiceProcess service({"--account", std::string("demo:") + kDigest, "--max-per-address", "3"});
  ASSERT_GT(service.Port(), 0);
  // Exactly at the cap, in the order they went idle.
  std::vector<int> idle;
  for (int i = 0; i < 3; ++i) idle.push_back(IdleConnection(service.Port()));
  // Another address is served beside them and closes none of them.
  const int other = IdleConnection(service.Port(), "127.0.0.3");
  EXPECT_EQ(CheckIn(service.Port(), "demo", kDigest, "box", "127.0.0.3").status, 200);
  for (int fd : idle) EXPECT_FALSE(ClosedByService(fd, 0));
  EXPECT_FALSE(ClosedByService(other, 0));
  // One over: the address's oldest idle connection makes room, and only it.
  EXPECT_EQ(CheckIn(service.Port(), "demo", kDigest, "box").status, 200);
  EXPECT_TRUE(ClosedByService(idle[0], 2000)) << "the address's oldest idle connection made room";
  EXPECT_FALSE(ClosedByService(idle[1], 0));
  EXPECT_FALSE(ClosedByService(idle[2], 0));
  EXPECT_FALSE(ClosedByService(other, 0)) << "another address's connection is not its to close";
  for (int fd : idle) ::close(fd);
  ::close(other);
}
