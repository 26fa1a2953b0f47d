// Which addresses fall inside the trusted proxies' networks, at the edges of
// each mask.
#include "service/http/TrustedProxies.h"

#include <gtest/gtest.h>

TEST(TrustedProxies, ANetworkHoldsExactlyTheAddressesItsMaskCovers) {
  TTrustedProxies proxies;
  for (const char* network : {"172.16.0.0/12", "192.0.2.77/31", "2001:db8::/33", "::1"})
    ASSERT_TRUE(proxies.Add(network)) << network;
  struct Case {
    const char* address;
    bool trusted;
  } cases[] = {
      {"172.16.0.0", true},
      {"172.23.255.255", true},
      {"172.24.0.1", true},
      {"172.31.255.255", true},
      {"172.32.0.0", false},
      {"172.15.255.255", false},
      {"::ffff:172.24.1.1", true},
      {"192.0.2.76", true},
      {"192.0.2.77", true},
      {"192.0.2.78", false},
      {"192.0.2.75", false},
      {"2001:db8::1", true},
      {"2001:db8:7fff::1", true},
      {"2001:db8:8000::", false},
      {"2001:db9::", false},
      {"::1", true},
      {"::2", false},
      {"junk", false},
  };
  for (const Case& c : cases) EXPECT_EQ(proxies.Trusted(c.address), c.trusted) << c.address;

  TTrustedProxies everyV4;
  ASSERT_TRUE(everyV4.Add("10.9.0.0/0"));
  EXPECT_TRUE(everyV4.Trusted("203.0.113.9"));
  EXPECT_FALSE(everyV4.Trusted("2001:db8::1")) << "an IPv4 network holds no IPv6 address";
}
