// The TLS handler on its own under a TCP client: handshake, verification and
// its refusals, where trust comes from, how a stream may end, the time-outs,
// and peers that send anything at all during and after the handshake.
#include "http/tls/IdTlsIOHandler.h"
#include "http/transport/IdCustomTransparentProxy.h"

#include <gtest/gtest.h>
#include <openssl/pem.h>
#include <sys/socket.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <optional>
#include <random>

#include "http/transport/IdSocksInfo.h"
#include "http/transport/IdTCPClient.h"
#include "tests/support/LoopbackPeer.h"
#include "tests/support/TlsTestAuthority.h"
#include "tests/support/TlsTestPeer.h"

namespace {

using testpeer::RecvExactly;
using testpeer::ScriptedPeer;
using testpeer::SendAll;
using tlspeer::TlsScriptedPeer;

// A TCP client whose TLS handler trusts the test authority; every wait is
// bounded so that a regression fails instead of hanging.
struct TlsClient {
  explicit TlsClient(int port, const std::string& host = "localhost", int32_t readTimeout = 5000) {
    auto owned = std::make_unique<TIdTlsIOHandler>();
    handler = owned.get();
    handler->CACertFile = SharedTestAuthority().CertFile();
    client.SetIOHandler(std::move(owned));
    client.SetHost(host);
    client.SetPort(port);
    client.SetReadTimeout(readTimeout);
  }
  TIdTCPClient client;
  TIdTlsIOHandler* handler;
};

// "Class: message" of what fn raised, or "no exception".
template <class Fn>
std::string Failure(Fn&& fn) {
  try {
    fn();
  } catch (const Exception& e) {
    return std::string(e.ClassName()) + ": " + e.Message();
  }
  return "no exception";
}

std::string ClassOf(const std::string& failure) { return failure.substr(0, failure.find(':')); }

std::string ReadExactly(SSL* ssl, std::size_t count) {
  std::string out;
  char buf[4096];
  while (out.size() < count) {
    int n = SSL_read(ssl, buf, static_cast<int>(std::min(sizeof buf, count - out.size())));
    if (n <= 0) break;
    out.append(buf, static_cast<std::size_t>(n));
  }
  return out;
}

// Takes the client's first record (its hello) off the connection.
void ReadClientHello(int fd) {
  const std::string header = RecvExactly(fd, 5, 2000);
  if (header.size() == 5) RecvExactly(fd, (uint8_t(header[3]) << 8) | uint8_t(header[4]), 2000);
}

// Sets an environment variable for the life of the object.
class ScopedEnv {
 public:
  ScopedEnv(const char* name, const std::string& value) : name_(name) {
    if (const char* old = std::getenv(name)) old_ = old;
    ::setenv(name, value.c_str(), 1);
  }
  ~ScopedEnv() {
    if (old_)
      ::setenv(name_, old_->c_str(), 1);
    else
      ::unsetenv(name_);
  }

 private:
  const char* name_;
  std::optional<std::string> old_;
};

}  // namespace

TEST(TlsIOHandler, AHandshakeCarriesLinesBothWaysAndSendsSniOnlyForNames) {
  const struct {
    const char* host;
    const char* sni;
    int serverMaxVersion;
    const char* protocol;
  } cases[] = {
      {"localhost", "localhost", TLS1_3_VERSION, "TLSv1.3"},
      {"127.0.0.1", "", TLS1_3_VERSION, "TLSv1.3"},
      {"LocalHost", "LocalHost", TLS1_2_VERSION, "TLSv1.2"},
  };
  for (const auto& c : cases) {
    auto context = tlspeer::ServerContext(SharedLocalhostCert());
    SSL_CTX_set_max_proto_version(context.get(), c.serverMaxVersion);
    std::atomic<bool> clientSaidGoodbye{false};
    TlsScriptedPeer peer(context.get(), [&](SSL* ssl, int) {
      std::string line = ReadExactly(ssl, 6);
      tlspeer::WriteAll(ssl, "pong:" + line);
      clientSaidGoodbye = tlspeer::AwaitClientClose(ssl);
    });
    TlsClient c1(peer.Port(), c.host);
    c1.client.ConnectToHost();
    EXPECT_TRUE(c1.handler->TlsActive()) << c.host;
    EXPECT_EQ(c1.handler->ProtocolName(), c.protocol) << c.host;
    c1.handler->WriteLine("ping");
    EXPECT_EQ(c1.handler->ReadLine(), "pong:ping") << c.host;
    c1.client.CloseConnection();
    peer.Join();
    EXPECT_EQ(peer.ServerName(), c.sni) << c.host;
    EXPECT_TRUE(clientSaidGoodbye) << "closing says close_notify";
    EXPECT_FALSE(c1.handler->TlsActive());
  }
}

