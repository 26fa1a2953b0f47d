// The check-in without windows: the request it composes, the address it
// takes from an answer, and one run against scripted peers, with the bytes
// it sends and the order of its writes to the settings file.
#include "app/CheckIn.h"

#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "http/IdException.h"
#include "settings/md5.h"
#include "settings/uPinmarkIni.h"
#include "tests/support/HttpTestPeer.h"
#include "tests/support/TempDir.h"

namespace {
const std::string kDigest = DigestToHex(MD5OfString("secret"));

// The settings store, with every write it makes noted in order.
class TRecordingIni : public TIniPinmark {
 public:
  using TIniPinmark::TIniPinmark;
  void WriteString(std::string_view section, std::string_view ident, std::string_view value) override {
    writes.push_back(std::string(section) + "/" + std::string(ident));
    if (onWrite) onWrite();
    TIniPinmark::WriteString(section, ident, value);
  }
  std::vector<std::string> writes;
  std::function<void()> onWrite;
};

class CheckInRun : public testing::Test {
 protected:
  void SetUp() override {
    settings.Name = "alice";
    settings.Password = kDigest;
    settings.Computer = "office pc";
  }
  std::string Request(const HttpTestPeer& peer) const {
    return peer.Url("/includes/r_update.php") + "?userid=alice&enc=" + kDigest + "&node=office%20pc";
  }

  TempDir dir;
  TRecordingIni settings{dir.File("Pinmark.ini")};
};
}  // namespace

TEST(CheckInRequestText, ValuesArePercentEncodedExceptUnreservedCharacters) {
  struct Case {
    std::string name, digest, node, request;
  } cases[] = {
      {"ann-1.x_y~z", "d41d8cd98f00b204e9800998ecf8427e", "node",
       "http://svc/u.php?userid=ann-1.x_y~z&enc=d41d8cd98f00b204e9800998ecf8427e&node=node"},
      // Names may hold what would otherwise break the request line or add parameters.
      {"a b&c=d#e", "plain%", "n\xe4/\r\n",
       "http://svc/u.php?userid=a%20b%26c%3Dd%23e&enc=plain%25&node=n%E4%2F%0D%0A"},
      {"", "", "", "http://svc/u.php?userid=&enc=&node="},
  };
  for (const Case& c : cases) EXPECT_EQ(CheckInRequest("http://svc/u.php", c.name, c.digest, c.node), c.request);
}

TEST(CheckInAddress, OnlyFourNumbersFrom0To255MakeAnAddress) {
  struct Case {
    std::string answer, address;
  } cases[] = {
      {"203.0.113.7", "203.0.113.7"},
      {"203.0.113.7\r\n", "203.0.113.7"},
      {"  203.0.113.7  ", "203.0.113.7"},
      {"001.002.003.004", "001.002.003.004"},
      {"\"1\".2.3.4", "1.2.3.4"},
      {"0.0.0.0", "0.0.0.0"},
      {"255.255.255.255", "255.255.255.255"},
      {"1.2.3", "UNKNOWN"},
      {"1.2.3.4.5", "UNKNOWN"},
      {"1.2.3.4 x", "UNKNOWN"},
      {"a.b.c.d", "UNKNOWN"},
      {"1.2.3.", "UNKNOWN"},
      {"256.1.1.1", "UNKNOWN"},
      {"-1.2.3.4", "UNKNOWN"},
      {"", "UNKNOWN"},
      {"Access denied", "UNKNOWN"},
  };
  for (const Case& c : cases) EXPECT_EQ(AddressFromAnswer(c.answer), c.address) << c.answer;
}

