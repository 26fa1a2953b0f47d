// Webhooks: the URLs and addresses taken (the deliveries the stores keep are the store contract's),
// a receiver on loopback (cpp-httplib) that checks each body and signature,
// and receivers that answer badly or not at all.
#include <gtest/gtest.h>
#include <httplib.h>
#include <openssl/evp.h>
#include <openssl/hmac.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <boost/asio/ip/address.hpp>
#include <chrono>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <thread>

#include "service/dns/DnsQueue.h"
#include "service/dns/MemoryDnsQueueStore.h"
#include "service/http/CheckInService.h"
#include "service/http/NodePages.h"
#include "service/http/WebhookSender.h"
#include "service/http/WebhookUrl.h"
#include "service/store/MemoryStore.h"
#include "service/store/SqliteStore.h"
#include "tests/service/process/ServiceChild.h"
#include "tests/support/LoopbackPeer.h"
#include "tests/support/TempDir.h"
#include "tests/support/TlsTestAuthority.h"

namespace {
using namespace std::chrono_literals;
const char kDigest[] = "fe01ce2a7fbac8fafaed7c982a04e229";  // MD5 of "demo"
const char kSecret[] = "00112233445566778899aabbccddeeff00112233445566778899aabbccddeeff";

// Why the delivery did not arrive; "" when it did.
std::string SendError(TWebhookSender& sender, const TDeliveryRecord& d) {
  try {
    sender.Send(d);
    return "";
  } catch (const EWebhookDelivery& e) {
    return e.Message();
  }
}

// Polls cheap state until it holds or limit passes.
template <class F>
bool Eventually(F holds, std::chrono::milliseconds limit = 5000ms) {
  const auto end = std::chrono::steady_clock::now() + limit;
  while (!holds()) {
    if (std::chrono::steady_clock::now() > end) return false;
    std::this_thread::sleep_for(10ms);
  }
  return true;
}

// The signature as a receiver computes it, with OpenSSL alone.
std::string ExpectedSignature(const std::string& secret, const std::string& body) {
  unsigned char mac[EVP_MAX_MD_SIZE];
  unsigned int size = 0;
  HMAC(EVP_sha256(), secret.data(), static_cast<int>(secret.size()), reinterpret_cast<const unsigned char*>(body.data()),
       body.size(), mac, &size);
  std::string hex;
  for (unsigned i = 0; i < size; ++i) hex += "0123456789abcdef"[mac[i] >> 4], hex += "0123456789abcdef"[mac[i] & 15];
  return "sha256=" + hex;
}

struct TArrived {
  std::string Target, Body, Signature, Event, Type;
  std::chrono::steady_clock::time_point At;
};

// A receiver on 127.0.0.1 that keeps what it is sent and answers 204.
class Receiver {
 public:
  explicit Receiver(int port = 0) {
    server_.Post(".*", [this](const httplib::Request& req, httplib::Response& res) {
      std::lock_guard<std::mutex> hold(lock_);
      got_.push_back({req.target, req.body, req.get_header_value("X-Pinmark-Signature"),
                      req.get_header_value("X-Pinmark-Event"), req.get_header_value("Content-Type"),
                      std::chrono::steady_clock::now()});
      arrived_.notify_all();
      res.status = 204;
    });
    port_ = port == 0 ? server_.bind_to_any_port("127.0.0.1") : server_.bind_to_port("127.0.0.1", port) ? port : -1;
    thread_ = std::thread([this] { server_.listen_after_bind(); });
  }
  ~Receiver() {
    server_.stop();
    thread_.join();
  }
  int Port() const { return port_; }
  // The n-th delivery (from 1), waited for up to limit.
  std::optional<TArrived> Wait(std::size_t n, std::chrono::milliseconds limit = 5000ms) {
    std::unique_lock<std::mutex> hold(lock_);
    if (!arrived_.wait_for(hold, limit, [&] { return got_.size() >= n; })) return std::nullopt;
    return got_[n - 1];
  }
  std::size_t Count() {
    std::lock_guard<std::mutex> hold(lock_);
    return got_.size();
  }

