// The exchange against a real HTTP server library on loopback.
#include <gtest/gtest.h>
#include <httplib.h>

#include <optional>
#include <set>
#include <thread>

#include "http/exchange/IdHTTP.h"
#include "http/protocol/IdCookieManager.h"
#include "http/transport/IdSocksInfo.h"
#include "tests/support/HttpTestContent.h"
#include "tests/support/MicroSocks.h"
#include "tests/support/NginxServer.h"

namespace {
class RealServer : public ::testing::Test {
 protected:
  void SetUp() override {
    server.Get("/plain", [](const httplib::Request&, httplib::Response& res) { res.set_content("plain body", "text/plain"); });
    server.Post("/echo", [](const httplib::Request& req, httplib::Response& res) {
      res.set_content(req.method + " " + req.get_param_value("a") + " [" + req.body + "]", "text/plain");
    });
    server.Get("/chunked", [](const httplib::Request&, httplib::Response& res) {
      res.set_chunked_content_provider("text/plain", LetterChunks(100000, 1000));
    });
    server.Get("/who", [this](const httplib::Request& req, httplib::Response& res) {
      std::lock_guard<std::mutex> g(lock);
      ports.insert(req.remote_port);
      res.set_content("you", "text/plain");
    });
    server.Get("/cookie", [](const httplib::Request&, httplib::Response& res) {
      res.set_header("Set-Cookie", "session=abc123; Path=/");
      res.set_content("set", "text/plain");
    });
    port = server.bind_to_any_port("127.0.0.1");
    thread = std::thread([this] { server.listen_after_bind(); });
    while (!server.is_running()) std::this_thread::yield();
  }
  void TearDown() override {
    server.stop();
    thread.join();
  }
  std::string Url(const std::string& path) { return "http://127.0.0.1:" + std::to_string(port) + path; }

  httplib::Server server;
  std::thread thread;
  int port = 0;
  std::mutex lock;
  std::set<int> ports;
};
}  // namespace

TEST_F(RealServer, OrdinaryAnswerAndProgramPost) {
  TIdHTTP http;
  TStringStream out;
  http.Get(Url("/plain"), out);
  EXPECT_EQ(out.DataString(), "plain body");
  EXPECT_EQ(http.Response().StatusCode(), 200);
  EXPECT_EQ(http.Response().ContentType, "text/plain");

  TIdHTTP poster;
  EXPECT_EQ(poster.PostFormText(Url("/echo?a=1"), nullptr), "POST 1 []");
  TStringList fields;
  fields.Add("k=v w");
  TIdHTTP poster2;
  EXPECT_EQ(poster2.PostFormText(Url("/echo?a=2"), &fields), "POST 2 [k=v%20w]");
}

TEST_F(RealServer, ChunkedStreamedBody) {
  TIdHTTP http;
  TStringStream out;
  http.Get(Url("/chunked"), out);
  ASSERT_EQ(out.DataString().size(), 100000u);
  EXPECT_EQ(out.DataString().substr(0, 3), "aaa");
  EXPECT_EQ(out.DataString().substr(99997), "vvv");
}

TEST_F(RealServer, KeepAliveReusesOneConnectionForTwoGets) {
  TIdHTTP http;
  TStringStream a, b;
  http.Get(Url("/who"), a);
  EXPECT_TRUE(http.Response().KeepConnection);
  http.Get(Url("/who"), b);
  EXPECT_EQ(b.DataString(), "you");
  std::lock_guard<std::mutex> g(lock);
  EXPECT_EQ(ports.size(), 1u) << "both requests came from one client port";
}

TEST_F(RealServer, CookieIsStoredAndSentBack) {
  TIdHTTP http;
  TStringStream a;
  http.Get(Url("/cookie"), a);
  ASSERT_NE(http.CookieManager(), nullptr);
  TIdURI uri(Url("/"));
  EXPECT_EQ(http.CookieManager()->CookieHeaderFor(uri, false), "session=abc123");
}