TEST(TlsIOHandler, CertificatesThatCannotBeTrustedEndTheConnectBeforeAnyData) {
  TlsTestAuthority other("Other CA");
  const struct {
    const char* what;
    TlsTestAuthority::Issued cert;
    const char* host;
    std::string expected;
  } cases[] = {
      {"expired", SharedTestAuthority().Issue("localhost", "DNS:localhost", -30, -1), "localhost",
       "EIdTlsCertificateUntrusted: The server's certificate is not trusted: certificate has expired"},
      {"not yet valid", SharedTestAuthority().Issue("localhost", "DNS:localhost", 2, 30), "localhost",
       "EIdTlsCertificateUntrusted: The server's certificate is not trusted: certificate is not yet valid"},
      {"unknown authority", other.Localhost(), "localhost",
       "EIdTlsCertificateUntrusted: The server's certificate is not trusted: unable to get local issuer certificate"},
      {"self-signed", SharedTestAuthority().SelfSigned("localhost", "DNS:localhost"), "localhost",
       "EIdTlsCertificateUntrusted: The server's certificate is not trusted: self-signed certificate"},
      {"another name", SharedTestAuthority().Issue("other.example", "DNS:other.example,IP:127.0.0.2"), "localhost",
       "EIdTlsHostNameMismatch: The server's certificate does not match the host name localhost"},
      {"a name only, asked by address", SharedTestAuthority().Issue("localhost", "DNS:localhost"), "127.0.0.1",
       "EIdTlsHostNameMismatch: The server's certificate does not match the host name 127.0.0.1"},
      {"another address", SharedTestAuthority().Issue("x", "IP:127.0.0.2"), "127.0.0.1",
       "EIdTlsHostNameMismatch: The server's certificate does not match the host name 127.0.0.1"},
  };
  for (const auto& c : cases) {
    auto context = tlspeer::ServerContext(c.cert);
    std::atomic<bool> scriptRan{false};
    TlsScriptedPeer peer(context.get(), [&](SSL*, int) { scriptRan = true; });
    TlsClient client(peer.Port(), c.host);
    EXPECT_EQ(Failure([&] { client.client.ConnectToHost(); }), c.expected) << c.what;
    EXPECT_FALSE(client.client.IsConnected()) << c.what;
    peer.Join();
    EXPECT_FALSE(scriptRan) << c.what << ": the server never got to speak";
  }
}

namespace {
// Resolves every name to the loopback peer it is given: the socket goes to
// 127.0.0.1 while the handler verifies the certificate for the name asked.
class TLoopbackResolver : public TIdCustomTransparentProxy {
 public:
  explicit TLoopbackResolver(int port) {
    Host = "127.0.0.1";
    Port = port;
  }
  bool IsActive() const override { return true; }
  void OpenThroughProxy(TIdIOHandler&, const std::string&, int32_t, TIdIPVersion) override {}
};
}  // namespace

// A wildcard covers one whole label: "*.pinmark.test" matches
// foo.pinmark.test, while a partial one such as "f*.pinmark.test" is refused
// although OpenSSL would take it by default.
TEST(TlsIOHandler, WildcardsMatchWholeLabelsOnly) {
  const struct {
    const char* san;
    const char* host;
    const char* expected;
  } cases[] = {
      {"DNS:*.pinmark.test", "foo.pinmark.test", "no exception"},
      {"DNS:f*.pinmark.test", "foo.pinmark.test",
       "EIdTlsHostNameMismatch: The server's certificate does not match the host name foo.pinmark.test"},
      {"DNS:*o.pinmark.test", "foo.pinmark.test",
       "EIdTlsHostNameMismatch: The server's certificate does not match the host name foo.pinmark.test"},
      {"DNS:*.pinmark.test", "a.foo.pinmark.test",
       "EIdTlsHostNameMismatch: The server's certificate does not match the host name a.foo.pinmark.test"},
  };
  for (const auto& c : cases) {
    auto context = tlspeer::ServerContext(SharedTestAuthority().Issue("x", c.san));
    TlsScriptedPeer peer(context.get(), [](SSL*, int) {});
    TLoopbackResolver resolver(peer.Port());
    TlsClient client(peer.Port(), c.host);
    client.handler->SetTransparentProxy(&resolver);
    EXPECT_EQ(Failure([&] { client.client.ConnectToHost(); }), c.expected) << c.san << " for " << c.host;
    client.client.CloseConnection(false);
    peer.Join();
  }
}

