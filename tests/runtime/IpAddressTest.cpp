#include "runtime/IpAddress.h"

#include <gtest/gtest.h>

#include <string>
#include <string_view>

using namespace std::string_view_literals;

TEST(IpAddress, TextIsAnAddressOnlyWhenWhollyOneAndIsWrittenInItsUsualForm) {
  struct Case {
    std::string_view text;
    const char* canonical;  // nullptr: no address
    TIpFamily family;       // as written (before unmapping)
  } cases[] = {
      {"192.0.2.1", "192.0.2.1", TIpFamily::IPv4},
      {"0.0.0.0", "0.0.0.0", TIpFamily::IPv4},
      {"::ffff:192.0.2.1", "192.0.2.1", TIpFamily::IPv6},
      {"::FFFF:c000:0201", "192.0.2.1", TIpFamily::IPv6},
      {"2001:DB8:0:0::1", "2001:db8::1", TIpFamily::IPv6},
      {"::", "::", TIpFamily::IPv6},
      {"::192.0.2.1", "::192.0.2.1", TIpFamily::IPv6},  // IPv4-compatible is not mapped
      {"0000:0000:0000:0000:0000:ffff:255.255.255.255", "255.255.255.255", TIpFamily::IPv6},  // the longest
      {"0000:0000:0000:0000:0000:ffff:255.255.255.2550", nullptr, {}},
      {"192.0.2.01", nullptr, {}},
      {"192.0.2", nullptr, {}},
      {"256.0.0.1", nullptr, {}},
      {"1.2.3.4 ", nullptr, {}},
      {" 1.2.3.4", nullptr, {}},
      {"1.2.3.4\0junk"sv, nullptr, {}},
      {"1.2.3.4\0"sv, nullptr, {}},
      {"", nullptr, {}},
      {"example.org", nullptr, {}},
      {"fe80::1%eth0", nullptr, {}},
      {"2001:db8::/32", nullptr, {}},
      {"[::1]", nullptr, {}},
      {"1:2:3:4:5:6:7:8:9", nullptr, {}},
  };
  for (const Case& c : cases) {
    const std::string shown(c.text);
    const std::optional<std::string> canonical = CanonicalAddress(c.text);
    ASSERT_EQ(canonical.has_value(), c.canonical != nullptr) << shown;
    if (!c.canonical) continue;
    EXPECT_EQ(*canonical, c.canonical) << shown;
    const TIpAddress parsed = *TIpAddress::Parse(c.text);
    EXPECT_EQ(parsed.Family(), c.family) << shown;
    // What is written reads back as the same address.
    EXPECT_EQ(TIpAddress::Parse(*canonical)->Unmapped(), parsed.Unmapped()) << shown;
  }
}

TEST(IpAddress, BytesMasksAndBothFamiliesInOneSpace) {
  const unsigned char v4[4] = {192, 0, 2, 1};
  const unsigned char v6[16] = {0x20, 0x01, 0x0d, 0xb8, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 1};
  EXPECT_EQ(TIpAddress::FromBytes(v4, 4), TIpAddress::Parse("192.0.2.1"));
  EXPECT_EQ(TIpAddress::FromBytes(v6, 16).Text(), "2001:db8::1");
  EXPECT_THROW(TIpAddress::FromBytes(v6, 5), EIpAddress);
  // An IPv4 address and its mapped IPv6 form share their 16 bytes but not their family.
  EXPECT_EQ(TIpAddress::Parse("192.0.2.1")->Bytes16(), TIpAddress::Parse("::ffff:192.0.2.1")->Bytes16());
  EXPECT_NE(TIpAddress::Parse("192.0.2.1"), TIpAddress::Parse("::ffff:192.0.2.1"));

  const struct {
    const char* address;
    int bits;
    const char* masked;
  } masks[] = {
      {"2001:db8:1:2:3:4:5:6", 64, "2001:db8:1:2::"},
      {"2001:db8:1:2:3:4:5:6", 60, "2001:db8:1::"},
      {"2001:db8:1:2:3:4:5:6", 0, "::"},
      {"2001:db8:1:2:3:4:5:6", 200, "2001:db8:1:2:3:4:5:6"},
      {"192.0.2.255", 25, "192.0.2.128"},
      {"192.0.2.255", 0, "0.0.0.0"},
      {"192.0.2.255", 64, "192.0.2.255"},  // counted in IPv4's own 32 bits
  };
  for (const auto& m : masks) EXPECT_EQ(TIpAddress::Parse(m.address)->Masked(m.bits).Text(), m.masked) << m.address;
}