// An answer over IPv6 is one IPv6 address, written in its canonical form.
TEST(CheckInAddress, OnlyAnIPv6AddressAnswersTheExchangeOverIPv6) {
  struct Case {
    std::string answer, address;
  } cases[] = {
      {"2001:db8::1", "2001:db8::1"}, {"::1\r\n", "::1"}, {"  fe80::1  ", "fe80::1"},
      // Canonical form: lower case, no leading zeros, the longest (then the
      // first) run of zero groups as "::", a single zero group kept.
      {"2001:0DB8:0000:0000:0000:0000:0000:0001", "2001:db8::1"}, {"2001:db8:0:0:1:0:0:1", "2001:db8::1:0:0:1"},
      {"2001:db8:0:1:0:0:0:1", "2001:db8:0:1::1"}, {"2001:db8:0:1:1:1:1:1", "2001:db8:0:1:1:1:1:1"},
      {"0:0:0:0:0:0:0:0", "::"},
      // Not this computer's IPv6 address, or no address at all.
      {"203.0.113.7", "UNKNOWN"}, {"::ffff:203.0.113.7", "UNKNOWN"}, {"::ffff:cb00:7107", "UNKNOWN"},
      {"::203.0.113.7", "UNKNOWN"}, {"[2001:db8::1]", "UNKNOWN"}, {"fe80::1%eth0", "UNKNOWN"},
      {"2001:db8::1::2", "UNKNOWN"}, {"2001:db8:0:0:0:0:0:0:1", "UNKNOWN"}, {"12345::1", "UNKNOWN"},
      {"2001:db8::1 2001:db8::2", "UNKNOWN"}, {std::string("::1\0junk", 8), "UNKNOWN"},
      {std::string(60, '0') + "::1", "UNKNOWN"}, {"", "UNKNOWN"}, {"Access denied", "UNKNOWN"},
  };
  for (const Case& c : cases) EXPECT_EQ(IPv6AddressFromAnswer(c.answer), c.address) << c.answer;
}

// The address comes from the answer as the file gives it back, so an answer
// with more after its first line still yields the address at its head.
TEST(CheckInAddress, TheRecordedAnswerGivesTheAddressAndIsRecordedWithIt) {
  TempDir dir;
  TIniPinmark settings(dir.File("Pinmark.ini"));
  const std::string huge(5 << 20, 'x');
  struct Case {
    std::string answer, address;
  } cases[] = {
      {huge, "UNKNOWN"},
      {"203.0.113.7\r\n" + huge, "203.0.113.7"},
      {std::string(3000, ' ') + "203.0.113.7", "203.0.113.7"},
  };
  for (const Case& c : cases) {
    settings.SetResponse(c.answer);
    EXPECT_EQ(RecordAddressFromAnswer(settings), c.address);
    EXPECT_EQ(settings.ReadString("Temp", "IPAddress", ""), c.address);
  }
}

TEST_F(CheckInRun, AnAnswerIsRecordedInOrderAndTheRequestGoesOnTheWireAsRecorded) {
  HttpTestPeer peer([](const std::string&, int) {
    return HttpTestPeer::Reply{"HTTP/1.1 200 OK\r\nContent-Length: 13\r\n\r\n203.0.113.7\r\n"};
  });
  settings.URL = peer.Url("/includes/r_update.php");
  TCheckIn checkIn(settings);
  checkIn.OnAddress = [&](const TFamilyAddress& address) { settings.writes.push_back("shown " + address.Text()); };
  settings.writes.clear();

  EXPECT_EQ(checkIn.Run().IPv4.Address, "203.0.113.7");
  EXPECT_EQ(settings.writes, (std::vector<std::string>{"Temp/HTTPRequest", "Temp/HTTPResponse", "Temp/IPAddress",
                                                       "shown 203.0.113.7", "Temp/Refresh"}));
  EXPECT_EQ(settings.GetRequest(), Request(peer));
  EXPECT_EQ(settings.GetResponse(), "203.0.113.7");
  EXPECT_EQ(settings.ReadString("Temp", "IPAddress", ""), "203.0.113.7");
  ASSERT_EQ(peer.Requests().size(), 1u);
  // The head's other lines are the client's own, the same for every POST.
  EXPECT_TRUE(peer.Requests()[0].starts_with("POST /includes/r_update.php?userid=alice&enc=" + kDigest +
                                             "&node=office%20pc HTTP/1.0\r\nConnection: keep-alive\r\n"))
      << peer.Requests()[0];
}

