// The exchange over TLS: against a real HTTPS server library, against TLS
// peers that stop in the middle of an answer, against a plain server on the
// https port, across an http to https redirect, and through SOCKS 4, 4A and 5.
#include <gtest/gtest.h>
#include <httplib.h>
#include <poll.h>

#include <atomic>
#include <mutex>
#include <set>
#include <thread>

#include "http/exchange/IdHTTP.h"
#include "http/tls/IdTlsIOHandler.h"
#include "http/transport/IdSocksInfo.h"
#include "tests/support/HttpTestContent.h"
#include "tests/support/HttpTestPeer.h"
#include "tests/support/MicroSocks.h"
#include "tests/support/TlsTestAuthority.h"
#include "tests/support/TlsTestPeer.h"

namespace {

using testpeer::RecvExactly;
using testpeer::ScriptedPeer;
using testpeer::SendAll;

// A client with a TLS handler that trusts the test authority; reads are bounded.
struct TlsHttp {
  TlsHttp() {
    auto owned = std::make_unique<TIdTlsIOHandler>();
    handler = owned.get();
    handler->CACertFile = SharedTestAuthority().CertFile();
    http.SetIOHandler(std::move(owned));
    http.SetReadTimeout(5000);
  }
  std::string Get(const std::string& url) {
    TStringStream out;
    http.Get(url, out);
    return out.DataString();
  }
  TIdHTTP http;
  TIdTlsIOHandler* handler;
};

template <class Fn>
std::string FailureClass(Fn&& fn) {
  try {
    fn();
  } catch (const Exception& e) {
    return e.ClassName();
  }
  return "";
}

// A real HTTPS server on 127.0.0.1 with a certificate for localhost.
class HttpsServer : public ::testing::Test {
 protected:
  void SetUp() override {
    server = std::make_unique<httplib::SSLServer>(SharedLocalhostCert().certFile.c_str(),
                                                  SharedLocalhostCert().keyFile.c_str());
    ASSERT_TRUE(server->is_valid());
    server->Get("/plain",
                [](const httplib::Request&, httplib::Response& res) { res.set_content("plain body", "text/plain"); });
    server->Post("/echo", [](const httplib::Request& req, httplib::Response& res) {
      res.set_content(
          req.method + " " + req.get_param_value("a") + " [" + req.body + "] " + req.get_header_value("Host"),
          "text/plain");
    });
    server->Get("/chunked", [](const httplib::Request&, httplib::Response& res) {
      res.set_chunked_content_provider("text/plain", LetterChunks(100000, 1000));
    });
    server->Get("/big", [](const httplib::Request&, httplib::Response& res) {
      res.set_content(Big(), "application/octet-stream");
    });
    server->Get("/who", [this](const httplib::Request& req, httplib::Response& res) {
      std::lock_guard<std::mutex> g(lock);
      ports.insert(req.remote_port);
      res.set_content("you", "text/plain");
    });
    port = server->bind_to_any_port("127.0.0.1");
    thread = std::thread([this] { server->listen_after_bind(); });
    while (!server->is_running()) std::this_thread::yield();
  }
  void TearDown() override {
    server->stop();
    thread.join();
  }
  std::string Url(const std::string& path, const std::string& host = "localhost") {
    return "https://" + host + ":" + std::to_string(port) + path;
  }
  static const std::string& Big() {
    static const std::string big = [] {
      std::string s(4 << 20, '\0');
      for (std::size_t i = 0; i < s.size(); ++i) s[i] = static_cast<char>(i * 7 + i / 4096);
      return s;
    }();
    return big;
  }

