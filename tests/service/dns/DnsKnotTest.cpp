// Publishing against a real name server: knotd on loopback, checked with kdig.
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>

#include <atomic>
#include <ctime>
#include <mutex>
#include <thread>

#include "service/dns/DnsExchange.h"
#include "service/dns/DnsPublisher.h"
#include "service/dns/MemoryDnsQueueStore.h"
#include "tests/service/dns/UdpLoopback.h"
#include "tests/support/ChildProcess.h"
#include "tests/support/KnotServer.h"

using namespace std::chrono_literals;

namespace {
const std::string kLaptop = "laptop.alice.dyn.example.org.";

TServiceTime Now() { return ServiceClockNow(); }

class DnsAgainstKnot : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_TRUE(knot.Running()) << knot.Log(); }

  std::unique_ptr<TDnsPublisher> Publisher(const std::string& keyFile, const std::string& server = "") {
    TDnsSettings settings{KnotServer::kZone, server.empty() ? knot.Server() : server, keyFile, 60};
    auto publisher =
        std::make_unique<TDnsPublisher>(settings, store, TDnsQueueOptions{200ms, 1s, 30s},
                                        TDnsWorkerOptions{16, 5s, 60}, [this](TLogPriority, const std::string& line) {
                                          std::lock_guard<std::mutex> hold(logLock);
                                          log.push_back(line);
                                        });
    publisher->Start();
    return publisher;
  }

  // Polls the queue until the name's A entry is in state (at most 30 s).
  bool WaitState(TDnsPublisher& publisher, TDnsState state, const std::string& node = "laptop") {
    for (int i = 0; i < 600; ++i) {
      const std::vector<TDnsQueueEntry> entries = publisher.StateOf(node, "alice");
      if (!entries.empty() && entries[0].State == state) return true;
      std::this_thread::sleep_for(50ms);
    }
    return false;
  }

  std::vector<std::string> Log() {
    std::lock_guard<std::mutex> hold(logLock);
    return log;
  }

  KnotServer knot;
  TMemoryDnsQueueStore store;
  std::mutex logLock;
  std::vector<std::string> log;
};

// Stands between the worker and knotd on a port of its own, UDP and TCP:
// it can send a forged datagram before the real answer, or answer every
// UDP request with the truncation bit so the update has to go over TCP.
class Relay {
 public:
  enum TMode { ForgeFirst, Truncate };
  Relay(int knotPort, TMode mode) : knotPort_(knotPort), mode_(mode) {
    udp_ = UdpLoopback(&port_);
    tcp_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in a = Loopback(port_);
    ::bind(tcp_, reinterpret_cast<sockaddr*>(&a), sizeof a);
    ::listen(tcp_, 4);
    thread_ = std::thread([this] { Serve(); });
  }
  ~Relay() {
    stop_ = true;
    thread_.join();
    ::close(udp_);
    ::close(tcp_);
  }
  std::string Server() const { return "127.0.0.1:" + std::to_string(port_); }
  int TcpConnections() const { return tcpConnections_; }
  int Forged() const { return forged_; }

 private:
  static sockaddr_in Loopback(int port) {
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    a.sin_port = htons(static_cast<uint16_t>(port));
    return a;
  }

  // One message to knotd over TCP, its answer back.
  std::string AskKnot(const std::string& message) const {
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in a = Loopback(knotPort_);
    std::string answer;
    if (::connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0) {
      std::string out;
      out += static_cast<char>(message.size() >> 8);
      out += static_cast<char>(message.size() & 0xff);
      out += message;
      ::send(fd, out.data(), out.size(), MSG_NOSIGNAL);
      char buffer[65537];
      std::size_t have = 0;
      for (ssize_t n; (n = ::recv(fd, buffer + have, sizeof buffer - have, 0)) > 0;) {
        have += static_cast<std::size_t>(n);
        if (have >= 2 && have >= 2u + ((static_cast<uint8_t>(buffer[0]) << 8) | static_cast<uint8_t>(buffer[1]))) break;
      }
      if (have > 2) answer.assign(buffer + 2, have - 2);
    }
    ::close(fd);
    return answer;
  }

