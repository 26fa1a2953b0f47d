// Which addresses fall inside the trusted proxies' networks, at the edges of
// each mask.
#include "service/http/TrustedProxies.h"

#include <gtest/gtest.h>

TEST(TrustedProxies, ANetworkHoldsExactlyTheAddressesItsMaskCovers) {
  TTrustedProxies proxies;
  for (const char* network : {"172.16.0.0/12", "192.0.2.77/31", "2001:db8::/33", "::1"})
    ASSERT_NO_THROW(proxies.Add(network)) << network;
  for (const char* inside : {"172.16.0.0", "172.23.255.255", "172.24.0.1", "172.31.255.255", "::ffff:172.24.1.1",
                             "192.0.2.76", "192.0.2.77", "2001:db8::1", "2001:db8:7fff::1", "::1"})
    EXPECT_TRUE(proxies.Trusted(inside)) << inside;
  for (const char* outside :
       {"172.32.0.0", "172.15.255.255", "192.0.2.78", "192.0.2.75", "2001:db8:8000::", "2001:db9::", "::2", "junk"})
    EXPECT_FALSE(proxies.Trusted(outside)) << outside;
}