TEST(TlsIOHandler, TrustComesFromTheSystemStoreItsEnvironmentAndCACertFile) {
  TempDir dir;
  // A hashed folder as c_rehash makes it, holding the test authority.
  std::FILE* f = std::fopen(SharedTestAuthority().CertFile().c_str(), "r");
  ASSERT_NE(f, nullptr);
  X509* ca = PEM_read_X509(f, nullptr, nullptr, nullptr);
  std::fclose(f);
  ASSERT_NE(ca, nullptr);
  char hashed[32];
  std::snprintf(hashed, sizeof hashed, "%08lx.0",
                X509_NAME_hash_ex(X509_get_subject_name(ca), nullptr, nullptr, nullptr));
  X509_free(ca);
  std::filesystem::copy_file(SharedTestAuthority().CertFile(), dir.File(hashed));

  auto connect = [](const std::string& caFile) {
    auto context = tlspeer::ServerContext(SharedLocalhostCert());
    TlsScriptedPeer peer(context.get(), [](SSL*, int) {});
    TlsClient client(peer.Port());
    client.handler->CACertFile = caFile;
    return Failure([&] { client.client.ConnectToHost(); });
  };
  const std::string untrusted =
      "EIdTlsCertificateUntrusted: The server's certificate is not trusted: unable to get local issuer certificate";
  EXPECT_EQ(connect(""), untrusted) << "the test authority is in no system store";
  EXPECT_EQ(connect(SharedTestAuthority().CertFile()), "no exception");
  {
    ScopedEnv file("SSL_CERT_FILE", SharedTestAuthority().CertFile());
    EXPECT_EQ(connect(""), "no exception") << "SSL_CERT_FILE is read at the next connect";
  }
  EXPECT_EQ(connect(""), untrusted) << "and forgotten when it goes";
  {
    ScopedEnv dirs("SSL_CERT_DIR", "/nonexistent:" + dir.Path().string());
    EXPECT_EQ(connect(""), "no exception") << "SSL_CERT_DIR, a list like PATH";
  }
  const std::string missing = dir.File("missing.pem");
  const std::string failure = connect(missing);
  EXPECT_EQ(failure.rfind("EIdTlsSetupError: Cannot set up TLS: cannot read trust anchors from " + missing + " (", 0),
            0u)
      << failure;
  TempDir::Write(dir.File("empty.pem"), "not a certificate\n");
  EXPECT_EQ(ClassOf(connect(dir.File("empty.pem"))), "EIdTlsSetupError");
}

TEST(TlsIOHandler, APeerOfferingOnlyTls11IsRefused) {
  auto context = tlspeer::ServerContext(SharedLocalhostCert());
  SSL_CTX_set_security_level(context.get(), 0);
  SSL_CTX_set_cipher_list(context.get(), "DEFAULT:@SECLEVEL=0");
  SSL_CTX_set_min_proto_version(context.get(), TLS1_1_VERSION);
  SSL_CTX_set_max_proto_version(context.get(), TLS1_1_VERSION);
  TlsScriptedPeer peer(context.get(), [](SSL*, int) {});
  TlsClient client(peer.Port());
  EXPECT_EQ(ClassOf(Failure([&] { client.client.ConnectToHost(); })), "EIdTlsHandshakeFailed");
}

TEST(TlsIOHandler, OnlyCloseNotifyEndsAStreamGracefully) {
  const struct {
    const char* read;
    bool closeNotify;
    const char* expected;  // class, or "" for none
    std::size_t kept;
  } cases[] = {
      {"until close", true, "", 100},
      {"until close", false, "EIdTlsTruncated", 100},
      {"200 counted", true, "EIdConnClosedGracefully", 100},
      {"200 counted", false, "EIdTlsTruncated", 100},
      {"100 counted", false, "", 100},
      {"a line", true, "EIdConnClosedGracefully", 0},
      {"a line", false, "EIdTlsTruncated", 0},
  };
  for (const auto& c : cases) {
    auto context = tlspeer::ServerContext(SharedLocalhostCert());
    TlsScriptedPeer peer(context.get(), [&](SSL* ssl, int) {
      tlspeer::WriteAll(ssl, std::string(100, 'x'));
      if (c.closeNotify) SSL_shutdown(ssl);
    });
    TlsClient client(peer.Port());
    client.client.ConnectToHost();
    TStringStream out;
    const std::string read = c.read;
    std::string failure = Failure([&] {
      if (read == "until close") client.handler->ReadIntoStream(out, -1, true);
      if (read == "200 counted") client.handler->ReadIntoStream(out, 200);
      if (read == "100 counted") client.handler->ReadIntoStream(out, 100);
      if (read == "a line") client.handler->ReadLine();
    });
    EXPECT_EQ(failure == "no exception" ? "" : ClassOf(failure), c.expected) << c.read << ", " << c.closeNotify;
    EXPECT_EQ(out.DataString().size(), c.kept) << c.read << ", " << c.closeNotify;
    peer.Join();
  }
}