  std::unique_ptr<httplib::SSLServer> server;
  std::thread thread;
  int port = 0;
  std::mutex lock;
  std::set<int> ports;
};

// Reads one SOCKS 4 or 4A request, connects to targetPort on loopback, says
// yes and relays both ways until either side closes. What the client asked
// for goes to `asked` ("127.0.0.1:443" or "localhost:443").
void Socks4Relay(int fd, int targetPort, std::string& asked) {
  const std::string head = RecvExactly(fd, 8, 2000);
  auto readText = [&] {
    std::string text;
    for (std::string c = RecvExactly(fd, 1, 2000); !c.empty() && c[0] != '\0'; c = RecvExactly(fd, 1, 2000)) text += c;
    return text;
  };
  readText();  // the user id
  const int port = (uint8_t(head[2]) << 8) | uint8_t(head[3]);
  const bool named = head[4] == 0 && head[5] == 0 && head[6] == 0 && head[7] != 0;
  asked = (named ? readText()
                 : std::to_string(uint8_t(head[4])) + "." + std::to_string(uint8_t(head[5])) + "." +
                       std::to_string(uint8_t(head[6])) + "." + std::to_string(uint8_t(head[7]))) +
          ":" + std::to_string(port);
  int target = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_port = htons(static_cast<uint16_t>(targetPort));
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  if (::connect(target, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) {
    ::close(target);
    return;
  }
  SendAll(fd, std::string("\x00\x5a\x00\x00\x00\x00\x00\x00", 8));
  pollfd both[2] = {{fd, POLLIN, 0}, {target, POLLIN, 0}};
  char buf[16384];
  for (bool open = true; open && ::poll(both, 2, 5000) > 0;) {
    for (int i = 0; i < 2; ++i) {
      if (!both[i].revents) continue;
      ssize_t n = ::recv(both[i].fd, buf, sizeof buf, 0);
      if (n <= 0)
        open = false;
      else
        SendAll(both[1 - i].fd, std::string(buf, static_cast<std::size_t>(n)));
    }
  }
  ::close(target);
}

}  // namespace

TEST_F(HttpsServer, TheProgramsPostAGetAChunkedAndALargeBodyComeBackWhole) {
  TlsHttp poster;
  EXPECT_EQ(poster.http.PostFormText(Url("/echo?a=1"), nullptr), "POST 1 [] localhost:" + std::to_string(port));
  EXPECT_EQ(poster.http.Request().ConnectionKind, ckTls);
  TlsHttp getter;
  EXPECT_EQ(getter.Get(Url("/plain", "127.0.0.1")), "plain body");
  const std::string chunked = getter.Get(Url("/chunked"));
  ASSERT_EQ(chunked.size(), 100000u);
  EXPECT_EQ(chunked.substr(99997), "vvv");
  EXPECT_TRUE(getter.Get(Url("/big")) == Big()) << "4 MiB by Content-Length, byte for byte";
}

TEST_F(HttpsServer, KeepAliveReusesOneTlsConnection) {
  TlsHttp client;
  EXPECT_EQ(client.Get(Url("/who")), "you");
  EXPECT_TRUE(client.http.Response().KeepConnection);
  EXPECT_EQ(client.Get(Url("/who")), "you");
  std::lock_guard<std::mutex> g(lock);
  EXPECT_EQ(ports.size(), 1u);
}

TEST_F(HttpsServer, HttpsThroughSocks4And4AAnd5ReachesTheServer) {
  // Fetches /plain through the proxy of that version on that port.
  auto through = [&](TSocksVersion version, int proxyPort) {
    TIdSocksInfo socks;
    socks.Version = version;
    socks.Host = "127.0.0.1";
    socks.Port = proxyPort;
    TlsHttp client;
    client.handler->SetTransparentProxy(&socks);
    const std::string body = client.Get(Url("/plain"));
    client.http.CloseConnection();
    return body;
  };
  {
    MicroSocks socks5;
    if (!socks5.Running()) GTEST_SKIP() << "microsocks is not installed (apt-get install microsocks)";
    EXPECT_EQ(through(svSocks5, socks5.Port()), "plain body") << "SOCKS 5, the proxy resolving localhost";
  }
  for (TSocksVersion version : {svSocks4, svSocks4A}) {
    std::string asked;
    ScriptedPeer relay([&](int fd) { Socks4Relay(fd, port, asked); });
    EXPECT_EQ(through(version, relay.Port()), "plain body");
    relay.Join();
    EXPECT_EQ(asked, (version == svSocks4 ? "127.0.0.1:" : "localhost:") + std::to_string(port));
  }
}

TEST(HttpsExchange, AServerStoppingMidBodyIsAnErrorAndNoBodyComesBack) {
  const struct {
    const char* what;
    std::string answer;
    bool closeNotify;
    const char* expected;  // class, or "" when the body is whole
  } cases[] = {
      {"by length, cut", "HTTP/1.1 200 OK\r\nContent-Length: 1000\r\n\r\n" + std::string(100, 'x'), false,
       "EIdTlsTruncated"},
      {"chunked, cut inside a chunk",
       "HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n3e8\r\n" + std::string(100, 'x'), false,
       "EIdTlsTruncated"},
      {"until close, cut", "HTTP/1.0 200 OK\r\n\r\n" + std::string(100, 'x'), false, "EIdTlsTruncated"},
      {"until close, with close_notify", "HTTP/1.0 200 OK\r\n\r\n" + std::string(100, 'x'), true, ""},
      {"by length, closed cleanly too early", "HTTP/1.1 200 OK\r\nContent-Length: 1000\r\n\r\n" + std::string(100, 'x'),
       true, "EIdHTTPMalformedResponse"},
      {"the head, cut", "HTTP/1.1 200 OK\r\nContent-Le", false, "EIdTlsTruncated"},
  };
  for (const auto& c : cases) {
    auto context = tlspeer::ServerContext(SharedLocalhostCert());
    tlspeer::TlsScriptedPeer peer(context.get(), [&](SSL* ssl, int) {
      tlspeer::ReadHead(ssl);
      tlspeer::WriteAll(ssl, c.answer);
      if (c.closeNotify) SSL_shutdown(ssl);
    });
    TlsHttp client;
    std::string body = "<none>";
    const std::string failure = FailureClass(
        [&] { body = client.http.PostFormText("https://localhost:" + std::to_string(peer.Port()) + "/x", nullptr); });
    EXPECT_EQ(failure, c.expected) << c.what;
    EXPECT_EQ(body, *c.expected ? "<none>" : std::string(100, 'x')) << c.what;
  }
}

TEST(HttpsExchange, APlainServerOnTheHttpsPortFailsTheHandshakeAndGetsNoRequest) {
  httplib::Server plain;
  std::atomic<int> requests{0};
  plain.set_pre_routing_handler([&](const httplib::Request&, httplib::Response&) {
    ++requests;
    return httplib::Server::HandlerResponse::Unhandled;
  });
  const int port = plain.bind_to_any_port("127.0.0.1");
  std::thread thread([&] { plain.listen_after_bind(); });
  while (!plain.is_running()) std::this_thread::yield();
  TlsHttp client;
  try {
    client.http.PostFormText("https://localhost:" + std::to_string(port) + "/x?secret=1", nullptr);
    ADD_FAILURE() << "a plain server was taken for a TLS one";
  } catch (const EIdTlsHandshakeFailed& e) {
    EXPECT_EQ(e.Message(), "TLS handshake failed: wrong version number");
  }
  plain.stop();
  thread.join();
  EXPECT_EQ(requests, 0) << "nothing of the request went out in clear text";
}

TEST_F(HttpsServer, HttpTargetsPassThroughAndARedirectToHttpsIsFollowed) {
  // The plain peer keeps its connection, as the client's HTTP/1.1 expects: one
  // that closed right after its answer could be reused before its close arrives.
  HttpTestPeer plain([&](const std::string& request, int) {
    if (request.rfind("GET /hello", 0) == 0)
      return HttpTestPeer::Reply{"HTTP/1.1 200 OK\r\nContent-Length: 5\r\n\r\nhello", false};
    return HttpTestPeer::Reply{"HTTP/1.1 302 Found\r\nLocation: " + Url("/plain") + "\r\nContent-Length: 0\r\n\r\n",
                               false};
  });
  TlsHttp client;
  client.http.HandleRedirects = true;
  EXPECT_EQ(client.Get(plain.Url("/hello")), "hello");
  EXPECT_FALSE(client.handler->TlsActive());
  EXPECT_EQ(client.Get(plain.Url("/moved")), "plain body");
  EXPECT_EQ(client.http.Request().ConnectionKind, ckTls);
}
