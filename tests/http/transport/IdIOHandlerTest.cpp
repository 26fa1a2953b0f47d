// The I/O handler against scripted loopback peers: lines, blocks, streams,
// time-outs, peer closes and the write queue.
#include "http/transport/IdIOHandler.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cstring>
#include <limits>

#include "http/transport/IdIOHandlerStack.h"
#include "http/transport/IdTCPClient.h"
#include "tests/support/LoopbackPeer.h"

namespace {

using testpeer::Pause;
using testpeer::ScriptedPeer;
using testpeer::SendAll;
using Clock = std::chrono::steady_clock;

class IOHandlerPeer : public ::testing::Test {
 protected:
  void Connect(const ScriptedPeer& peer) {
    client_.SetHost("127.0.0.1");
    client_.SetPort(peer.Port());
    client_.ConnectToHost();
  }
  TIdIOHandler& io() { return *client_.IOHandler(); }

  TIdTCPClient client_;
};

TEST_F(IOHandlerPeer, LineEndings) {
  ScriptedPeer peer([](int fd) { SendAll(fd, "HTTP/1.0 200 OK\r\nServer: x\nOdd\r\r\n\nlast\r\n"); });
  Connect(peer);
  EXPECT_EQ(io().ReadLine(), "HTTP/1.0 200 OK");
  EXPECT_EQ(io().ReadLine(), "Server: x");
  EXPECT_EQ(io().ReadLine(), "Odd\r");  // CR CR LF keeps one CR
  EXPECT_EQ(io().ReadLine(), "");
  EXPECT_EQ(io().ReadLine(), "last");
  EXPECT_FALSE(io().LineWasSplit());
  EXPECT_FALSE(io().LineTimedOut());
}

TEST_F(IOHandlerPeer, LineLengthLimitBothWays) {
  const std::string atLimit = std::string(16383, 'a') + "\r\n";  // content plus CR is 16384
  const std::string overLimit = std::string(16385, 'b') + "\n";
  ScriptedPeer peer([&](int fd) { SendAll(fd, atLimit + overLimit + "tail\n"); });
  Connect(peer);
  EXPECT_EQ(io().ReadLine(), std::string(16383, 'a'));
  try {
    io().ReadLine();
    FAIL();
  } catch (const EIdReadLnMaxLineLengthExceeded& e) {
    EXPECT_EQ(e.Message(), "Max line length exceeded.");
  }
  io().MaxLineAction = maSplit;
  EXPECT_EQ(io().ReadLine(), std::string(16384, 'b'));
  EXPECT_TRUE(io().LineWasSplit());
  EXPECT_EQ(io().ReadLine(), "b");  // the rest stayed queued
  EXPECT_FALSE(io().LineWasSplit());
  EXPECT_EQ(io().ReadLine(), "tail");
}

TEST_F(IOHandlerPeer, EndlessLineWithoutTerminatorIsCutOffNotBuffered) {
  ScriptedPeer peer([](int fd) {
    // Keeps sending until the client gives up and closes.
    std::string junk(4096, 'z');
    for (int i = 0; i < 1000; ++i)
      if (::send(fd, junk.data(), junk.size(), MSG_NOSIGNAL) <= 0) break;
  });
  Connect(peer);
  EXPECT_THROW(io().ReadLine(), EIdReadLnMaxLineLengthExceeded);
  EXPECT_LE(io().PendingInput()->Size(), 16384 + 32768);
  client_.CloseConnection();
}

TEST_F(IOHandlerPeer, MultiByteTerminatorSplitAcrossReceives) {
  ScriptedPeer peer([](int fd) {
    SendAll(fd, "abc\r");
    Pause(150);
    SendAll(fd, "\ndef\r\n");
    testpeer::RecvUntilClosed(fd, 3000);
  });
  Connect(peer);
  EXPECT_EQ(io().ReadLine("\r\n", 3000), "abc");
  EXPECT_FALSE(io().LineTimedOut());
  EXPECT_EQ(io().ReadLine("\r\n", 3000), "def");
}

TEST_F(IOHandlerPeer, PartialLineThenCloseRaisesAndKeepsTheBytes) {
  ScriptedPeer peer([](int fd) { SendAll(fd, "no end"); });
  Connect(peer);
  try {
    io().ReadLine();
    FAIL();
  } catch (const EIdConnClosedGracefully& e) {
    EXPECT_EQ(e.Message(), "Connection Closed Gracefully.");
    EXPECT_STREQ(e.ClassName(), "EIdConnClosedGracefully");
  }
  EXPECT_EQ(io().PendingInput()->ExtractText(), "no end");
}

TEST_F(IOHandlerPeer, ReadTimeoutZeroWaitsWithoutLimit) {
  ScriptedPeer peer([](int fd) {
    Pause(400);
    SendAll(fd, "late\n");
  });
  Connect(peer);
  client_.SetReadTimeout(0);
  EXPECT_EQ(io().ReadLine(), "late");
  EXPECT_FALSE(io().LineTimedOut());
}

TEST_F(IOHandlerPeer, ReadTimeoutEndsALineReadQuietly) {
  ScriptedPeer peer([](int fd) { testpeer::RecvUntilClosed(fd, 8000); });
  Connect(peer);
  client_.SetReadTimeout(5000);
  auto start = Clock::now();
  EXPECT_EQ(io().ReadLine(), "");
  auto waited = Clock::now() - start;
  EXPECT_TRUE(io().LineTimedOut());
  EXPECT_GE(waited, std::chrono::milliseconds(4900));
  EXPECT_LT(waited, std::chrono::milliseconds(9000));

  // A block read raises instead.
  client_.SetReadTimeout(200);
  TIdBytes dest;
  try {
    io().ReadBlock(dest, 1);
    FAIL();
  } catch (const EIdReadTimeout& e) {
    EXPECT_EQ(e.Message(), "Read Timeout");
  }
  client_.CloseConnection();
}

TEST_F(IOHandlerPeer, ReadIntoStreamShortCountRaisesAndKeepsWhatCame) {
  ScriptedPeer peer([](int fd) { SendAll(fd, std::string(60, 'x')); });
  Connect(peer);
  TStringStream stream;
  EXPECT_THROW(io().ReadIntoStream(stream, 100), EIdConnClosedGracefully);
  EXPECT_EQ(stream.DataString(), std::string(60, 'x'));
  EXPECT_EQ(stream.Size(), 60);  // the pre-size was undone
}

TEST_F(IOHandlerPeer, ReadIntoStreamUntilDisconnectEndsNormally) {
  ScriptedPeer peer([](int fd) { SendAll(fd, std::string(60, 'y')); });
  Connect(peer);
  TStringStream stream;
  io().ReadIntoStream(stream, -1, true);
  EXPECT_EQ(stream.DataString(), std::string(60, 'y'));
}

TEST_F(IOHandlerPeer, ReadIntoStreamShortCountAfterCloseWasAlreadySeen) {
  ScriptedPeer peer([](int fd) { SendAll(fd, "head\n" + std::string(60, 'x')); });
  Connect(peer);
  EXPECT_EQ(io().ReadLine(), "head");
  Pause(200);
  EXPECT_TRUE(client_.IsConnected());  // unread bytes keep the connection readable
  EXPECT_FALSE(io().IsOpen());         // ... though the close has been noticed
  TStringStream stream;
  EXPECT_THROW(io().ReadIntoStream(stream, 100), EIdConnClosedGracefully);
  EXPECT_EQ(stream.Size(), 60);
  EXPECT_FALSE(client_.IsConnected());
}

// Records how large the stream was ever made.
class SizeWatchingStream : public TStringStream {
 public:
  void SetSize(int64_t size) override {
    largest = std::max(largest, size);
    TStringStream::SetSize(size);
  }
  int64_t largest = 0;
};

TEST_F(IOHandlerPeer, AnnouncedCountsDoNotReserveMemory) {
  ScriptedPeer peer([](int fd) {
    // A 64-bit length of 2^63 - 1, then ten bytes, then the close.
    SendAll(fd, std::string("\x7f\xff\xff\xff\xff\xff\xff\xff", 8) + "0123456789");
  });
  Connect(peer);
  io().Use64BitLengths = true;
  SizeWatchingStream stream;
  EXPECT_THROW(io().ReadIntoStream(stream), EIdConnClosedGracefully);
  EXPECT_EQ(stream.DataString(), "0123456789");
  EXPECT_LE(stream.largest, 1 << 20);

  SizeWatchingStream second;
  EXPECT_THROW(io().ReadIntoStream(second, int64_t(2) << 30), EIdConnClosedGracefully);
  EXPECT_LE(second.largest, 1 << 20);
}

TEST_F(IOHandlerPeer, BigBodyArrivesWholeWithProgress) {
  const int64_t size = 3 * 1024 * 1024 + 17;
  ScriptedPeer peer([&](int fd) {
    std::string chunk(65536, '\0');
    for (std::size_t i = 0; i < chunk.size(); ++i) chunk[i] = static_cast<char>(i * 7);
    int64_t left = size;
    while (left > 0) {
      auto n = static_cast<std::size_t>(std::min<int64_t>(left, static_cast<int64_t>(chunk.size())));
      SendAll(fd, chunk.substr(0, n));
      left -= static_cast<int64_t>(n);
    }
    testpeer::RecvUntilClosed(fd, 5000);
  });
  int64_t begin = -1, last = 0;
  int works = 0, ends = 0;
  client_.OnWorkBegin = [&](TIdComponent&, TWorkMode mode, int64_t max) {
    if (mode == wmRead) begin = max;
  };
  client_.OnWork = [&](TIdComponent&, TWorkMode mode, int64_t pos) {
    if (mode != wmRead) return;
    ++works;
    last = pos;
  };
  client_.OnWorkEnd = [&](TIdComponent&, TWorkMode mode) { ends += mode == wmRead; };
  Connect(peer);
  TStringStream stream;
  io().ReadIntoStream(stream, size);
  EXPECT_EQ(stream.Size(), size);
  EXPECT_EQ(static_cast<char>(stream.DataString()[65536 + 3]), static_cast<char>(3 * 7));
  EXPECT_EQ(begin, size);
  EXPECT_EQ(last, size);
  EXPECT_EQ(ends, 1);
  EXPECT_LT(works, size / 1000);  // progress per receive, not per byte
  client_.CloseConnection();
}

TEST_F(IOHandlerPeer, UnreadBytesKeepAClosedConnectionConnected) {
  ScriptedPeer peer([](int fd) { SendAll(fd, "a\nb\n"); });
  Connect(peer);
  peer.Join();
  Pause(100);
  EXPECT_TRUE(client_.IsConnected());
  EXPECT_EQ(io().ReadLine(), "a");
  EXPECT_TRUE(client_.IsConnected());
  EXPECT_EQ(io().ReadLine(), "b");
  EXPECT_FALSE(client_.IsConnected());
  EXPECT_THROW(io().ReadLine(), EIdConnClosedGracefully);
}

TEST_F(IOHandlerPeer, ReadBlockAllAndCounted) {
  ScriptedPeer peer([](int fd) {
    SendAll(fd, "12345");
    Pause(100);
    SendAll(fd, "678");
    testpeer::RecvUntilClosed(fd, 3000);
  });
  Connect(peer);
  TIdBytes dest;
  io().ReadBlock(dest, 3);
  EXPECT_EQ(BytesToString(dest), "123");
  io().ReadBlock(dest, 2, true);
  EXPECT_EQ(BytesToString(dest), "12345");
  io().ReadBlock(dest, -1, true);  // waits for the next receive and takes it all
  EXPECT_EQ(BytesToString(dest), "12345678");
  client_.CloseConnection();
}

class CountingIntercept : public TIdConnectionIntercept {
 public:
  void Send(TIdBytes& bytes) override { sends.push_back(BytesToString(bytes)); }
  std::vector<std::string> sends;
};

TEST_F(IOHandlerPeer, WriteQueueSendsTheHeadInOnePiece) {
  std::string received;
  ScriptedPeer peer([&](int fd) { received = testpeer::RecvUntilClosed(fd, 3000); });
  Connect(peer);
  CountingIntercept intercept;
  io().Intercept = &intercept;
  io().BeginWriteBuffering();
  io().WriteLine("POST /x HTTP/1.0");
  io().WriteLine("Host: h");
  io().WriteLine();
  EXPECT_TRUE(intercept.sends.empty());
  io().EndWriteBuffering();
  EXPECT_FALSE(io().WriteBufferingActive());
  ASSERT_EQ(intercept.sends.size(), 1u);
  EXPECT_EQ(intercept.sends[0], "POST /x HTTP/1.0\r\nHost: h\r\n\r\n");

  io().BeginWriteBuffering(4);  // flushes every time 4 bytes are queued
  io().WriteText("abcdef");
  EXPECT_EQ(intercept.sends.size(), 2u);
  io().CancelWriteBuffering();  // the queued rest is dropped
  io().Intercept = nullptr;
  client_.CloseConnection();
  peer.Join();
  EXPECT_EQ(received, "POST /x HTTP/1.0\r\nHost: h\r\n\r\nabcd");
}

// A stream that claims more than it holds, or a size past 2 GiB.
class LyingStream : public TStream {
 public:
  LyingStream(std::string text, int64_t claimed) : data_(std::move(text)), claimed_(claimed) {}
  int64_t Read(void* buffer, int64_t count) override {
    auto n = std::min<int64_t>(count, static_cast<int64_t>(data_.size()) - pos_);
    if (n <= 0) return 0;
    std::memcpy(buffer, data_.data() + pos_, static_cast<std::size_t>(n));
    pos_ += n;
    return n;
  }
  int64_t Write(const void*, int64_t) override { return 0; }
  int64_t Seek(int64_t offset, TSeekOrigin origin) override {
    pos_ = origin == TSeekOrigin::soBeginning ? offset : origin == TSeekOrigin::soCurrent ? pos_ + offset : claimed_ + offset;
    return pos_;
  }
  void SetSize(int64_t) override {}
  int64_t Size() override { return claimed_; }