  void Serve() {
    while (!stop_) {
      pollfd fds[2] = {{udp_, POLLIN, 0}, {tcp_, POLLIN, 0}};
      if (::poll(fds, 2, 50) <= 0) continue;
      if (fds[0].revents & POLLIN) {
        char buffer[4096];
        sockaddr_in from{};
        socklen_t length = sizeof from;
        const ssize_t n = ::recvfrom(udp_, buffer, sizeof buffer, 0, reinterpret_cast<sockaddr*>(&from), &length);
        if (n < 12) continue;
        auto reply = [&](const std::string& datagram) {
          ::sendto(udp_, datagram.data(), datagram.size(), 0, reinterpret_cast<sockaddr*>(&from), length);
        };
        std::string header(buffer, 12);
        header[2] = static_cast<char>(header[2] | 0x80);
        if (mode_ == Truncate) {
          header[2] = static_cast<char>(header[2] | 0x02);
          reply(header);
          continue;
        }
        // A success with the right ID, but unsigned: what a spoofer could send.
        ++forged_;
        reply(header);
        reply(AskKnot(std::string(buffer, static_cast<std::size_t>(n))));
      }
      if (fds[1].revents & POLLIN) {
        const int client = ::accept(tcp_, nullptr, nullptr);
        ++tcpConnections_;
        char buffer[4096];
        std::size_t have = 0;
        for (ssize_t n; (n = ::recv(client, buffer + have, sizeof buffer - have, 0)) > 0;) {
          have += static_cast<std::size_t>(n);
          if (have >= 2 && have >= 2u + ((static_cast<uint8_t>(buffer[0]) << 8) | static_cast<uint8_t>(buffer[1])))
            break;
        }
        const std::string answer = have > 2 ? AskKnot(std::string(buffer + 2, have - 2)) : "";
        std::string out;
        out += static_cast<char>(answer.size() >> 8);
        out += static_cast<char>(answer.size() & 0xff);
        out += answer;
        ::send(client, out.data(), out.size(), MSG_NOSIGNAL);
        ::close(client);
      }
    }
  }

  int knotPort_;
  TMode mode_;
  int udp_ = -1, tcp_ = -1, port_ = 0;
  std::atomic<bool> stop_{false};
  std::atomic<int> tcpConnections_{0}, forged_{0};
  std::thread thread_;
};
}  // namespace

TEST_F(DnsAgainstKnot, AnUpdateMakesTheNameResolveAndTheNextOneReplacesIt) {
  auto publisher = Publisher(knot.KeyFile());
  EXPECT_EQ(publisher->Publish("Laptop", "Alice", "192.0.2.7", Now()).Name, kLaptop);
  EXPECT_TRUE(knot.WaitResolves(kLaptop, "A", "192.0.2.7")) << knot.Log();
  publisher->Publish("laptop", "alice", "192.0.2.8", Now());
  EXPECT_TRUE(knot.WaitResolves(kLaptop, "A", "192.0.2.8")) << knot.Log();
  publisher->Publish("laptop", "alice", "2001:db8::8", Now());
  EXPECT_TRUE(knot.WaitResolves(kLaptop, "AAAA", "2001:db8::8")) << knot.Log();
  EXPECT_EQ(knot.Query(kLaptop, "A"), std::vector<std::string>{"192.0.2.8"});

  ASSERT_TRUE(WaitState(*publisher, TDnsState::Published));
  const std::vector<TDnsQueueEntry> entries = publisher->StateOf("laptop", "alice");
  ASSERT_EQ(entries.size(), 2u);
  EXPECT_EQ(entries[0].PublishedAddress, "192.0.2.8");
  EXPECT_EQ(entries[1].Type, TDnsRecordType::AAAA);
  // The TTL asked for is the one served.
  ChildProcess kdig("kdig", {"@127.0.0.1", "-p", std::to_string(knot.Port()), "+noall", "+answer", kLaptop, "A"});
  kdig.Wait();
  EXPECT_NE(kdig.Out().find("\t60\tIN\tA\t192.0.2.8"), std::string::npos) << kdig.Out();

  // The node left IPv6: its AAAA set goes, its A set stays.
  publisher->Withdraw("laptop", "alice", TDnsRecordType::AAAA, Now());
  EXPECT_TRUE(knot.WaitHoldsNone(kLaptop, "AAAA")) << knot.Log();
  EXPECT_EQ(knot.Query(kLaptop, "A"), std::vector<std::string>{"192.0.2.8"});
  EXPECT_FALSE(publisher->Queue().Withdraw(kLaptop, TDnsRecordType::AAAA, Now())) << "withdrawn already";
}