 private:
  httplib::Server server_;
  int port_ = -1;
  std::thread thread_;
  std::mutex lock_;
  std::condition_variable arrived_;
  std::vector<TArrived> got_;
};

// The service in process on an SQLite file, with the account demo.
class Webhooks : public ::testing::Test {
 protected:
  void Start(TWebhookOptions options, TServiceRules rules = {}) {
    auto sqlite = std::make_unique<TSqliteStore>(dir.File("service.db"));
    store = sqlite.get();
    service = std::make_unique<TCheckInService>(std::move(sqlite), rules, TTrustedProxies{});
    service->AddAccount("demo", kDigest);
    service->OnLog = [this](TLogPriority, const std::string& line) {
      std::lock_guard<std::mutex> hold(logLock);
      log += line + "\n";
    };
    service->NotifyByWebhook(options);
    port = service->Bind("127.0.0.1", 0);
    ASSERT_GT(port, 0);
    service->Start();
  }
  void SetUrl(const std::string& url) { ASSERT_TRUE(store->SetWebhook("demo", url, kSecret)); }
  int CheckIn(const std::string& node) {
    httplib::Client client("127.0.0.1", port);
    auto res = client.Get(std::string("/includes/r_update.php?userid=demo&enc=") + kDigest + "&node=" + node);
    return res ? res->status : -1;
  }
  bool Logged(const std::string& part) {
    return Eventually([&] {
      std::lock_guard<std::mutex> hold(logLock);
      return log.find(part) != std::string::npos;
    });
  }
  TWebhookRecord Hook() { return *store->Webhook(store->FindAccount("demo")->Id); }

  TempDir dir;
  TSqliteStore* store = nullptr;
  std::unique_ptr<TCheckInService> service;
  int port = 0;
  std::mutex logLock;
  std::string log;
};

TWebhookOptions Quick(bool allowPrivate = true) {
  TWebhookOptions options;
  options.AllowPrivate = allowPrivate;
  options.FirstRetry = 100ms;
  options.MaxRetry = 200ms;
  options.ConnectTimeout = 1000ms;
  options.AnswerTimeout = 1000ms;
  return options;
}
}  // namespace

TEST(WebhookUrl, TakesHttpAndHttpsUrlsAndRefusesTheRestWithAReason) {
  struct Case {
    const char* url;
    const char* hostOrProblem;  // the host taken, or a part of the refusal
    int port;
    const char* target;
  };
  const Case cases[] = {
      {"https://ntfy.sh/pinmark?tpl=1&m=%7B%7B.message%7D%7D", "ntfy.sh", 443, "/pinmark?tpl=1&m=%7B%7B.message%7D%7D"},
      {"HTTP://Example.ORG:8080", "example.org", 8080, "/"},
      {"http://192.0.2.1?token=x", "192.0.2.1", 80, "/?token=x"},
      {"https://[2001:DB8::1]:8443/message?token=a", "2001:db8::1", 8443, "/message?token=a"},
      {"ftp://example.org/", "http:// or https://", 0, ""},
      {"example.org/hook", "http:// or https://", 0, ""},
      {"http://user:pw@example.org/", "user name or password", 0, ""},
      {"http://example.org/a b", "blank", 0, ""},
      {"http://example.org/\x01", "control character", 0, ""},
      {"http://example.org/#top", "fragment", 0, ""},
      {"http://example.org:0/", "port", 0, ""},
      {"http://example.org:65536/", "port", 0, ""},
      {"http://example.org:+80/", "port", 0, ""},
      {"http://example.org:/", "port", 0, ""},
      {"http:///path", "no host name", 0, ""},
      {"http://exa_mple.org/", "no host name", 0, ""},
      {"http://[fe80::1%25eth0]/", "no IPv6 address", 0, ""},
      {"http://[2001:db8::1/", "']'", 0, ""},
      {"", "empty", 0, ""},
  };
  for (const Case& c : cases) {
    try {
      const TWebhookUrl url = TWebhookUrl::Parse(c.url);
      EXPECT_EQ(url.Host, c.hostOrProblem) << c.url;
      EXPECT_EQ(url.Port, c.port) << c.url;
      EXPECT_EQ(url.Target, c.target) << c.url;
    } catch (const EWebhookUrl& e) {
      EXPECT_EQ(c.port, 0) << c.url << ": " << e.Message();
      EXPECT_NE(e.Message().find(c.hostOrProblem), std::string::npos) << c.url << ": " << e.Message();
    }
  }
  EXPECT_THROW(TWebhookUrl::Parse("http://" + std::string(3000, 'a') + ".org/"), EWebhookUrl);
}

