// The TCP client: connect checks, status reports, failures and the timed connect.
#include "http/transport/IdTCPClient.h"

#include <gtest/gtest.h>

#include <chrono>

#include "http/transport/IdIOHandlerStack.h"
#include "tests/support/LoopbackPeer.h"

namespace {

using testpeer::ScriptedPeer;
using Clock = std::chrono::steady_clock;


class TCPClient : public ::testing::Test {
 protected:
  void RecordStatusTexts() {
    client_.OnStatus = [this](TIdComponent&, TIdStatus, const std::string& text) { status_.push_back(text); };
  }
  TIdTCPClient client_;
  std::vector<std::string> status_;
};

TEST_F(TCPClient, TargetChecksComeFirst) {
  EXPECT_THROW(client_.ConnectToHost(), EIdHostRequired);
  EXPECT_EQ(client_.IOHandler(), nullptr);
  client_.SetHost("127.0.0.1");
  try {
    client_.ConnectToHost();
    FAIL();
  } catch (const EIdPortRequired& e) {
    EXPECT_EQ(e.Message(), "");
  }
  EXPECT_EQ(client_.IOHandler(), nullptr);
}

// A port no socket can have is refused before anything is opened, instead of
// a handler without a socket reporting "Connected.".
TEST_F(TCPClient, PortsOutsideTheRangeAreRefusedBeforeConnecting) {
  RecordStatusTexts();
  client_.SetHost("127.0.0.1");
  for (int32_t port : {-5, -65535, 65536, 70000}) {
    client_.SetPort(port);
    try {
      client_.ConnectToHost();
      ADD_FAILURE() << port;
    } catch (const EIdInvalidPortRange& e) {
      EXPECT_EQ(e.Message(), "Invalid port " + std::to_string(port) + " (allowed 1 to 65535)");
    }
    EXPECT_EQ(client_.IOHandler(), nullptr) << port;
  }
  EXPECT_TRUE(status_.empty());
}

TEST_F(TCPClient, StatusSequenceForANameAndSecondConnectRefused) {
  ScriptedPeer peer([](int fd) { testpeer::RecvUntilClosed(fd, 3000); });
  RecordStatusTexts();
  int connected = 0, disconnected = 0;
  client_.OnConnected = [&](TIdComponent&) { ++connected; };
  client_.OnDisconnected = [&](TIdComponent&) { ++disconnected; };
  client_.SetHost("localhost");
  client_.SetPort(peer.Port());
  client_.ConnectToHost();
  EXPECT_TRUE(client_.IsConnected());
  EXPECT_TRUE(client_.OwnsHandler());
  ASSERT_NE(client_.SocketHandler(), nullptr);
  EXPECT_EQ(client_.SocketHandler()->SocketBinding()->RemotePort, peer.Port());
  try {
    client_.ConnectToHost();
    FAIL();
  } catch (const EIdAlreadyConnected& e) {
    EXPECT_EQ(e.Message(), "Already connected.");
  }
  client_.CloseConnection();
  client_.CloseConnection();  // closed already: nothing more
  EXPECT_EQ(status_, (std::vector<std::string>{"Resolving hostname localhost.", "Connecting to 127.0.0.1.",
                                                "Connected.", "Disconnecting.", "Disconnected."}));
  EXPECT_EQ(connected, 1);
  EXPECT_EQ(disconnected, 1);
}

TEST_F(TCPClient, AddressNeedsNoResolvingAndNeverConnectedClosesSilently) {
  RecordStatusTexts();
  client_.CloseConnection();
  EXPECT_TRUE(status_.empty());
  ScriptedPeer peer([](int fd) { testpeer::RecvUntilClosed(fd, 3000); });
  client_.SetHost("127.0.0.1");
  client_.SetPort(peer.Port());
  client_.ConnectToHost();
  client_.CloseConnection();
  EXPECT_EQ(status_.front(), "Connecting to 127.0.0.1.");
}

TEST_F(TCPClient, ReconnectsOnTheSameHandlerAfterThePeerClosed) {
  ScriptedPeer first([](int fd) { testpeer::SendAll(fd, "bye\n"); });
  client_.SetHost("127.0.0.1");
  client_.SetPort(first.Port());
  client_.ConnectToHost();
  TIdIOHandler* handler = client_.IOHandler();
  EXPECT_EQ(handler->ReadLine(), "bye");
  first.Join();
  testpeer::Pause(50);
  EXPECT_FALSE(client_.IsConnected());
  ScriptedPeer second([](int fd) { testpeer::SendAll(fd, "again\n"); });
  client_.SetPort(second.Port());
  client_.ConnectToHost();
  EXPECT_EQ(client_.IOHandler(), handler);
  EXPECT_EQ(client_.IOHandler()->ReadLine(), "again");
}

TEST_F(TCPClient, RefusedConnectFreesTheOwnedHandler) {
  client_.SetHost("127.0.0.1");
  client_.SetPort(testpeer::FreePort());
  for (int attempt = 0; attempt < 2; ++attempt) {
    try {
      client_.ConnectToHost();
      FAIL();
    } catch (const EIdSocketError& e) {
      EXPECT_EQ(e.SocketErrorCode, 10061);
      EXPECT_EQ(e.Message(), "Socket Error # 10061\r\nConnection refused.");
    }
    EXPECT_EQ(client_.IOHandler(), nullptr);
    EXPECT_FALSE(client_.IsConnected());
  }
}

TEST_F(TCPClient, UnknownHostFailsWithHostNotFound) {
  client_.SetHost("no-such-host.invalid");
  client_.SetPort(80);
  try {
    client_.ConnectToHost();
    FAIL();
  } catch (const EIdSocketError& e) {
    EXPECT_EQ(e.SocketErrorCode, 11001);
  }
  EXPECT_EQ(client_.IOHandler(), nullptr);
}

TEST_F(TCPClient, ConnectTimeoutAgainstAnAddressThatNeverAnswers) {
  testpeer::BlackHole hole;
  if (!hole.Ready()) GTEST_SKIP() << "this kernel completes connects to a full accept queue";
  client_.SetHost("127.0.0.1");
  client_.SetPort(hole.Port());
  client_.SetConnectTimeout(1000);
  auto start = Clock::now();
  try {
    client_.ConnectToHost();
    FAIL();
  } catch (const EIdConnectTimeout& e) {
    EXPECT_EQ(e.Message(), "Connect timed out.");
  }
  auto waited = Clock::now() - start;
  EXPECT_GE(waited, std::chrono::milliseconds(950));
  EXPECT_LT(waited, std::chrono::milliseconds(3000));
  EXPECT_EQ(client_.IOHandler(), nullptr);
}

TEST_F(TCPClient, ConnectTimeoutStillReportsRefusalEarly) {
  client_.SetHost("127.0.0.1");
  client_.SetPort(testpeer::FreePort());
  client_.SetConnectTimeout(5000);
  auto start = Clock::now();
  try {
    client_.ConnectToHost();
    FAIL();
  } catch (const EIdSocketError& e) {
    EXPECT_EQ(e.SocketErrorCode, 10061);
  }
  EXPECT_LT(Clock::now() - start, std::chrono::milliseconds(2000));
}

TEST_F(TCPClient, ConnectTimeoutWithoutLimitStillConnects) {
  for (int32_t timeout : {-1, -2, 300}) {
    ScriptedPeer peer([](int fd) { testpeer::SendAll(fd, "hi\n"); });
    TIdTCPClient client;
    client.SetHost("127.0.0.1");
    client.SetPort(peer.Port());
    client.SetConnectTimeout(timeout);
    client.ConnectToHost();
    EXPECT_EQ(client.IOHandler()->ReadLine(), "hi") << timeout;
  }
}

TEST_F(TCPClient, SettingsReachTheHandler) {
  int freePort = testpeer::FreePort();
  ScriptedPeer peer([](int fd) { testpeer::RecvUntilClosed(fd, 3000); });
  int before = 0, after = 0;
  client_.OnBeforeBind = [&](TIdComponent&) { ++before; };
  client_.OnAfterBind = [&](TIdComponent&) { ++after; };
  client_.SetHost("127.0.0.1");
  client_.SetPort(peer.Port());
  client_.SetBoundIP("127.0.0.1");
  client_.SetBoundRangeLow(freePort);
  client_.SetBoundRangeHigh(freePort);
  client_.SetReadTimeout(1234);
  client_.ConnectToHost();
  EXPECT_EQ(client_.SocketHandler()->SocketBinding()->Port, freePort);
  EXPECT_EQ(client_.ReadTimeout(), 1234);
  client_.SetReadTimeout(50);
  EXPECT_EQ(client_.IOHandler()->ReadTimeout, 50);
  EXPECT_EQ(before, 1);
  EXPECT_EQ(after, 1);
  client_.CloseConnection();
}

TEST_F(TCPClient, BorrowedHandlerIsForgottenWhenDestroyedElsewhere) {
  auto handler = std::make_unique<TIdIOHandlerStack>();
  client_.SetPort(99);
  client_.SetIOHandler(handler.get());
  EXPECT_FALSE(client_.OwnsHandler());
  EXPECT_EQ(handler->Port, 99);
  EXPECT_EQ(handler->ProgressTarget(), &client_);
  handler.reset();
  EXPECT_EQ(client_.IOHandler(), nullptr);
  EXPECT_EQ(client_.SocketHandler(), nullptr);

  auto other = std::make_unique<TIdIOHandlerStack>();
  client_.SetIOHandler(other.get());
  client_.SetIOHandler(nullptr);
  EXPECT_EQ(other->ProgressTarget(), nullptr);
}

TEST_F(TCPClient, PeerCheckWithoutHandler) {
  client_.CheckPeerClosed(false);
  try {
    client_.CheckPeerClosed(true);
    FAIL();
  } catch (const EIdException& e) {
    EXPECT_EQ(e.Message(), "Not Connected");
  }
}

TEST_F(TCPClient, PeerCheckClosesOurSideOnceThePeerHasGone) {
  ScriptedPeer peer([](int fd) { testpeer::SendAll(fd, "x"); });
  client_.SetHost("127.0.0.1");
  client_.SetPort(peer.Port());
  client_.ConnectToHost();
  peer.Join();
  testpeer::Pause(50);
  TIdBytes dest;
  client_.IOHandler()->ReadBlock(dest, 1);
  client_.IOHandler()->FillPendingInput(false, 500, false);  // sees the close
  client_.CheckPeerClosed(false);
  EXPECT_FALSE(client_.IsConnected());
  EXPECT_THROW(client_.CheckPeerClosed(true), EIdConnClosedGracefully);
}

}  // namespace
