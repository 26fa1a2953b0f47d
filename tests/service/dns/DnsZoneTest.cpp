#include "service/dns/DnsZone.h"

#include <gtest/gtest.h>

TEST(DnsZone, PublishesOnlyNamesMadeOfHostLabels) {
  const TDnsZone zone("Dyn.Example.ORG.");
  EXPECT_EQ(zone.Name(), "dyn.example.org.");
  struct Case {
    std::string node, account;
    const char* published;  // or the reason
  };
  const Case cases[] = {
      {"Laptop", "Alice", "laptop.alice.dyn.example.org."},
      {"a", "0", "a.0.dyn.example.org."},
      {"web-01", "x-y", "web-01.x-y.dyn.example.org."},
      {std::string(63, 'n'), "a", nullptr},
      {"my_box", "alice", "the node name holds '_'; only letters, digits and '-' can be published"},
      {"box", "al.ice", "the account name holds '.'; only letters, digits and '-' can be published"},
      {"", "alice", "the node name is empty"},
      {std::string(64, 'n'), "alice", "the node name is longer than 63 characters"},
      {"-box", "alice", "the node name starts or ends with '-'"},
      {"box-", "alice", "the node name starts or ends with '-'"},
      {"my box", "alice", "the node name holds a blank; only letters, digits and '-' can be published"},
      {"b\xc3\xb6rse", "alice",
       "the node name holds a character other than letters, digits and '-', which cannot be published"},
      {std::string("a\0b", 3), "alice",
       "the node name holds a character other than letters, digits and '-', which cannot be published"},
      {"<script>", "alice", "the node name holds '<'; only letters, digits and '-' can be published"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.node + " / " + c.account);
    const TDnsOwnerName name = zone.OwnerName(c.node, c.account);
    if (c.published == nullptr) {
      EXPECT_TRUE(name.Valid()) << name.Reason;
    } else if (std::string(c.published).find(".dyn.example.org.") != std::string::npos) {
      EXPECT_EQ(name.Name, c.published);
      EXPECT_TRUE(name.Valid());
    } else {
      EXPECT_FALSE(name.Valid());
      EXPECT_TRUE(name.Name.empty());
      EXPECT_EQ(name.Reason, c.published);
    }
  }
}

TEST(DnsZone, RefusesANameThatWouldNotFitDns) {
  // A zone of 128 characters leaves 60 for the account next to a node of 63.
  const std::string longZone = std::string(60, 'z') + "." + std::string(60, 'y') + "." + std::string(6, 'x');
  const TDnsZone zone(longZone);
  const TDnsOwnerName fits = zone.OwnerName(std::string(63, 'a'), std::string(60, 'b'));
  EXPECT_TRUE(fits.Valid()) << fits.Reason;
  EXPECT_EQ(fits.Name.size(), 254u);  // 253 and the final dot
  const TDnsOwnerName tooLong = zone.OwnerName(std::string(63, 'a'), std::string(61, 'b'));
  EXPECT_NE(tooLong.Reason.find("longer than 253"), std::string::npos) << tooLong.Reason;
}

TEST(DnsZone, RefusesAZoneThatIsNoHostName) {
  for (const char* bad : {"", ".", "dyn..example.org", "_dyn.example.org", "dyn.example.org..", "-a.org"}) {
    SCOPED_TRACE(bad);
    EXPECT_THROW(TDnsZone{bad}, EDnsZone);
  }
}

TEST(DnsZone, TellsWhereADyndnsHostNameLies) {
  const TDnsZone zone("dyn.example.org");
  struct Case {
    const char* host;
    TDnsHostMatch::TKind kind;
    const char* node;
    const char* account;
  };
  const Case cases[] = {
      {"laptop.alice.dyn.example.org", TDnsHostMatch::NodeName, "laptop", "alice"},
      {"Laptop.ALICE.DYN.example.org.", TDnsHostMatch::NodeName, "Laptop", "ALICE"},
      {"alice.dyn.example.org", TDnsHostMatch::NotANodeName, "", ""},
      {"a.laptop.alice.dyn.example.org", TDnsHostMatch::NotANodeName, "", ""},
      {"my_box.alice.dyn.example.org", TDnsHostMatch::NotANodeName, "", ""},
      {".alice.dyn.example.org", TDnsHostMatch::NotANodeName, "", ""},
      {"dyn.example.org", TDnsHostMatch::OutsideZone, "", ""},
      {"laptop.alice.example.org", TDnsHostMatch::OutsideZone, "", ""},
      {"laptop.alicedyn.example.org", TDnsHostMatch::OutsideZone, "", ""},
      {"laptop.alice.dyn.example.org.evil", TDnsHostMatch::OutsideZone, "", ""},
      {"", TDnsHostMatch::OutsideZone, "", ""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.host);
    const TDnsHostMatch match = zone.Match(c.host);
    EXPECT_EQ(match.Kind, c.kind);
    EXPECT_EQ(match.Node, c.node);
    EXPECT_EQ(match.Account, c.account);
  }
}