TEST(WebhookUrl, SendsOnlyToPublicAddresses) {
  const char* const notPublic[] = {"127.0.0.1", "10.1.2.3",   "172.16.0.1", "172.31.255.255", "192.168.1.1",
                                   "169.254.1.1", "100.64.0.1", "0.0.0.0",    "255.255.255.255", "224.0.0.1",
                                   "192.0.0.8",  "::1",        "::",          "fe80::1",        "fd00::1",
                                   "fc00::1",    "::ffff:10.0.0.1", "::ffff:127.0.0.1", "64:ff9b::a00:1", "2002:a00:1::",
                                   "ff02::1"};
  const char* const public_[] = {"192.0.2.1", "8.8.8.8", "172.32.0.1", "100.128.0.1", "2001:db8::1", "2a00:1450::1",
                                 "::ffff:8.8.8.8"};
  for (const char* a : notPublic) EXPECT_FALSE(PublicAddress(boost::asio::ip::make_address(a))) << a;
  for (const char* a : public_) EXPECT_TRUE(PublicAddress(boost::asio::ip::make_address(a))) << a;
}

TEST(WebhookEvent, SignsWithHmacSha256AndWritesEveryFieldOfTheBody) {
  // RFC 4231, test case 2.
  EXPECT_EQ(WebhookSignature("Jefe", "what do ya want for nothing?"),
            "sha256=5bdcc146bf60754e6a042426089575c75a003f089d2739839dec58b964ec3843");
  const TWebhookEvent e = TWebhookEvent::AddressChanged("demo", "bo\"x", "192.0.2.1", "", "192.0.2.7", "192.0.2.1",
                                                        1733803506000);
  EXPECT_EQ(e.Body(),
            "{\"event\":\"address-changed\",\"account\":\"demo\",\"node\":\"bo\\u0022x\",\"addresses\":{\"ipv4\":"
            "\"192.0.2.1\",\"ipv6\":null},\"time\":\"2024-12-10T04:05:06Z\",\"title\":\"bo\\u0022x of demo: address "
            "changed\",\"message\":\"bo\\u0022x is now at 192.0.2.1 (192.0.2.1 was 192.0.2.7)\"}");
  EXPECT_EQ(NewWebhookSecret().size(), 64u);
  EXPECT_NE(NewWebhookSecret(), NewWebhookSecret());
}

TEST_F(Webhooks, AnAddressChangeArrivesSignedWithinSecondsAndAnUnchangedCheckInSendsNothing) {
  Receiver receiver;
  Start(Quick());
  SetUrl("http://127.0.0.1:" + std::to_string(receiver.Port()) + "/hook?token=a");
  ASSERT_EQ(CheckIn("box"), 200);
  const std::optional<TArrived> got = receiver.Wait(1);
  ASSERT_TRUE(got) << log;
  EXPECT_EQ(got->Target, "/hook?token=a");
  EXPECT_EQ(got->Event, "address-changed");
  EXPECT_EQ(got->Type, "application/json");
  EXPECT_EQ(got->Signature, ExpectedSignature(kSecret, got->Body));
  EXPECT_EQ(got->Body.find("{\"event\":\"address-changed\",\"account\":\"demo\",\"node\":\"box\",\"addresses\":{"
                           "\"ipv4\":\"127.0.0.1\",\"ipv6\":null},\"time\":\""),
            0u)
      << got->Body;
  ASSERT_EQ(CheckIn("box"), 200);
  ASSERT_EQ(CheckIn("other"), 200);
  ASSERT_TRUE(receiver.Wait(2));
  EXPECT_NE(receiver.Wait(2)->Body.find("\"node\":\"other\""), std::string::npos);
  EXPECT_EQ(receiver.Count(), 2u) << "the unchanged check-in of box was no event";
}

