#include "service/dns/DnsPublisher.h"
#include "service/dns/DnsServer.h"

#include <gtest/gtest.h>

TEST(DnsServer, TakesAnAddressOrANameWithOrWithoutAPort) {
  const std::pair<const char*, const char*> good[] = {
      {"127.0.0.1", "127.0.0.1:53"}, {"127.0.0.1:5353", "127.0.0.1:5353"},
      {"[::1]:5353", "[::1]:5353"},  {"::1", "[::1]:53"},
      {"[::1]", "[::1]:53"},         {"2001:db8::53", "[2001:db8::53]:53"},
  };
  for (const auto& [text, shown] : good) EXPECT_EQ(TDnsServer(text).Text(), shown) << text;
  // A name is looked up (localhost from the hosts file, nothing leaves the machine).
  EXPECT_NE(TDnsServer("localhost:65535").Text().find(":65535"), std::string::npos);
}

TEST(DnsServer, SaysWhatIsWrongWithAServerItCannotUse) {
  const std::pair<const char*, const char*> bad[] = {
      {"", "has no host"},
      {":53", "has no host"},
      {"127.0.0.1:", "no valid port"},
      {"127.0.0.1:0", "outside 1 to 65535"},
      {"127.0.0.1:65536", "outside 1 to 65535"},
      {"127.0.0.1:53x", "no valid port"},
      {"[::1", "lacks the ']'"},
      {"[::1]53", "text after its address"},
      {"[]:53", "has no host"},
  };
  for (const auto& [text, expected] : bad) {
    SCOPED_TRACE(text);
    try {
      TDnsServer server(text);
      ADD_FAILURE() << "accepted as " << server.Text();
    } catch (const EDnsServer& error) {
      EXPECT_NE(error.Message().find(expected), std::string::npos) << error.Message();
    }
  }
}

TEST(DnsTtl, IsAWholeNumberOfSecondsThatDnsCanCarry) {
  EXPECT_EQ(TDnsPublisher::ParseTtl("60"), 60u);
  EXPECT_EQ(TDnsPublisher::ParseTtl("0"), 0u);
  EXPECT_EQ(TDnsPublisher::ParseTtl("2147483647"), 2147483647u);
  for (const char* bad : {"", "-1", "60s", " 60", "1e3", "2147483648", "99999999999"})
    EXPECT_THROW(TDnsPublisher::ParseTtl(bad), EDnsUpdate) << bad;
}
