// SOCKS 4, 4A and 5 against scripted proxies (byte-exact) and against a real
// SOCKS 5 server carrying a connection to a loopback peer.
#include "http/transport/IdSocksInfo.h"

#include <gtest/gtest.h>

#include <chrono>

#include "http/transport/IdIOHandlerStack.h"
#include "http/transport/IdTCPClient.h"
#include "tests/support/LoopbackPeer.h"
#include "tests/support/MicroSocks.h"

namespace {

using testpeer::RecvExactly;
using testpeer::ScriptedPeer;
using testpeer::SendAll;

std::string Bytes(std::initializer_list<int> values) {
  std::string s;
  for (int v : values) s.push_back(static_cast<char>(v));
  return s;
}

// A client whose handler goes through the given proxy.
struct ProxiedClient {
  explicit ProxiedClient(TIdSocksInfo& socks, int proxyPort, const std::string& host = "example.org",
                         int port = 8080) {
    socks.Host = "127.0.0.1";
    socks.Port = proxyPort;
    auto handler = std::make_unique<TIdIOHandlerStack>();
    handler->SetTransparentProxy(&socks);
    client.SetIOHandler(std::move(handler));
    client.SetHost(host);
    client.SetPort(port);
  }
  TIdTCPClient client;
};

// --- SOCKS 4 and 4A

TEST(Socks4, RequestResolvesLocallyAndCarriesTheConnection) {
  std::string request;
  ScriptedPeer proxy([&](int fd) {
    request = RecvExactly(fd, 12);
    SendAll(fd, Bytes({0, 90, 0, 0, 0, 0, 0, 0}) + "through\n");
  });
  TIdSocksInfo socks;
  socks.Version = svSocks4;
  socks.Username = "bob";
  ProxiedClient c(socks, proxy.Port(), "localhost", 8080);
  c.client.ConnectToHost();
  EXPECT_EQ(c.client.IOHandler()->ReadLine(), "through");
  EXPECT_EQ(request, Bytes({4, 1, 0x1F, 0x90, 127, 0, 0, 1}) + "bob" + Bytes({0}));
}

TEST(Socks4, FourALetsTheProxyResolve) {
  std::string request;
  ScriptedPeer proxy([&](int fd) {
    request = RecvExactly(fd, 8 + 1 + 12);
    SendAll(fd, Bytes({0, 90, 0, 0, 0, 0, 0, 0}));
  });
  TIdSocksInfo socks;
  socks.Version = svSocks4A;
  ProxiedClient c(socks, proxy.Port(), "example.org", 443);
  c.client.ConnectToHost();
  EXPECT_EQ(request, Bytes({4, 1, 1, 0xBB, 0, 0, 0, 1, 0}) + "example.org" + Bytes({0}));
}

TEST(Socks4, EveryReplyCode) {
  struct Case {
    int code;
    const char* className;
    const char* message;
  } cases[] = {
      {91, "EIdSocksRequestFailed", "Request rejected or failed."},
      {92, "EIdSocksRequestServerFailed", "Request rejected because SOCKS server cannot connect."},
      {93, "EIdSocksRequestIdentFailed",
       "Request rejected because the client program and identd report different user-ids."},
      {0, "EIdSocksUnknownError", "Unknown socks error."},
      {94, "EIdSocksUnknownError", "Unknown socks error."},
  };
  for (const Case& k : cases) {
    ScriptedPeer proxy([&](int fd) {
      RecvExactly(fd, 9, 2000);
      SendAll(fd, Bytes({0, k.code, 0, 0, 0, 0, 0, 0}));
    });
    TIdSocksInfo socks;
    socks.Version = svSocks4;
    ProxiedClient c(socks, proxy.Port(), "127.0.0.1", 80);
    try {
      c.client.ConnectToHost();
      ADD_FAILURE() << k.code;
    } catch (const EIdSocksError& e) {
      EXPECT_STREQ(e.ClassName(), k.className) << k.code;
      EXPECT_EQ(e.Message(), k.message);
    }
    EXPECT_EQ(c.client.IOHandler(), nullptr);
  }
}

// --- SOCKS 5

TEST(Socks5, NameTargetWithoutAuthentication) {
  std::string offer, request;
  ScriptedPeer proxy([&](int fd) {
    offer = RecvExactly(fd, 3);
    SendAll(fd, Bytes({5, 0}));
    request = RecvExactly(fd, 5 + 11 + 2);
    SendAll(fd, Bytes({5, 0, 0, 1, 10, 0, 0, 1, 0x12, 0x34}) + "through\n");
  });
  TIdSocksInfo socks;
  socks.Version = svSocks5;
  ProxiedClient c(socks, proxy.Port(), "example.org", 8080);
  c.client.ConnectToHost();
  EXPECT_EQ(c.client.IOHandler()->ReadLine(), "through");  // bound address fully consumed
  EXPECT_EQ(offer, Bytes({5, 1, 0}));
  EXPECT_EQ(request, Bytes({5, 1, 0, 3, 11}) + "example.org" + Bytes({0x1F, 0x90}));
}

TEST(Socks5, AddressTargetWithUserNameAndPassword) {
  std::string offer, auth, request;
  ScriptedPeer proxy([&](int fd) {
    offer = RecvExactly(fd, 3);
    SendAll(fd, Bytes({5, 2}));
    auth = RecvExactly(fd, 1 + 1 + 3 + 1 + 6);
    SendAll(fd, Bytes({1, 0}));
    request = RecvExactly(fd, 10);
    SendAll(fd, Bytes({5, 0, 0, 3, 4}) + "abcd" + Bytes({0, 80}) + "through\n");
  });
  TIdSocksInfo socks;
  socks.Version = svSocks5;
  socks.Authentication = saUsernamePassword;
  socks.Username = "bob";
  socks.Password = "secret";
  ProxiedClient c(socks, proxy.Port(), "10.1.2.3", 8080);
  c.client.ConnectToHost();
  EXPECT_EQ(c.client.IOHandler()->ReadLine(), "through");
  EXPECT_EQ(offer, Bytes({5, 1, 2}));
  EXPECT_EQ(auth, Bytes({1, 3}) + "bob" + Bytes({6}) + "secret");
  EXPECT_EQ(request, Bytes({5, 1, 0, 1, 10, 1, 2, 3, 0x1F, 0x90}));
}

TEST(Socks5, IPv6BoundAddressIsConsumed) {
  ScriptedPeer proxy([&](int fd) {
    RecvExactly(fd, 3);
    SendAll(fd, Bytes({5, 0}));
    RecvExactly(fd, 10);
    SendAll(fd, Bytes({5, 0, 0, 4}) + std::string(16, '\x01') + Bytes({0, 80}) + "through\n");
  });
  TIdSocksInfo socks;
  socks.Version = svSocks5;
  ProxiedClient c(socks, proxy.Port(), "1.2.3.4", 80);
  c.client.ConnectToHost();
  EXPECT_EQ(c.client.IOHandler()->ReadLine(), "through");
}

// Runs one SOCKS 5 negotiation whose server answers with the given bytes
// after each request, and returns the failure's class and message.
std::pair<std::string, std::string> Socks5Failure(const std::string& methodReply, const std::string& authReply,
                                                  const std::string& connectReply, bool withAuth = false) {
  ScriptedPeer proxy([&](int fd) {
    RecvExactly(fd, 3, 2000);
    if (methodReply.empty()) return;
    SendAll(fd, methodReply);
    if (withAuth) {
      RecvExactly(fd, 2 + 1 + 1 + 1, 2000);
      if (authReply.empty()) return;
      SendAll(fd, authReply);
    }
    RecvExactly(fd, 10, 2000);
    SendAll(fd, connectReply);
  });
  TIdSocksInfo socks;
  socks.Version = svSocks5;
  if (withAuth) {
    socks.Authentication = saUsernamePassword;
    socks.Username = "u";
    socks.Password = "p";
  }
  ProxiedClient c(socks, proxy.Port(), "1.2.3.4", 80);
  try {
    c.client.ConnectToHost();
  } catch (const EIdSocksError& e) {
    return {e.ClassName(), e.Message()};
  }
  return {"", ""};
}

TEST(Socks5, EveryReplyCode) {
  struct Case {
    int code;
    const char* className;
    const char* message;
  } cases[] = {
      {1, "EIdSocksServerGeneralError", "General SOCKS server failure."},
      {2, "EIdSocksServerPermissionError", "Connection not allowed by ruleset."},
      {3, "EIdSocksServerNetUnreachableError", "Network unreachable."},
      {4, "EIdSocksServerHostUnreachableError", "Host unreachable."},
      {5, "EIdSocksServerConnectionRefusedError", "Connection refused."},
      {6, "EIdSocksServerTTLExpiredError", "TTL expired."},
      {7, "EIdSocksServerCommandError", "Command not supported."},
      {8, "EIdSocksServerAddressError", "Address type not supported."},
      {9, "EIdSocksUnknownError", "Unknown socks error."},
      {255, "EIdSocksUnknownError", "Unknown socks error."},
  };
  for (const Case& k : cases) {
    auto [cls, msg] = Socks5Failure(Bytes({5, 0}), "", Bytes({5, k.code, 0, 1, 0}));
    EXPECT_EQ(cls, k.className) << k.code;
    EXPECT_EQ(msg, k.message) << k.code;
  }
}

TEST(Socks5, NegotiationFailures) {
  using Result = std::pair<std::string, std::string>;
  EXPECT_EQ(Socks5Failure(Bytes({5, 255}), "", ""),
            Result("EIdSocksAuthMethodError", "Invalid socks authentication method."));
  EXPECT_EQ(Socks5Failure(Bytes({5, 2}), "", ""),  // a method that was not offered
            Result("EIdSocksAuthMethodError", "Invalid socks authentication method."));
  EXPECT_EQ(Socks5Failure("", "", ""), Result("EIdSocksServerRespondError", "Socks server did not respond."));
  EXPECT_EQ(Socks5Failure(Bytes({5, 2}), Bytes({1, 1}), "", true),
            Result("EIdSocksAuthError", "Authentication error to socks server."));
  EXPECT_EQ(Socks5Failure(Bytes({5, 2}), "", "", true),
            Result("EIdSocksServerRespondError", "Socks server did not respond."));
  EXPECT_EQ(Socks5Failure(Bytes({5, 0}), "", Bytes({5, 0, 0})),  // reply cut short
            Result("EIdSocksServerRespondError", "Socks server did not respond."));
  EXPECT_EQ(Socks5Failure(Bytes({5, 0}), "", Bytes({5, 0, 0, 1, 9, 9})),  // bound address cut short
            Result("EIdSocksServerRespondError", "Socks server did not respond."));
  EXPECT_EQ(Socks5Failure(Bytes({5, 0}), "", Bytes({5, 0, 0, 7, 0, 0, 0})),  // no such address type
            Result("EIdSocksUnknownError", "Unknown socks error."));
}

TEST(Socks5, OverlongNameIsRefusedBeforeAnythingIsSent) {
  std::string received = "not run";
  ScriptedPeer proxy([&](int fd) { received = testpeer::RecvUntilClosed(fd, 3000); });
  TIdSocksInfo socks;
  socks.Version = svSocks5;
  ProxiedClient c(socks, proxy.Port(), std::string(249, 'n') + ".org", 80);
  try {
    c.client.ConnectToHost();
    FAIL();
  } catch (const EIdSocksHostNameTooLong& e) {
    EXPECT_TRUE(e.InheritsFrom("EIdSocksError"));
    EXPECT_EQ(e.Message(), "Socks host name is too long (253 bytes, at most 248).");
  }
  proxy.Join();
  EXPECT_EQ(received, "");
}

TEST(Socks5, LongestNameThatFits) {
  TIdStackUser stack;
  TIdSocksInfo socks;
  TIdBytes request = socks.MakeSocks5ConnectRequest(std::string(248, 'n'), 80, Id_IPv4);
  EXPECT_EQ(request.size(), 255u);
  EXPECT_EQ(request[4], 248);
}

TEST(Socks5, OverlongCredentialsAndPortsAreRefusedBeforeAnythingIsSent) {
  std::string received = "not run";
  ScriptedPeer proxy([&](int fd) { received = testpeer::RecvUntilClosed(fd, 3000); });
  TIdSocksInfo socks;
  socks.Version = svSocks5;
  socks.Authentication = saUsernamePassword;
  socks.Username = std::string(256, 'u');
  ProxiedClient c(socks, proxy.Port(), "1.2.3.4", 80);
  EXPECT_THROW(c.client.ConnectToHost(), EIdSocksAuthError);
  proxy.Join();
  EXPECT_EQ(received, "");

  TIdStackUser stack;
  TIdSocksInfo plain;
  plain.Version = svSocks4;
  EXPECT_THROW(plain.MakeSocks4Request("1.2.3.4", 65536), EIdSocksError);
  EXPECT_THROW(plain.MakeSocks5ConnectRequest("1.2.3.4", -1, Id_IPv4), EIdSocksError);
}

// --- chains and settings

TEST(SocksChain, NegotiatesEachHopInOrder) {
  std::string hop1, hop2;
  ScriptedPeer proxy([&](int fd) {
    // First the outer SOCKS 5 proxy is asked for the inner one ...
    RecvExactly(fd, 3);
    SendAll(fd, Bytes({5, 0}));
    hop1 = RecvExactly(fd, 10);
    SendAll(fd, Bytes({5, 0, 0, 1, 0, 0, 0, 0, 0, 0}));
    // ... then the inner SOCKS 4A proxy for the target.
    hop2 = RecvExactly(fd, 9 + 9);
    SendAll(fd, Bytes({0, 90, 0, 0, 0, 0, 0, 0}) + "through\n");
  });
  TIdSocksInfo inner;
  inner.Version = svSocks4A;
  inner.Host = "10.9.8.7";
  inner.Port = 1081;
  TIdSocksInfo outer;
  outer.Version = svSocks5;
  outer.SetChainedProxy(&inner);
  ProxiedClient c(outer, proxy.Port(), "target.x", 80);
  c.client.ConnectToHost();
  EXPECT_EQ(c.client.IOHandler()->ReadLine(), "through");
  EXPECT_EQ(hop1, Bytes({5, 1, 0, 1, 10, 9, 8, 7, 0x04, 0x39}));
  EXPECT_EQ(hop2, Bytes({4, 1, 0, 80, 0, 0, 0, 1, 0}) + "target.x" + Bytes({0}));
}

TEST(SocksChain, CircularLinksAreRefusedAndDestroyedLinksForgotten) {
  TIdSocksInfo a, b;
  auto c = std::make_unique<TIdSocksInfo>();
  a.SetChainedProxy(&b);
  b.SetChainedProxy(c.get());
  try {
    c->SetChainedProxy(&a);
    FAIL();
  } catch (const EIdTransparentProxyCircularLink& e) {
    EXPECT_EQ(e.Message(), "Circular link between proxies of class TIdSocksInfo.");
  }
  EXPECT_THROW(a.SetChainedProxy(&a), EIdTransparentProxyCircularLink);
  c.reset();
  EXPECT_EQ(b.ChainedProxy(), nullptr);
}

TEST(SocksSettings, DefaultsAssignAndRefusals) {
  TIdSocksInfo source;
  EXPECT_EQ(source.Port, 1080);
  EXPECT_FALSE(source.IsActive());
  source.Host = "p";
  source.Port = 9;
  source.Username = "u";
  source.Password = "w";
  source.IPVersion = Id_IPv6;
  source.Version = svSocks4A;
  source.Authentication = saUsernamePassword;
  TIdSocksInfo copy;
  copy.Assign(source);
  EXPECT_EQ(copy.Host, "p");
  EXPECT_EQ(copy.Port, 9);
  EXPECT_EQ(copy.Username, "u");
  EXPECT_EQ(copy.Password, "w");
  EXPECT_EQ(copy.IPVersion, Id_IPv6);
  EXPECT_EQ(copy.Version, svSocks4A);
  EXPECT_EQ(copy.Authentication, saUsernamePassword);
  EXPECT_TRUE(copy.IsActive());

  TIdIOHandlerStack io;
  try {
    copy.Bind(io, 80);
    FAIL();
  } catch (const EIdTransparentProxyCantBind& e) {
    EXPECT_EQ(e.Message(), "Transparent proxy cannot bind.");
  }
  try {
    copy.OpenUDP(io, "h", 1);
    FAIL();
  } catch (const EIdTransparentProxyUDPNotSupported& e) {
    EXPECT_EQ(e.Message(), "UDP Not supported by this proxy.");
  }
}

// --- a real SOCKS 5 server

class RealSocks5 : public ::testing::Test {
 protected:
  void SetUp() override {
    if (access(MicroSocks::kPath, X_OK) != 0) GTEST_SKIP() << "microsocks is not installed (apt-get install microsocks)";
  }
  // Sends a line through the proxy to an echoing loopback peer and reads it back.
  void RoundTrip(TIdSocksInfo& socks, int proxyPort) {
    ScriptedPeer echo([](int fd) {
      std::string line = RecvExactly(fd, 6, 5000);
      SendAll(fd, "echo:" + line);
    });
    ProxiedClient c(socks, proxyPort, "127.0.0.1", echo.Port());
    c.client.ConnectToHost();
    c.client.IOHandler()->WriteLine("ping");
    EXPECT_EQ(c.client.IOHandler()->ReadLine(), "echo:ping");
    c.client.CloseConnection();
  }
};

TEST_F(RealSocks5, CarriesAConnectionToALoopbackPeer) {
  MicroSocks server;
  ASSERT_TRUE(server.Running());
  TIdSocksInfo socks;
  socks.Version = svSocks5;
  RoundTrip(socks, server.Port());
}

TEST_F(RealSocks5, WithUserNameAndPassword) {
  MicroSocks server({"-u", "alice", "-P", "s3cret"});
  ASSERT_TRUE(server.Running());
  TIdSocksInfo socks;
  socks.Version = svSocks5;
  socks.Authentication = saUsernamePassword;
  socks.Username = "alice";
  socks.Password = "s3cret";
  RoundTrip(socks, server.Port());

  socks.Password = "wrong";
  ProxiedClient c(socks, server.Port(), "127.0.0.1", 9);
  EXPECT_THROW(c.client.ConnectToHost(), EIdSocksError);
}

}  // namespace