TEST_F(Webhooks, AReceiverThatWasDownGetsTheEventOnARetryAndTheLogSaysSoOnce) {
  const int receiverPort = testpeer::FreePort();
  Start(Quick());
  SetUrl("http://127.0.0.1:" + std::to_string(receiverPort) + "/");
  ASSERT_EQ(CheckIn("box"), 200);
  ASSERT_TRUE(Logged("event=webhook account=demo state=failing reason=connecting%20to%20127.0.0.1")) << log;
  EXPECT_NE(Hook().FailingSince, 0);
  Receiver receiver(receiverPort);
  ASSERT_GT(receiver.Port(), 0);
  const std::optional<TArrived> got = receiver.Wait(1);
  ASSERT_TRUE(got) << log;
  EXPECT_EQ(got->Signature, ExpectedSignature(kSecret, got->Body));
  EXPECT_TRUE(Logged("event=webhook account=demo state=delivering")) << log;
  EXPECT_EQ(Hook().FailingSince, 0);
  std::lock_guard<std::mutex> hold(logLock);
  EXPECT_EQ(log.find("demo failing"), log.rfind("demo failing")) << "one line, not one per retry";
}

TEST_F(Webhooks, PrivateAndLoopbackReceiversAreRefusedWithoutTheOptionHoweverTheyAreNamed) {
  Receiver receiver;
  Start(Quick(false));
  const std::string port = std::to_string(receiver.Port());
  const std::string urls[] = {"http://127.0.0.1:" + port + "/", "http://localhost:" + port + "/",
                              "http://[::ffff:127.0.0.1]:" + port + "/"};
  for (std::size_t i = 0; i < std::size(urls); ++i) {
    SetUrl(urls[i]);
    ASSERT_EQ(CheckIn("node" + std::to_string(i)), 200);
    ASSERT_TRUE(Eventually([&] { return Hook().LastError.find("not sent to") != std::string::npos; })) << urls[i];
    EXPECT_NE(Hook().LastError.find("loopback, private or link-local"), std::string::npos) << Hook().LastError;
  }
  EXPECT_EQ(receiver.Count(), 0u);
}

TEST_F(Webhooks, AWebhookFailingLongerThanThePauseIsPausedShownSoAndResumedBySettingItAgain) {
  TWebhookOptions options = Quick();
  options.PauseAfter = 500ms;
  Start(options);
  SetUrl("http://127.0.0.1:" + std::to_string(testpeer::FreePort()) + "/");
  ASSERT_EQ(CheckIn("box"), 200);
  ASSERT_TRUE(Eventually([&] { return Hook().Paused; })) << log;
  EXPECT_TRUE(Logged("event=webhook account=demo state=paused"));
  const std::string page = WebhookSection(Hook(), 0);
  EXPECT_NE(page.find("paused"), std::string::npos);
  EXPECT_NE(page.find(kSecret), std::string::npos);
  const std::size_t taken = service->Webhooks()->ChangesTaken();
  ASSERT_EQ(CheckIn("other"), 200);
  ASSERT_TRUE(Eventually([&] { return service->Webhooks()->ChangesTaken() > taken; }));
  EXPECT_FALSE(store->NextDelivery()) << "nothing is queued or sent while paused";
  Receiver receiver;
  SetUrl("http://127.0.0.1:" + std::to_string(receiver.Port()) + "/");
  EXPECT_FALSE(Hook().Paused);
  ASSERT_EQ(CheckIn("third"), 200);
  ASSERT_TRUE(receiver.Wait(1));
  EXPECT_NE(receiver.Wait(1)->Body.find("\"node\":\"third\""), std::string::npos);
}

TEST_F(Webhooks, ANodeThatStopsCheckingInIsToldStaleOnce) {
  Receiver receiver;
  TServiceRules rules;
  rules.StaleAfter = 1000;
  Start(Quick(), rules);
  SetUrl("http://127.0.0.1:" + std::to_string(receiver.Port()) + "/");
  ASSERT_EQ(CheckIn("box"), 200);
  const std::optional<TArrived> stale = receiver.Wait(2, 10000ms);
  ASSERT_TRUE(stale) << log;
  EXPECT_EQ(stale->Event, "node-stale");
  EXPECT_NE(stale->Body.find("has not checked in since"), std::string::npos);
  EXPECT_FALSE(receiver.Wait(3, 2500ms)) << "told once per silence";
}