TEST(TlsIOHandler, ASilentPeerRunsIntoTheReadOrConnectTimeoutOrTheDeadlineDuringTheHandshake) {
  const struct {
    int32_t readTimeout;
    int32_t connectTimeout;
    int32_t deadline;  // 0: none
    const char* expected;
  } cases[] = {
      {300, 0, 0, "EIdReadTimeout: Read Timeout"},
      {-1, 400, 0, "EIdConnectTimeout: Connect timed out."},
      {5000, 400, 0, "EIdConnectTimeout: Connect timed out."},
      // The whole exchange's deadline ends the handshake before any single wait's limit would.
      {-1, 0, 400, "EIdDeadlineExceeded: The exchange did not end within 0.400 s."},
      {5000, 5000, 400, "EIdDeadlineExceeded: The exchange did not end within 0.400 s."},
  };
  for (const auto& c : cases) {
    ScriptedPeer silent([](int fd) { testpeer::RecvUntilClosed(fd, 5000); });
    TlsClient client(silent.Port(), "localhost", c.readTimeout);
    client.client.SetConnectTimeout(c.connectTimeout);
    if (c.deadline > 0) client.client.SetDeadline(TIdDeadline::After(c.deadline));
    EXPECT_EQ(Failure([&] { client.client.ConnectToHost(); }), c.expected);
    EXPECT_FALSE(client.client.IsConnected());
  }
}

TEST(TlsIOHandler, AReadTimeoutHoldsAfterTheHandshakeWhateverElseThePeerSends) {
  enum Meanwhile { kNothing, kHalfARecord, kSessionTickets };
  for (Meanwhile meanwhile : {kNothing, kHalfARecord, kSessionTickets}) {
    auto context = tlspeer::ServerContext(SharedLocalhostCert());
    std::atomic<bool> stop{false};
    TlsScriptedPeer peer(context.get(), [&](SSL* ssl, int fd) {
      // The header of a 64-byte application record and a few bytes of it, then nothing.
      if (meanwhile == kHalfARecord) SendAll(fd, std::string("\x17\x03\x03\x00\x40", 5) + "0123456789");
      // Records that carry no data, one every 50 ms, while the client waits;
      // a client that waits for them all gets a line afterwards.
      if (meanwhile == kSessionTickets) {
        for (int i = 0; !stop && i < 60; ++i) {
          SSL_new_session_ticket(ssl);
          SSL_do_handshake(ssl);
          testpeer::Pause(50);
        }
        if (!stop) tlspeer::WriteAll(ssl, "late\n");
      }
      RecvExactly(fd, 1 << 20, 3000);
    });
    TlsClient client(peer.Port(), "localhost", 300);
    client.client.ConnectToHost();
    EXPECT_EQ(client.handler->ReadLine(), "") << meanwhile;
    EXPECT_TRUE(client.handler->LineTimedOut()) << meanwhile;
    TIdBytes block;
    EXPECT_EQ(Failure([&] { client.handler->ReadBlock(block, 1); }), "EIdReadTimeout: Read Timeout") << meanwhile;
    stop = true;
    client.client.CloseConnection();
  }
}