// What the file gives back is what is sent: a request cut by the file's
// value limit goes out cut.
TEST_F(CheckInRun, TheRequestIsSentAsTheFileGivesItBack) {
  HttpTestPeer peer([](const std::string&, int) {
    return HttpTestPeer::Reply{"HTTP/1.1 200 OK\r\nContent-Length: 7\r\n\r\n1.2.3.4"};
  });
  settings.URL = peer.Url("/u.php");
  settings.Name = std::string(3000, 'n');
  TCheckIn(settings).Run();
  const std::string kept = settings.GetRequest();
  ASSERT_EQ(kept.size(), 2047u);
  ASSERT_EQ(peer.Requests().size(), 1u);
  EXPECT_TRUE(peer.Requests()[0].starts_with("POST " + kept.substr(peer.Url("").size()) + " HTTP/1.0\r\n"));
}

TEST_F(CheckInRun, AFailedExchangeRecordsOnlyTheRequestAndRaises) {
  HttpTestPeer peer([](const std::string&, int) {
    return HttpTestPeer::Reply{"HTTP/1.1 500 Internal Server Error\r\nContent-Length: 4\r\n\r\noops"};
  });
  settings.URL = peer.Url("/includes/r_update.php");
  settings.SetResponse("198.51.100.1");
  TCheckIn checkIn(settings);
  bool shown = false;
  checkIn.OnAddress = [&](const TFamilyAddress&) { shown = true; };
  settings.writes.clear();
  EXPECT_THROW(checkIn.Run(), EIdHTTPProtocolException);
  EXPECT_EQ(settings.writes, std::vector<std::string>{"Temp/HTTPRequest"});
  EXPECT_EQ(settings.GetRequest(), Request(peer));
  EXPECT_EQ(settings.GetResponse(), "198.51.100.1");
  EXPECT_FALSE(shown);
}

// A byte every so often keeps each wait short; the run still ends at its
// deadline, as a failure that records only the request.
TEST_F(CheckInRun, ADrippingServiceEndsTheRunAtItsDeadline) {
  hostile::Script drip = hostile::Drip("HTTP/1.1 200 OK\r\n", 100, 100, "X-Drip: a\r\n");
  drip.push_back(hostile::Hold());
  hostile::Peer peer(drip);
  settings.URL = peer.Url("/includes/r_update.php");
  settings.SetResponse("198.51.100.1");
  TCheckIn checkIn(settings);
  checkIn.Deadline = 800;
  settings.writes.clear();
  try {
    checkIn.Run();
    ADD_FAILURE() << "no error";
  } catch (const EIdDeadlineExceeded& e) {
    EXPECT_EQ(e.Message(), "The exchange did not end within 0.800 s.");
  }
  EXPECT_EQ(settings.writes, std::vector<std::string>{"Temp/HTTPRequest"});
  EXPECT_EQ(settings.GetResponse(), "198.51.100.1");
}

// pinmark-checkin ends a stopped run only once it holds the write lock, so
// every write must happen under it.
TEST_F(CheckInRun, EveryWriteToTheSettingsHappensUnderTheWriteLock) {
  HttpTestPeer peer([](const std::string&, int) {
    return HttpTestPeer::Reply{"HTTP/1.1 200 OK\r\nContent-Length: 11\r\n\r\n203.0.113.7"};
  });
  settings.URL = peer.Url("/includes/r_update.php");
  TCheckIn checkIn(settings);
  std::vector<bool> locked;
  settings.onWrite = [&] {
    // Asked from another thread: the writing one may not try a lock it holds.
    std::thread other([&] {
      const bool free = checkIn.WriteLock().try_lock();
      if (free) checkIn.WriteLock().unlock();
      locked.push_back(!free);
    });
    other.join();
  };
  EXPECT_EQ(checkIn.Run().IPv4.Address, "203.0.113.7");
  EXPECT_EQ(locked, std::vector<bool>(settings.writes.size(), true));
  EXPECT_GE(locked.size(), 4u);
}