TEST_F(Webhooks, TheSignedInOwnerSetsAndRemovesTheWebhookOnThePageWithItsFormToken) {
  Start(Quick());
  httplib::Client client("127.0.0.1", port);
  auto cookieValue = [](const httplib::Result& res) {
    const std::string cookie = res->get_header_value("Set-Cookie");
    return cookie.substr(cookie.find('=') + 1, cookie.find(';') - cookie.find('=') - 1);
  };
  const std::string form = cookieValue(client.Get("/nodes"));
  auto signedIn = client.Post("/signin", {{"Cookie", "pinmark_form=" + form}}, "name=demo&password=demo&form=" + form,
                              "application/x-www-form-urlencoded");
  ASSERT_EQ(signedIn->status, 303);
  const httplib::Headers session{{"Cookie", std::string(TCheckInService::SessionCookie) + "=" +
                                                cookieValue(signedIn) + "; pinmark_form=" + form}};
  const std::string before = client.Get("/nodes", session)->body;
  EXPECT_NE(before.find("action=\"/webhook\""), std::string::npos);
  EXPECT_EQ(before.find("Secret"), std::string::npos) << "no secret before the first URL";
  struct Case {
    std::string body;
    int status;
    const char* url;  // the account's URL afterwards
  };
  const Case cases[] = {
      {"url=ftp%3A%2F%2Fexample.org%2F&form=" + form, 400, ""},
      {"url=https%3A%2F%2Fntfy.sh%2Ft%3Ftpl%3Dyes&form=" + form, 303, "https://ntfy.sh/t?tpl=yes"},
      {"url=https%3A%2F%2Fexample.org%2F&form=" + std::string(64, 'a'), 403, "https://ntfy.sh/t?tpl=yes"},
      {"url=&form=" + form, 303, ""},
  };
  std::string secret;
  for (const Case& c : cases) {
    auto res = client.Post("/webhook", session, c.body, "application/x-www-form-urlencoded");
    ASSERT_TRUE(res);
    EXPECT_EQ(res->status, c.status) << c.body;
    EXPECT_EQ(Hook().Url, c.url) << c.body;
    if (secret.empty()) secret = Hook().Secret;
    EXPECT_EQ(Hook().Secret, secret) << "drawn once, then kept";
  }
  EXPECT_EQ(secret.size(), 64u);
  EXPECT_NE(client.Get("/nodes", session)->body.find(secret), std::string::npos);
  EXPECT_EQ(client.Post("/webhook", "url=&form=" + form, "application/x-www-form-urlencoded")->status, 403)
      << "not signed in";
}

// The latency from the check-in's answer to the receiver's arrival, median
// of 20, and from the check-in's request: the delivery starts once the
// check-in is stored, so it may arrive before the answer does.
TEST_F(Webhooks, DeliveryLatencyIsMeasured) {
  Receiver receiver;
  Start(Quick());
  SetUrl("http://127.0.0.1:" + std::to_string(receiver.Port()) + "/");
  std::vector<double> fromAnswer, fromRequest;
  for (std::size_t i = 1; i <= 20; ++i) {
    const auto asked = std::chrono::steady_clock::now();
    ASSERT_EQ(CheckIn("node" + std::to_string(i)), 200);
    const auto answered = std::chrono::steady_clock::now();
    const std::optional<TArrived> got = receiver.Wait(i);
    ASSERT_TRUE(got);
    fromAnswer.push_back(std::chrono::duration<double, std::milli>(got->At - answered).count());
    fromRequest.push_back(std::chrono::duration<double, std::milli>(got->At - asked).count());
  }
  std::sort(fromAnswer.begin(), fromAnswer.end());
  std::sort(fromRequest.begin(), fromRequest.end());
  std::printf("webhook delivery latency, median of 20: %.2f ms after the check-in's answer (%.2f to %.2f), "
              "%.2f ms after its request (%.2f to %.2f)\n",
              (fromAnswer[9] + fromAnswer[10]) / 2, fromAnswer[0], fromAnswer[19], (fromRequest[9] + fromRequest[10]) / 2,
              fromRequest[0], fromRequest[19]);
}