// nginx refuses a Host line that is not a valid authority with 400: an IPv6
// literal must be written in brackets, directly and through a SOCKS 5 proxy
// (which is handed the target as an IPv6 address).
TEST(RealNginx, AnIPv6TargetIsWrittenInBracketsDirectlyAndThroughSocks5) {
  if (!NginxServer::HasIPv6Loopback()) GTEST_SKIP() << "this machine has no IPv6 loopback address (::1)";
  NginxServer nginx(true, "location / { return 200 \"host=$http_host\"; }");
  ASSERT_TRUE(nginx.Running()) << nginx.Problem();
  const std::string expected = "host=[::1]:" + std::to_string(nginx.Port());

  TIdHTTP direct;
  TStringStream body;
  direct.Get(nginx.Url("/x"), body);
  EXPECT_EQ(body.DataString(), expected);
  EXPECT_EQ(direct.PostFormText(nginx.Url("/x"), nullptr), expected) << "the program's POST";

  MicroSocks socks;
  ASSERT_TRUE(socks.Running());
  TIdSocksInfo proxy;
  proxy.Host = "127.0.0.1";
  proxy.Port = socks.Port();
  proxy.Version = svSocks5;
  auto handler = std::make_unique<TIdIOHandlerStack>();
  handler->SetTransparentProxy(&proxy);
  TIdHTTP through;
  through.SetIOHandler(std::move(handler));
  through.SetReadTimeout(5000);
  EXPECT_EQ(through.PostFormText(nginx.Url("/x"), nullptr), expected);
}

// A client held to one family connects only over it: a name is looked up in
// that family alone, a literal of the other one (also a redirect's) is
// refused before anything is sent, and without the hold a name is IPv4.
TEST(RealServerOnBothLoopbacks, RequiredIPVersionHoldsEveryConnectionToOneFamily) {
  httplib::Server v4, v6;
  const auto who = [](const httplib::Request& req, httplib::Response& res) {
    res.set_content(req.remote_addr, "text/plain");
  };
  v4.Get("/who", who);
  v6.Get("/who", who);
  const int port4 = v4.bind_to_any_port("127.0.0.1");
  const int port6 = v6.bind_to_any_port("::1");
  if (port6 <= 0) GTEST_SKIP() << "this machine has no IPv6 loopback address (::1)";
  v6.Get("/away", [port4](const httplib::Request&, httplib::Response& res) {
    res.set_redirect("http://127.0.0.1:" + std::to_string(port4) + "/who");
  });
  std::thread t4([&] { v4.listen_after_bind(); }), t6([&] { v6.listen_after_bind(); });
  while (!v4.is_running() || !v6.is_running()) std::this_thread::yield();
  const std::string at4 = "127.0.0.1:" + std::to_string(port4), at6 = "[::1]:" + std::to_string(port6);

  struct Case {
    std::optional<TIdIPVersion> family;
    std::string url, answer, error;
  } const cases[] = {
      {std::nullopt, "http://localhost:" + std::to_string(port4) + "/who", "127.0.0.1", ""},
      {Id_IPv4, "http://" + at4 + "/who", "127.0.0.1", ""},
      {Id_IPv6, "http://" + at6 + "/who", "::1", ""},
      {Id_IPv6, "http://" + at4 + "/who", "", "Host 127.0.0.1 is not an IPv6 address."},
      {Id_IPv4, "http://" + at6 + "/who", "", "Host ::1 is not an IPv4 address."},
      {Id_IPv6, "http://" + at6 + "/away", "", "Host 127.0.0.1 is not an IPv6 address."},
  };
  for (const Case& c : cases) {
    TIdHTTP http;
    http.RequiredIPVersion = c.family;
    http.HandleRedirects = true;
    TStringStream body;
    try {
      http.Get(c.url, body);
      EXPECT_EQ(body.DataString(), c.answer) << c.url;
      EXPECT_EQ(c.error, "") << c.url;
    } catch (const EIdIPVersionUnsupported& e) {
      EXPECT_EQ(e.Message(), c.error) << c.url;
    }
  }
  // A name looked up over IPv6 alone never falls back to its IPv4 address.
  TIdHTTP held;
  held.RequiredIPVersion = Id_IPv6;
  TStringStream body;
  EXPECT_THROW(held.Get("http://localhost:" + std::to_string(port4) + "/who", body), EIdSocketError);
  v4.stop();
  v6.stop();
  t4.join();
  t6.join();
}
