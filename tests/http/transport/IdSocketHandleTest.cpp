#include "http/transport/IdSocketHandle.h"

#include <gtest/gtest.h>
#include <fcntl.h>

#include <chrono>
#include <thread>

#include "tests/support/LoopbackPeer.h"

namespace {

using Clock = std::chrono::steady_clock;

class SocketHandle : public ::testing::Test {
 protected:
  TIdStackUser user_;
  TIdSocketHandle handle_;
};

TEST_F(SocketHandle, LifeCycleAndIPVersionLock) {
  EXPECT_FALSE(handle_.Allocated());
  EXPECT_EQ(handle_.WaitSet(), nullptr);
  EXPECT_THROW(handle_.WaitReadable(0), EIdConnClosedGracefully);
  handle_.AllocateHandle();
  EXPECT_TRUE(handle_.Allocated());
  EXPECT_TRUE(handle_.WaitSet()->Contains(handle_.OsSocket()));
  handle_.SetIPVersion(Id_IPv4);  // unchanged: fine
  try {
    handle_.SetIPVersion(Id_IPv6);
    FAIL();
  } catch (const EIdCannotSetIPVersionWhenConnected& e) {
    EXPECT_EQ(e.Message(), "Cannot change IPVersion when connected");
  }
  handle_.ReleaseHandle();
  EXPECT_EQ(handle_.OsSocket(), Id_INVALID_SOCKET);
  EXPECT_EQ(handle_.WaitSet(), nullptr);
  handle_.SetIPVersion(Id_IPv6);
  EXPECT_EQ(handle_.IPVersion(), Id_IPv6);
}

TEST_F(SocketHandle, BindWithoutPortShowsWhatTheSystemChose) {
  handle_.AllocateHandle();
  handle_.BindLocal();
  EXPECT_EQ(handle_.IP, "0.0.0.0");
  EXPECT_GT(handle_.Port, 0);
}

TEST_F(SocketHandle, BindPortRanges) {
  handle_.AllocateHandle();
  handle_.ClientPortMin = 5000;
  handle_.ClientPortMax = 4000;
  try {
    handle_.BindLocal();
    FAIL();
  } catch (const EIdInvalidPortRange& e) {
    EXPECT_EQ(e.Message(), "Invalid Port Range (5000 - 4000)");
  }

  int busyPort = 0;
  int busy = testpeer::ListenLoopback(1, &busyPort);
  handle_.IP = "127.0.0.1";
  handle_.ClientPortMin = busyPort;
  handle_.ClientPortMax = busyPort;
  try {
    handle_.BindLocal();
    FAIL();
  } catch (const EIdCanNotBindPortInRange& e) {
    EXPECT_EQ(e.Message(), "Can not bind in port range (" + std::to_string(busyPort) + " - " +
                               std::to_string(busyPort) + ")");
  }

  handle_.Port = busyPort;
  try {
    handle_.BindLocal();
    FAIL();
  } catch (const EIdCouldNotBindSocket& e) {
    EXPECT_EQ(e.Message(), "Could not bind socket. Address and port are already in use.");
  }
  ::close(busy);

  int freePort = testpeer::FreePort();
  handle_.AllocateHandle();
  handle_.Port = 0;
  handle_.ClientPortMin = freePort;
  handle_.ClientPortMax = freePort;
  handle_.BindLocal();
  EXPECT_EQ(handle_.Port, freePort);
}

TEST_F(SocketHandle, ConnectFillsBothEndpoints) {
  testpeer::ScriptedPeer peer([](int fd) { testpeer::RecvUntilClosed(fd, 2000); });
  handle_.AllocateHandle();
  handle_.BindLocal();
  handle_.SetPeer("127.0.0.1", peer.Port());
  handle_.ConnectToPeer();
  EXPECT_EQ(handle_.RemoteIP, "127.0.0.1");
  EXPECT_EQ(handle_.RemotePort, peer.Port());
  EXPECT_EQ(handle_.IP, "127.0.0.1");
  EXPECT_EQ(handle_.SendBytes(ToBytes("hi")), 2);
  handle_.ReleaseHandle();
}

TEST_F(SocketHandle, RefusedConnectRaisesNumberedError) {
  handle_.AllocateHandle();
  handle_.SetPeer("127.0.0.1", testpeer::FreePort());
  try {
    handle_.ConnectToPeer();
    FAIL();
  } catch (const EIdSocketError& e) {
    EXPECT_EQ(e.SocketErrorCode, 10061);
    EXPECT_EQ(e.Message(), "Socket Error # 10061\r\nConnection refused.");
  }
}

TEST_F(SocketHandle, ReleasingEndsAConnectBlockedOnAnotherThread) {
  testpeer::BlackHole hole;
  if (!hole.Ready()) GTEST_SKIP() << "this kernel completes connects to a full accept queue";
  handle_.AllocateHandle();
  handle_.SetPeer("127.0.0.1", hole.Port());
  int32_t code = 0;
  std::thread connector([&] {
    try {
      handle_.ConnectToPeer();
    } catch (const EIdSocketError& e) {
      code = e.SocketErrorCode;
    }
  });
  std::this_thread::sleep_for(std::chrono::milliseconds(200));
  auto start = Clock::now();
  handle_.ReleaseHandle();
  connector.join();
  EXPECT_LT(Clock::now() - start, std::chrono::seconds(2));
  EXPECT_EQ(code, 10038);
  EXPECT_FALSE(handle_.Allocated());
}

}  // namespace