// Receivers that answer garbage, without end or never: each costs at most
// the time limits and reads no more than the answer's head limit.
TEST(WebhookSender, BadReceiversCostBoundedTimeAndMemory) {
  struct Case {
    const char* name;
    std::string answer;  // sent once the request came; repeated forever with endless
    bool endless;
    const char* error;  // "" for delivered
  };
  const Case cases[] = {
      {"silent", "", false, "no answer within 1 s"},
      {"garbage", "HELLO THERE\r\n\r\n", false, "reading the answer"},
      {"endless head", "HTTP/1.1 200 OK\r\nX-A: ", true, "reading the answer"},
      {"endless body", "HTTP/1.1 200 OK\r\nContent-Length: 999999999999\r\n\r\n", true, ""},
      {"refusal", "HTTP/1.1 403 Forbidden\r\nContent-Length: 0\r\n\r\n", false, "answered 403"},
      {"redirect", "HTTP/1.1 302 Found\r\nLocation: http://10.0.0.1/\r\n\r\n", false, "redirects are not followed"},
  };
  TMemoryStore store;
  TWebhookSender sender(store, Quick(), {}, [] { return TServiceTime(0); });
  for (const Case& c : cases) {
    int port = 0;
    const int listener = testpeer::ListenLoopback(1, &port);
    std::atomic<bool> done{false};
    std::thread peer([&] {
      const int fd = ::accept(listener, nullptr, nullptr);
      char buffer[4096];
      (void)::recv(fd, buffer, sizeof buffer, 0);
      std::string filler = c.endless ? std::string(65536, 'a') : "";
      if (!c.answer.empty()) testpeer::SendAll(fd, c.answer);
      while (c.endless && !done && ::send(fd, filler.data(), filler.size(), MSG_NOSIGNAL) > 0) {
      }
      pollfd p{fd, POLLIN, 0};
      while (!done) ::poll(&p, 1, 50);
      ::close(fd);
    });
    TDeliveryRecord d;
    d.Webhook.Url = "http://127.0.0.1:" + std::to_string(port) + "/";
    d.Webhook.Secret = kSecret;
    d.Body = "{}";
    const auto start = std::chrono::steady_clock::now();
    const std::string error = SendError(sender, d);
    const auto took = std::chrono::steady_clock::now() - start;
    done = true;
    peer.join();
    ::close(listener);
    if (*c.error == 0)
      EXPECT_EQ(error, "") << c.name;
    else
      EXPECT_NE(error.find(c.error), std::string::npos) << c.name << ": " << error;
    EXPECT_LT(took, 10s) << c.name;
  }
}

// HTTPS: the receiver's certificate is checked against the system's
// authorities (SSL_CERT_FILE stands in for them here) and its name.
TEST(WebhookSender, DeliversOverHttpsOnlyToACertificateTrustedForTheName) {
  TlsTestAuthority authority;
  const TlsTestAuthority::Issued issued = authority.Localhost();
  httplib::SSLServer server(issued.certFile.c_str(), issued.keyFile.c_str());
  std::atomic<int> got{0};
  server.Post("/hook", [&](const httplib::Request&, httplib::Response& res) { ++got, res.status = 200; });
  const int port = server.bind_to_any_port("127.0.0.1");
  std::thread thread([&] { server.listen_after_bind(); });
  TMemoryStore store;
  TWebhookSender sender(store, Quick(), {}, [] { return TServiceTime(0); });
  TDeliveryRecord d;
  d.Webhook.Secret = kSecret;
  d.Body = "{}";
  d.Webhook.Url = "https://localhost:" + std::to_string(port) + "/hook";
  ::unsetenv("SSL_CERT_FILE");
  EXPECT_NE(SendError(sender, d).find("TLS handshake"), std::string::npos) << "an authority the system does not trust";
  ::setenv("SSL_CERT_FILE", authority.CertFile().c_str(), 1);
  EXPECT_EQ(SendError(sender, d), "");
  const TlsTestAuthority::Issued other = authority.Issue("elsewhere", "DNS:elsewhere.example");
  httplib::SSLServer wrongName(other.certFile.c_str(), other.keyFile.c_str());
  const int wrongPort = wrongName.bind_to_any_port("127.0.0.1");
  std::thread wrongThread([&] { wrongName.listen_after_bind(); });
  d.Webhook.Url = "https://localhost:" + std::to_string(wrongPort) + "/hook";
  EXPECT_NE(SendError(sender, d).find("TLS handshake"), std::string::npos) << "a certificate for another name";
  ::unsetenv("SSL_CERT_FILE");
  server.stop();
  wrongName.stop();
  thread.join();
  wrongThread.join();
  EXPECT_EQ(got, 1);
}