TEST(TlsIOHandler, AnythingAPeerSendsDuringTheHandshakeEndsInAClearFailure) {
  enum Then { kClose, kStall, kReset };
  const struct {
    const char* what;
    std::string bytes;
    Then then;
    const char* expected;  // "Class: message", or just "Class"
  } cases[] = {
      {"nothing", "", kClose, "EIdTlsHandshakeFailed: TLS handshake failed: the peer closed the connection"},
      {"a plain HTTP answer", "HTTP/1.1 400 Bad Request\r\nContent-Length: 0\r\n\r\n", kClose,
       "EIdTlsHandshakeFailed: TLS handshake failed: wrong version number"},
      {"a fatal alert", std::string("\x15\x03\x03\x00\x02\x02\x28", 7), kClose,
       "EIdTlsHandshakeFailed: TLS handshake failed: sslv3 alert handshake failure"},
      {"a record longer than TLS allows", std::string("\x16\x03\x03\xff\xff", 5) + std::string(300, 'a'), kClose,
       "EIdTlsHandshakeFailed"},
      {"half a server hello", std::string("\x16\x03\x03\x00\x50\x02\x00\x00\x4c\x03\x03", 11), kClose,
       "EIdTlsHandshakeFailed: TLS handshake failed: the peer closed the connection"},
      {"half a record, then silence", std::string("\x16\x03\x03\x00\x50\x02", 6), kStall,
       "EIdReadTimeout: Read Timeout"},
      {"a reset", "", kReset, "EIdSocketError"},
      {"zeros", std::string(64, '\0'), kClose, "EIdTlsHandshakeFailed"},
      {"a handshake message of the wrong kind", std::string("\x16\x03\x03\x00\x04\x14\x00\x00\x00", 9), kClose,
       "EIdTlsHandshakeFailed"},
  };
  auto run = [](const std::string& bytes, Then then) {
    ScriptedPeer peer([&](int fd) {
      ReadClientHello(fd);
      SendAll(fd, bytes);
      if (then == kReset) {
        linger hard{1, 0};
        ::setsockopt(fd, SOL_SOCKET, SO_LINGER, &hard, sizeof hard);
        return;
      }
      // A clean end of the stream, whatever the client still says: closing
      // with its words unread would reset the connection instead.
      if (then == kClose) ::shutdown(fd, SHUT_WR);
      testpeer::RecvUntilClosed(fd, 3000);
    });
    TlsClient client(peer.Port(), "localhost", 400);
    std::string failure = Failure([&] { client.client.ConnectToHost(); });
    EXPECT_FALSE(client.client.IsConnected());
    return failure;
  };
  for (const auto& c : cases) {
    const std::string failure = run(c.bytes, c.then);
    const std::string expected = c.expected;
    if (expected.find(':') == std::string::npos)
      EXPECT_EQ(ClassOf(failure), expected) << c.what << ": " << failure;
    else
      EXPECT_EQ(failure, expected) << c.what;
  }
  // Arbitrary bytes, some behind a plausible record header.
  std::mt19937 random(20240611);
  for (int i = 0; i < 24; ++i) {
    std::string bytes(1 + random() % 700, '\0');
    for (char& b : bytes) b = static_cast<char>(random());
    if (i % 2) bytes.replace(0, std::min<std::size_t>(3, bytes.size()), "\x16\x03\x03");
    const std::string failure = run(bytes, kClose);
    const std::string kind = ClassOf(failure);
    EXPECT_TRUE(kind == "EIdTlsHandshakeFailed" || kind == "EIdSocketError") << i << ": " << failure;
  }
}

TEST(TlsIOHandler, BytesThatAreNoRecordAfterTheHandshakeBreakTheStream) {
  auto context = tlspeer::ServerContext(SharedLocalhostCert());
  TlsScriptedPeer peer(context.get(), [](SSL*, int fd) {
    SendAll(fd, "HTTP/1.1 200 OK\r\nContent-Length: 5\r\n\r\nhello");
    RecvExactly(fd, 1 << 20, 3000);
  });
  TlsClient client(peer.Port());
  client.client.ConnectToHost();
  const std::string failure = Failure([&] { client.handler->ReadLine(); });
  EXPECT_EQ(ClassOf(failure), "EIdTlsProtocolError") << failure;
  EXPECT_EQ(client.handler->PendingInput()->Size(), 0) << "nothing of the clear text was taken";
  EXPECT_EQ(ClassOf(Failure([&] { client.handler->ReadLine(); })), "EIdTlsProtocolError") << "and it stays broken";
  EXPECT_FALSE(client.client.IsConnected());
}

TEST(TlsIOHandler, ClearTextAProxyLetsThroughBeforeTheHandshakeIsRefused) {
  ScriptedPeer proxy([](int fd) {
    RecvExactly(fd, 3, 2000);
    SendAll(fd, std::string("\x05\x00", 2));
    RecvExactly(fd, 7 + 9, 2000);  // a connect request for "localhost"
    SendAll(fd, std::string("\x05\x00\x00\x01\x7f\x00\x00\x01\x01\xbb", 10) + "HTTP/1.1 200 OK\r\n\r\nforged");
    RecvExactly(fd, 1 << 20, 2000);
  });
  TIdSocksInfo socks;
  socks.Version = svSocks5;
  socks.Host = "127.0.0.1";
  socks.Port = proxy.Port();
  TlsClient client(443);
  client.handler->SetTransparentProxy(&socks);
  EXPECT_EQ(Failure([&] { client.client.ConnectToHost(); }),
            "EIdTlsHandshakeFailed: TLS handshake failed: the peer sent data before the handshake");
  EXPECT_FALSE(client.client.IsConnected());
}