TEST_F(DnsAgainstKnot, AWrongKeyIsRefusedAndNothingChanges) {
  {
    auto publisher = Publisher(knot.KeyFile());
    publisher->Publish("laptop", "alice", "192.0.2.7", Now());
    ASSERT_TRUE(knot.WaitResolves(kLaptop, "A", "192.0.2.7")) << knot.Log();
  }
  struct Case {
    const char* what;
    std::string secret, name;
    const char* reason;
  };
  const Case cases[] = {
      {"another secret", "d3Jvbmctc2VjcmV0LXdyb25nLXNlY3JldC13cm9uZyE=", KnotServer::kKeyName, "BADSIG"},
      {"a key the server does not know", KnotServer::kSecret, "stranger", "BADKEY"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    TDnsQueueEntry entry;
    {
      auto publisher = Publisher(knot.KeyFile(c.secret, c.name));
      publisher->Publish("laptop", "alice", "192.0.2.66", Now());
      ASSERT_TRUE(WaitState(*publisher, TDnsState::Failing)) << knot.Log();
      entry = publisher->StateOf("laptop", "alice").at(0);
    }
    EXPECT_NE(entry.Reason.find(c.reason), std::string::npos) << entry.Reason;
    EXPECT_EQ(entry.PublishedAddress, "192.0.2.7");
    EXPECT_EQ(knot.Query(kLaptop, "A"), std::vector<std::string>{"192.0.2.7"});
    // Leave the store as the right key had left it, for the next case.
    entry.Address = "192.0.2.7";
    entry.State = TDnsState::Published;
    entry.Due.reset();
    store.Save(entry);
  }
}

TEST_F(DnsAgainstKnot, KeepsTryingWhileTheServerIsDownAndPublishesSoonAfterItStarts) {
  auto publisher = Publisher(knot.KeyFile());
  knot.Stop();
  publisher->Publish("laptop", "alice", "192.0.2.5", Now());  // only queued: the server is down
  ASSERT_TRUE(WaitState(*publisher, TDnsState::Failing));
  // Several attempts fail (the delays start at 0.2 s), and one line says so.
  int attempts = 0;
  for (int i = 0; i < 400 && attempts < 3; ++i) {
    std::this_thread::sleep_for(50ms);
    attempts = publisher->StateOf("laptop", "alice").at(0).Attempts;
  }
  EXPECT_GE(attempts, 3);
  ASSERT_TRUE(knot.Start()) << knot.Log();
  EXPECT_TRUE(knot.WaitResolves(kLaptop, "A", "192.0.2.5", 20s)) << knot.Log();
  ASSERT_TRUE(WaitState(*publisher, TDnsState::Published));
  const std::vector<std::string> lines = Log();
  ASSERT_EQ(lines.size(), 2u);
  EXPECT_NE(lines[0].find("state=failing reason=no%20answer%20from%20" + knot.Server() + ":%20"), std::string::npos) << lines[0];
  EXPECT_NE(lines[1].find("address=192.0.2.5 state=published failing_since="), std::string::npos) << lines[1];
}

TEST_F(DnsAgainstKnot, AfterAStartTheVerificationRestoresWhatWasChangedByHandAndConfirmsTheRest) {
  {
    auto publisher = Publisher(knot.KeyFile());
    for (const char* node : {"laptop", "desk", "phone"}) publisher->Publish(node, "alice", "192.0.2.7", Now());
    for (const char* node : {"laptop", "desk", "phone"})
      ASSERT_TRUE(knot.WaitResolves(std::string(node) + ".alice.dyn.example.org.", "A", "192.0.2.7")) << knot.Log();
  }
  // By hand, while the service is away: one record deleted, one replaced.
  const std::string commands = knot.Dir().File("by-hand.txt");
  TempDir::Write(commands, "server 127.0.0.1 " + std::to_string(knot.Port()) +
                               "\nzone dyn.example.org.\nupdate delete " + kLaptop +
                               " A\nupdate delete desk.alice.dyn.example.org. A\n"
                               "update add desk.alice.dyn.example.org. 60 A 192.0.2.99\nsend\n");
  ChildProcess knsupdate("knsupdate", {"-y", std::string("hmac-sha256:") + KnotServer::kKeyName + ":" +
                                                 KnotServer::kSecret, commands});
  ASSERT_EQ(knsupdate.Wait(), 0) << knsupdate.Err();
  ASSERT_TRUE(knot.Query(kLaptop, "A").empty());

  auto publisher = Publisher(knot.KeyFile());
  const std::optional<TDnsPass> pass = publisher->Verifier().WaitForPasses(1, 30s);
  ASSERT_TRUE(pass);
  EXPECT_EQ(pass->Asked, 3u);
  EXPECT_EQ(pass->Held, 1u);
  EXPECT_EQ(pass->Resent, 2u);
  EXPECT_TRUE(knot.WaitResolves(kLaptop, "A", "192.0.2.7")) << knot.Log();
  EXPECT_TRUE(knot.WaitResolves("desk.alice.dyn.example.org.", "A", "192.0.2.7")) << knot.Log();
  EXPECT_EQ(publisher->StateOf("phone", "alice").at(0).State, TDnsState::Published);
  EXPECT_TRUE(WaitState(*publisher, TDnsState::Published, "desk"));
}

TEST_F(DnsAgainstKnot, AnUpdateTheServersRuleRefusesIsSaidToBeRefusedByTheRuleOrTheKey) {
  // The zone's own name: knotd knows the key, but its rule grants only names below the zone.
  const std::string zone = std::string(KnotServer::kZone) + ".";
  const TDnsKey key = TDnsKey::Load(knot.KeyFile());
  const TDnsServer server(knot.Server());
  const int64_t now = std::time(nullptr);
  const TDnsUpdate update = TDnsUpdate::Make(zone, zone, "192.0.2.7", 60, key, 4711, now);
  TDnsExchange exchange(
      server, update.Wire(), [&](std::string_view answer) { return update.Check(answer, key, now); },
      TDnsExchange::TClock::now() + 5s);
  while (!exchange.Done()) {
    pollfd fd{exchange.Fd(), exchange.Events(), 0};
    ::poll(&fd, 1, 100);
    exchange.OnReady(fd.revents, TDnsExchange::TClock::now());
    exchange.OnTime(TDnsExchange::TClock::now());
  }
  EXPECT_EQ(exchange.Outcome().Kind, TDnsOutcome::Failed);
  EXPECT_NE(exchange.Outcome().Reason.find("its update rule does not let the key change this name or record type"),
            std::string::npos)
      << exchange.Outcome().Reason;
  EXPECT_TRUE(knot.Query(zone, "A").empty());
}

TEST_F(DnsAgainstKnot, ANameWithAnUnderscoreIsNeverSent) {
  auto publisher = Publisher(knot.KeyFile());
  const TDnsOwnerName name = publisher->Publish("my_box", "alice", "192.0.2.9", Now());
  EXPECT_FALSE(name.Valid());
  EXPECT_NE(name.Reason.find("the node name holds '_'"), std::string::npos) << name.Reason;
  EXPECT_TRUE(publisher->StateOf("my_box", "alice").empty());
  EXPECT_FALSE(publisher->Queue().NextDue());
  // A name published after it is the first the name server ever hears of.
  publisher->Publish("box", "alice", "192.0.2.9", Now());
  EXPECT_TRUE(knot.WaitResolves("box.alice.dyn.example.org.", "A", "192.0.2.9")) << knot.Log();
  EXPECT_TRUE(knot.Query("my_box.alice.dyn.example.org.", "A").empty());
  const std::string serverLog = knot.Log();
  EXPECT_EQ(serverLog.find("my_box"), std::string::npos);
  EXPECT_EQ(serverLog.find("DDNS, processing 1 updates"), serverLog.rfind("DDNS, processing 1 updates")) << serverLog;
}

TEST_F(DnsAgainstKnot, AForgedDatagramDoesNotCutTheWaitForTheRealAnswerShort) {
  Relay relay(knot.Port(), Relay::ForgeFirst);
  auto publisher = Publisher(knot.KeyFile(), relay.Server());
  publisher->Publish("laptop", "alice", "192.0.2.10", Now());
  ASSERT_TRUE(WaitState(*publisher, TDnsState::Published)) << knot.Log();
  EXPECT_GE(relay.Forged(), 1);
  EXPECT_EQ(knot.Query(kLaptop, "A"), std::vector<std::string>{"192.0.2.10"});
  EXPECT_TRUE(Log().size() == 1u && Log()[0].find("published") != std::string::npos);
}

TEST_F(DnsAgainstKnot, ATruncatedAnswerMovesTheUpdateToTcp) {
  Relay relay(knot.Port(), Relay::Truncate);
  auto publisher = Publisher(knot.KeyFile(), relay.Server());
  publisher->Publish("laptop", "alice", "192.0.2.11", Now());
  ASSERT_TRUE(WaitState(*publisher, TDnsState::Published)) << knot.Log();
  EXPECT_EQ(relay.TcpConnections(), 1);
  EXPECT_EQ(knot.Query(kLaptop, "A"), std::vector<std::string>{"192.0.2.11"});
}

TEST(DnsSilentServer, AnUpdateNobodyAnswersIsFailingWithNoAnswerInTime) {
  // A bound port that swallows every datagram, as a name server behind a
  // firewall that drops them.
  int port = 0;
  const int fd = UdpLoopback(&port);
  TempDir dir;
  const std::string key = dir.File("k.key");
  TempDir::Write(key, std::string("pinmark-update:") + KnotServer::kSecret);
  ::chmod(key.c_str(), 0600);
  TMemoryDnsQueueStore store;
  std::vector<std::string> log;
  TDnsPublisher publisher({"dyn.example.org", "127.0.0.1:" + std::to_string(port), key, 60}, store,
                          TDnsQueueOptions{200ms, 1s, 30s}, TDnsWorkerOptions{16, 3s, 60},
                          [&](TLogPriority, const std::string& line) { log.push_back(line); });
  publisher.Start();
  publisher.Publish("laptop", "alice", "192.0.2.7", Now());
  std::vector<TDnsQueueEntry> entries;
  for (int i = 0; i < 400 && (entries.empty() || entries[0].State != TDnsState::Failing); ++i) {
    std::this_thread::sleep_for(50ms);
    entries = publisher.StateOf("laptop", "alice");
  }
  publisher.Stop();
  ASSERT_EQ(entries.at(0).State, TDnsState::Failing);
  EXPECT_EQ(entries[0].Reason, "no answer from 127.0.0.1:" + std::to_string(port) + " in time");
  // It was sent again while the first attempt waited (once a second).
  int received = 0;
  char buffer[512];
  while (::recv(fd, buffer, sizeof buffer, MSG_DONTWAIT) > 0) ++received;
  EXPECT_GE(received, 2);
  ::close(fd);
}