// The DNS queue tells when a name starts failing and when it is sent again, once each.
TEST(WebhookEvent, TheDnsQueueTellsFailingAndRecoveringOnce) {
  TMemoryDnsQueueStore queueStore;
  TDnsQueue queue(queueStore, {}, [](TLogPriority, const std::string&) {});
  std::vector<std::string> told;
  queue.OnFailingChanged = [&](const std::string& name, TDnsRecordType type, bool failing, const std::string& reason) {
    told.push_back(name + " " + DnsRecordTypeName(type) + (failing ? " failing: " + reason : " recovered"));
  };
  const TServiceTime t = 0;
  queue.Enqueue("box.demo.zone.", "192.0.2.1", t);
  TServiceTime now = t;
  for (const TDnsOutcome::TKind kind : {TDnsOutcome::Failed, TDnsOutcome::Failed, TDnsOutcome::Done}) {
    now += 60 * 60 * 1000;
    const std::optional<TDnsJob> job = queue.TakeDue(now);
    ASSERT_TRUE(job);
    TDnsOutcome outcome;
    outcome.Kind = kind;
    outcome.Reason = "REFUSED";
    queue.Finish(*job, outcome, now);
  }
  EXPECT_EQ(told, (std::vector<std::string>{"box.demo.zone. A failing: REFUSED", "box.demo.zone. A recovered"}));
  const TWebhookEvent e = TWebhookEvent::DnsChanged("demo", TNodeRecord{}, "box.demo.zone A", true, "REFUSED", 0);
  EXPECT_EQ(e.Event, "dns-failing");
  EXPECT_EQ(e.Message, "The update of box.demo.zone A fails: REFUSED");
}

// The program as it is run: "account set" and "account show" on its
// database, then the service delivering to a receiver on loopback with
// --webhook-allow-private, and refusing it without.
TEST(WebhookProcess, AccountSetShowAndTheServiceDeliverOrRefuseAsTheOptionSays) {
  using namespace servicetest;
  Database db("demo", "demo");
  Receiver receiver;
  const std::string url = "http://127.0.0.1:" + std::to_string(receiver.Port()) + "/hook";
  EXPECT_EQ(RunService({"account", "set", "demo", "--webhook", "gopher://x", "--db", db.file}).code, 1);
  EXPECT_EQ(RunService({"account", "set", "demo", "--db", db.file}).code, 2) << "set without --webhook";
  const RunResult set = RunService({"account", "set", "demo", "--webhook", url, "--db", db.file});
  ASSERT_EQ(set.code, 0) << set.err;
  EXPECT_NE(set.err.find("--webhook-allow-private"), std::string::npos) << "a loopback URL is worth a note";
  const std::size_t at = set.out.find("secret ");
  ASSERT_NE(at, std::string::npos) << set.out;
  const std::string secret = set.out.substr(at + 7, 64);
  const RunResult shown = RunService({"account", "show", "demo", "--db", db.file});
  EXPECT_NE(shown.out.find("webhook " + url + "\nwebhook state delivering\nsecret " + secret), std::string::npos)
      << shown.out;
  {
    ServiceProcess service({"--db", db.file, "--webhook-allow-private"});
    ASSERT_GT(service.Port(), 0) << service.Log();
    ASSERT_EQ(CheckIn(service.Port(), "demo", Md5("demo"), "box").status, 200);
    const std::optional<TArrived> got = receiver.Wait(1);
    ASSERT_TRUE(got) << service.Log();
    EXPECT_EQ(got->Signature, ExpectedSignature(secret, got->Body));
    EXPECT_NE(got->Body.find("\"node\":\"box\""), std::string::npos);
  }
  ServiceProcess refusing({"--db", db.file});
  ASSERT_GT(refusing.Port(), 0) << refusing.Log();
  ASSERT_EQ(CheckIn(refusing.Port(), "demo", Md5("demo"), "other").status, 200);
  EXPECT_TRUE(refusing.WaitForLog("which%20webhooks%20are%20not%20sent%20to")) << refusing.Log();
  EXPECT_EQ(receiver.Count(), 1u);
  EXPECT_NE(RunService({"account", "show", "demo", "--db", db.file}).out.find("webhook state failing since"),
            std::string::npos);
  const RunResult removed = RunService({"account", "set", "demo", "--no-webhook", "--db", db.file});
  EXPECT_EQ(removed.code, 0);
  EXPECT_NE(RunService({"account", "show", "demo", "--db", db.file}).out.find("webhook none\nsecret " + secret),
            std::string::npos);
}