 private:
  std::string data_;
  int64_t claimed_;
  int64_t pos_ = 0;
};

TEST_F(IOHandlerPeer, WriteFromStreamVariants) {
  std::string received;
  ScriptedPeer peer([&](int fd) { received = testpeer::RecvUntilClosed(fd, 3000); });
  Connect(peer);
  TStringStream body("0123456789");
  body.SetPosition(4);
  io().WriteFromStream(body, 3);      // 3 bytes from the position
  io().WriteFromStream(body);         // the rest
  io().WriteFromStream(body, 0, true);  // all, with its size first
  LyingStream liar("abc", 10);
  try {
    io().WriteFromStream(liar, 0);
    FAIL();
  } catch (const EIdNoDataToRead& e) {
    EXPECT_EQ(e.Message(), "No data to read.");
  }
  LyingStream huge("", int64_t(1) << 31);
  EXPECT_THROW(io().WriteFromStream(huge, 0), EIdIoHandlerRequiresLargeStream);
  client_.CloseConnection();
  peer.Join();
  EXPECT_EQ(received, std::string("456789") + std::string("\0\0\0\x0a", 4) + "0123456789" + "abc");
}

TEST_F(IOHandlerPeer, WritingToAResetPeerRaisesInsteadOfKillingTheProcess) {
  ScriptedPeer peer([](int fd) {
    testpeer::RecvExactly(fd, 1, 3000);  // reset only once the client is surely connected
    linger hard{1, 0};
    setsockopt(fd, SOL_SOCKET, SO_LINGER, &hard, sizeof hard);
  });
  Connect(peer);
  io().WriteText("x");
  peer.Join();
  Pause(100);
  TIdBytes big(1 << 20, 'q');
  EXPECT_THROW(
      {
        for (int i = 0; i < 20; ++i) io().WriteByteArray(big);
      },
      EIdException);
}

TEST(IOHandlerUnopened, ReadsSayNotConnected) {
  TIdIOHandlerStack io;
  EXPECT_FALSE(io.IsConnected());
  TIdBytes dest;
  try {
    io.ReadBlock(dest, 4);
    FAIL();
  } catch (const EIdException& e) {
    EXPECT_EQ(e.Message(), "Not Connected");
  }
  EXPECT_THROW(io.ReadLine(), EIdException);
  EXPECT_EQ(io.FillPendingInput(false, 0, false), 0);
}

TEST(IOHandlerDestination, SplitsAndJoinsHostAndPort) {
  TIdIOHandlerStack io;
  io.DefaultPort = 80;
  io.SetDestination("example.org: 8080 ");
  EXPECT_EQ(io.Host, "example.org");
  EXPECT_EQ(io.Port, 8080);
  EXPECT_EQ(io.Destination(), "example.org:8080");
  io.SetDestination("other:x");
  EXPECT_EQ(io.Port, 80);
  EXPECT_EQ(io.Destination(), "other");
  io.SetDestination("no-colon");
  EXPECT_EQ(io.Host, "other");
}

}  // namespace
