#include "crash/helper/CDRemoteException.h"

#include <gtest/gtest.h>
#include <sys/socket.h>
#include <unistd.h>

#include <thread>

#include "crash/capture/CDSafeText.h"
#include "tests/crash/helper/HelperExceptionSample.h"

namespace {

// An exception that cannot continue, shown in the default mode.
TCDHelperException Facts() { return SampleHelperException("/tmp/elsewhere.txt"); }

// The crashed process's end of the pipe, written and read by hand.
class CrashedSide {
 public:
  CrashedSide() {
    int pair[2];
    EXPECT_EQ(socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, pair), 0);
    fd_ = pair[0];
    helperFd = pair[1];
  }
  ~CrashedSide() { Close(); }
  void Close() {
    if (fd_ >= 0) close(fd_);
    fd_ = -1;
  }
  void Send(const std::string& bytes) { ASSERT_TRUE(CDSendAll(fd_, bytes.data(), bytes.size())); }
  void SendSmall(void (*encode)(TCDWireWriter&)) {
    uint8_t buffer[64];
    TCDWireWriter w(buffer, sizeof buffer);
    encode(w);
    Send(std::string(reinterpret_cast<char*>(buffer), w.Size()));
  }
  // What every crashed process sends first.
  void Greet() {
    SendSmall([](TCDWireWriter& w) { EncodeHello(w, {CDHelperProtocolVersion, 1234}); });
    Send(EncodeExceptionFrame(Facts()));
  }
  TCDRawFrame Receive() {
    TCDRawFrame frame;
    char buffer[256];
    while (!reader_.Next(frame)) {
      const ssize_t n = read(fd_, buffer, sizeof buffer);
      if (n <= 0) return TCDRawFrame{};
      reader_.Append(buffer, static_cast<std::size_t>(n));
    }
    return frame;
  }
  int helperFd;

 private:
  int fd_;
  TCDFrameReader reader_;
};

TEST(HelperSession, TheBoxSeesTheCrashedProcessesExceptionWithItsOwnSettingsAndTheReportAsItGrows) {
  CrashedSide crashed;
  crashed.Greet();
  crashed.Send(EncodeReportFrame({{"exception class", "EAccessViolation"}, {"callstack crc", "will be calculated soon"}},
                                 {{"main thread ($4d2):", ">> stack will be calculated soon"}}, false));
  TCDHelperSession session(crashed.helperFd);
  std::string error;
  ASSERT_TRUE(session.Open(error, 5000)) << error;
  TCDRemoteException& e = session.Exception();
  EXPECT_EQ(e.ExceptionClass(), "EAccessViolation");
  EXPECT_FALSE(e.CanContinue());
  EXPECT_EQ(e.ExceptionSource(), 14);
  EXPECT_EQ(e.GetBugRepFile(), "/tmp/elsewhere.txt") << "the crashed process's own value";
  EXPECT_EQ(e.GetSendBtnTxt(), "send bug report") << "the program's value";

  crashed.Send(EncodeReportFrame({{"exception class", "EAccessViolation"}, {"callstack crc", "$1, $2, $3"}},
                                 {{"main thread ($4d2):", "0000000000401234 crashdemo main.cpp 12 Crash"}}, true));
  ASSERT_TRUE(e.Report().WaitComplete(5000));
  const std::string text = e.Report().Text();
  EXPECT_NE(text.find("callstack crc   : $1, $2, $3"), std::string::npos) << text;
  EXPECT_EQ(text.find("will be calculated soon"), std::string::npos) << text;
}

TEST(HelperSession, ActionsAreAskedOfTheCrashedProcessAndTheAnswerCarriesTheEndingAndTheDeliveryState) {
  CrashedSide crashed;
  crashed.Greet();
  TCDHelperSession session(crashed.helperFd);
  std::string error;
  ASSERT_TRUE(session.Open(error, 5000)) << error;

  std::thread answering([&] {
    const TCDRawFrame asked = crashed.Receive();
    EXPECT_EQ(asked.Kind, static_cast<uint32_t>(TCDHelperFrame::Action));
    EXPECT_EQ(DecodeAction(asked.Payload), std::optional<int32_t>(1));
    crashed.SendSmall([](TCDWireWriter& w) { EncodeActionResult(w, true); });
  });
  EXPECT_TRUE(session.Exception().CallActionHandlers(TCDAction::Save));
  answering.join();

  session.Exception().SetSent(true);
  ASSERT_TRUE(session.Answer(TCDEnding::Restart));
  const TCDRawFrame answer = crashed.Receive();
  ASSERT_EQ(answer.Kind, static_cast<uint32_t>(TCDHelperFrame::Answer));
  const std::optional<TCDHelperAnswer> a = DecodeAnswer(answer.Payload);
  ASSERT_TRUE(a);
  EXPECT_EQ(a->Ending, 5);
  EXPECT_TRUE(a->Sent);
  EXPECT_FALSE(a->Saved);
}

TEST(HelperSession, ACrashedProcessThatGoesAwayEndsEveryWaitOfTheBox) {
  CrashedSide crashed;
  crashed.Greet();
  TCDHelperSession session(crashed.helperFd);
  std::string error;
  ASSERT_TRUE(session.Open(error, 5000)) << error;
  crashed.Close();
  EXPECT_FALSE(session.Exception().CallActionHandlers(TCDAction::Send));
  EXPECT_TRUE(session.Exception().Report().WaitComplete(5000));
}

TEST(HelperSession, SomethingElseThanAGreetingIsRefusedWithAReason) {
  for (const std::string& bytes : {std::string(), std::string("garbage that is no frame at all")}) {
    CrashedSide crashed;
    crashed.Send(bytes);
    crashed.Close();
    TCDHelperSession session(crashed.helperFd);
    std::string error;
    EXPECT_FALSE(session.Open(error, 2000));
    EXPECT_FALSE(error.empty());
  }
}

}  // namespace
