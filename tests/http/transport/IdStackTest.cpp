#include "http/transport/IdStack.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netdb.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <string>

#include "http/transport/IdStackPosix.h"
#include "http/transport/IdStackRegistry.h"

namespace {

class StackHeld : public ::testing::Test {
 protected:
  TIdStackUser user_;
  TIdStack& stack_ = *GStack();
};

TEST(IdStackText, DottedQuadCheck) {
  struct Case {
    const char* text;
    bool valid;
  } cases[] = {
      {"1.2.3.4", true},   {"127.0.0.1", true},  {"10. 0.0.1", true}, {"255.255.255.255", true},
      {"0.0.0.0", true},   {"1.2.3", false},     {"1.2.3.4.5", false}, {"1.2.3.256", false},
      {"256.1.1.1", false}, {"a.b.c.d", false},  {"", false},          {"1..2.3", false},
      {"-1.2.3.4", false}, {"1.2.3.4 x", false},
  };
  for (const Case& c : cases) EXPECT_EQ(TIdStack::IsIPv4Text(c.text), c.valid) << c.text;
}

TEST(IdStackText, IPv6TextIsFullUpperCaseGroups) {
  uint8_t bytes[16] = {0x20, 0x01, 0x0d, 0xb8, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0x0a, 0xbc};
  EXPECT_EQ(TIdStackBSDBase::IPv6BytesToText(bytes), "2001:DB8:0:0:0:0:0:ABC");
  TIdStackPosix stack;
  EXPECT_EQ(stack.NormalizeIPv6Address("::1"), "0:0:0:0:0:0:0:1");
  EXPECT_EQ(stack.NormalizeIPv6Address("[fe80::1:2]"), "FE80:0:0:0:0:0:1:2");
  EXPECT_EQ(stack.NormalizeIPv6Address("example.com"), "");
  EXPECT_EQ(stack.NormalizeIPv6Address("1.2.3.4"), "");
}

TEST(IdStackErrors, ErrnoValuesMapToTheCodesThatMeanTheSame) {
  struct Case {
    int error;
    int32_t code;
  } cases[] = {
      {EINTR, 10004},        {EBADF, 10009},       {EACCES, 10013},       {EINVAL, 10022},
      {EMFILE, 10024},       {EWOULDBLOCK, 10035}, {EINPROGRESS, 10036},  {ENOTSOCK, 10038},
      {EADDRINUSE, 10048},   {EADDRNOTAVAIL, 10049}, {ENETUNREACH, 10051}, {ECONNABORTED, 10053},
      {ECONNRESET, 10054},   {EPIPE, 10054},       {ENOBUFS, 10055},      {EISCONN, 10056},
      {ENOTCONN, 10057},     {ETIMEDOUT, 10060},   {ECONNREFUSED, 10061}, {EHOSTUNREACH, 10065},
      {EAFNOSUPPORT, 10047}, {ENOENT, ENOENT},
  };
  for (const Case& c : cases) EXPECT_EQ(TIdStackPosix::TranslateErrno(c.error), c.code) << c.error;
}

TEST(IdStackErrors, ResolverResultsMapToTheCodesThatMeanTheSame) {
  EXPECT_EQ(TIdStackPosix::TranslateResolverError(EAI_NONAME, 0), 11001);
  EXPECT_EQ(TIdStackPosix::TranslateResolverError(EAI_AGAIN, 0), 11002);
  EXPECT_EQ(TIdStackPosix::TranslateResolverError(EAI_FAIL, 0), 11003);
  EXPECT_EQ(TIdStackPosix::TranslateResolverError(EAI_FAMILY, 0), 10047);
  EXPECT_EQ(TIdStackPosix::TranslateResolverError(EAI_SOCKTYPE, 0), 10044);
  EXPECT_EQ(TIdStackPosix::TranslateResolverError(EAI_SERVICE, 0), 10109);
  EXPECT_EQ(TIdStackPosix::TranslateResolverError(EAI_MEMORY, 0), 8);
  EXPECT_EQ(TIdStackPosix::TranslateResolverError(EAI_SYSTEM, ECONNREFUSED), 10061);
}

TEST_F(StackHeld, ErrorMessagesCarryCodeAndText) {
  EXPECT_EQ(stack_.SocketErrorText(10061), "Socket Error # 10061\r\nConnection refused.");
  EXPECT_EQ(stack_.SocketErrorText(10066), "Socket Error # 10066\r\nDirectory not empty");
  // A code without a text keeps the line break and nothing after it.
  EXPECT_EQ(stack_.SocketErrorText(11004), "Socket Error # 11004\r\n");
  try {
    stack_.RaiseSocketError(10038);
    FAIL();
  } catch (const EIdNotASocket& e) {
    EXPECT_EQ(e.SocketErrorCode, 10038);
    EXPECT_STREQ(e.ClassName(), "EIdNotASocket");
  }
  try {
    stack_.RaiseSocketError(10054);
    FAIL();
  } catch (const EIdSocketError& e) {
    EXPECT_STREQ(e.ClassName(), "EIdSocketError");
    EXPECT_EQ(e.Message(), "Socket Error # 10054\r\nConnection reset by peer.");
  }
  EXPECT_EQ(dynamic_cast<TIdStackPosix&>(stack_).CheckSocketResult(5), 5);
}

TEST_F(StackHeld, ResolveLeavesAddressesAndLocalhostAlone) {
  EXPECT_EQ(stack_.ResolveHostAddress("LocalHost", Id_IPv4), "127.0.0.1");
  EXPECT_EQ(stack_.ResolveHostAddress("localhost", Id_IPv4), "127.0.0.1");
  EXPECT_EQ(stack_.ResolveHostAddress("127.0.0.1", Id_IPv4), "127.0.0.1");
  EXPECT_EQ(stack_.ResolveHostAddress("10. 0.0.1", Id_IPv4), "10. 0.0.1");
  EXPECT_EQ(stack_.ResolveHostAddress("::1", Id_IPv6), "0:0:0:0:0:0:0:1");
  EXPECT_THROW(stack_.ResolveHostAddress("x", static_cast<TIdIPVersion>(7)), EIdIPVersionUnsupported);
}

TEST_F(StackHeld, NonAddressesAreLookedUpAndUnknownHostsFail) {
  for (const char* host : {"256.1.1.1", "1.2.3.4.5", "no-such-host.invalid"}) {
    try {
      stack_.ResolveHostAddress(host, Id_IPv4);
      ADD_FAILURE() << host << " resolved";
    } catch (const EIdSocketError& e) {
      EXPECT_EQ(e.SocketErrorCode, 11001) << host;
      EXPECT_EQ(e.Message(), "Socket Error # 11001\r\nHost not found.") << host;
    }
  }
  EXPECT_THROW(stack_.LookupHostAddress(std::string("local\0host", 10), Id_IPv4), EIdSocketError);
}

TEST_F(StackHeld, LookupFindsLocalNames) {
  EXPECT_EQ(stack_.LookupHostAddress("localhost", Id_IPv4), "127.0.0.1");
  EXPECT_FALSE(stack_.LocalHostName.empty());
}

// Restores the platform stack whatever a test registered.
class StackRegistration : public ::testing::Test {
 protected:
  void TearDown() override {
    SetStackClass([] { return std::unique_ptr<TIdStack>(new TIdStackPosix()); });
  }
};

class FailingStartStack : public TIdStackPosix {
 public:
  int32_t StartLibrary() override { return 1; }
};

TEST_F(StackRegistration, FailedCreationLeavesTheCountHonest) {
  ASSERT_EQ(StackUsageCount(), 0);
  SetStackClass(nullptr);
  try {
    AcquireStack();
    FAIL();
  } catch (const EIdException& e) {
    EXPECT_EQ(e.Message(), "Stack Class is undefined.");
  }
  EXPECT_EQ(StackUsageCount(), 0);
  EXPECT_EQ(GStack(), nullptr);

  SetStackClass([]() -> std::unique_ptr<TIdStack> { throw EIdException("boom"); });
  EXPECT_THROW(AcquireStack(), EIdException);
  EXPECT_EQ(StackUsageCount(), 0);

  SetStackClass([] { return std::unique_ptr<TIdStack>(new TIdStackPosix()); });
  AcquireStack();
  EXPECT_EQ(StackUsageCount(), 1);
  EXPECT_NE(GStack(), nullptr);
  ReleaseStack();
  EXPECT_EQ(StackUsageCount(), 0);
  EXPECT_EQ(GStack(), nullptr);
}

TEST_F(StackRegistration, StartFailureRaisesAndLeavesNoStack) {
  if (StackStarted()) GTEST_SKIP() << "the socket library was started earlier in this process";
  SetStackClass([] { return std::unique_ptr<TIdStack>(new FailingStartStack()); });
  try {
    AcquireStack();
    FAIL();
  } catch (const EIdStackInitializationFailed& e) {
    EXPECT_EQ(e.Message(), "Winsock Initialization Error.");
  }
  EXPECT_EQ(StackUsageCount(), 0);
  EXPECT_FALSE(StackStarted());
}

TEST_F(StackRegistration, LibraryStartsOnceWhileStacksComeAndGo) {
  AcquireStack();
  ReleaseStack();
  ASSERT_TRUE(StackStarted());
  // Once started, the library is not started again: a stack whose start would
  // fail is created (twice, for two rounds) without being asked to start.
  int created = 0;
  SetStackClass([&created] {
    ++created;
    return std::unique_ptr<TIdStack>(new FailingStartStack());
  });
  for (int i = 0; i < 2; ++i) {
    AcquireStack();
    AcquireStack();
    EXPECT_EQ(StackUsageCount(), 2);
    ReleaseStack();
    ReleaseStack();
    EXPECT_EQ(GStack(), nullptr);
  }
  EXPECT_EQ(created, 2);
}

// A receive fills the whole area from bytes already queued, however the
// socket hands them out, and a reset behind them is reported only once
// every byte before it was handed on.
TEST_F(StackHeld, ReceiveFillsTheAreaAndReportsAResetAfterTheBytesBeforeIt) {
  const int listener = ::socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t length = sizeof address;
  ASSERT_EQ(::bind(listener, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
  ASSERT_EQ(::listen(listener, 1), 0);
  ASSERT_EQ(::getsockname(listener, reinterpret_cast<sockaddr*>(&address), &length), 0);

  const TIdStackSocketHandle client = stack_.CreateSocket(Id_SOCK_STREAM, Id_IPPROTO_TCP, false, Id_IPv4);
  stack_.ConnectSocket(client, "127.0.0.1", Id_IPv4, ntohs(address.sin_port));
  const int server = ::accept(listener, nullptr, nullptr);
  ASSERT_GE(server, 0);
  const std::string sent(40000, 'r');
  ASSERT_EQ(::send(server, sent.data(), sent.size(), 0), static_cast<ssize_t>(sent.size()));
  const linger abort{1, 0};
  ::setsockopt(server, SOL_SOCKET, SO_LINGER, &abort, sizeof abort);
  ::close(server);  // a reset right behind the bytes
  // Wait until everything, the reset included, has arrived.
  pollfd ready{client, POLLIN, 0};
  int queued = 0;
  for (int i = 0; i < 200 && (queued < 40000 || !(ready.revents & (POLLERR | POLLHUP))); ++i) {
    ::poll(&ready, 1, 10);
    ::ioctl(client, FIONREAD, &queued);
  }

  TIdBytes area(32768);
  EXPECT_EQ(stack_.ReceiveData(client, area), 32768);
  EXPECT_EQ(stack_.ReceiveData(client, area), 40000 - 32768);
  try {
    stack_.ReceiveData(client, area);
    ADD_FAILURE() << "the reset went unreported";
  } catch (const EIdSocketError& e) {
    EXPECT_EQ(e.SocketErrorCode, Id_WSAECONNRESET);
  }
  stack_.CloseSocketHandle(client);
  ::close(listener);
}

}  // namespace
