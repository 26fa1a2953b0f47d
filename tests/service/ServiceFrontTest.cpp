// The HTTP front's pieces on plain values: who the caller is behind
// proxies, credentials and cookies from request heads, escaping in the pages
// and the JSON, and sign-in sessions.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "service/http/NodePages.h"
#include "service/http/RequestText.h"
#include "service/http/Sessions.h"
#include "service/http/TrustedProxies.h"

TEST(ServiceFront, OnlyATrustedProxyNamesTheCallerAndOnlyFromTheRight) {
  TTrustedProxies proxies;
  ASSERT_TRUE(proxies.Add("10.0.0.1"));
  ASSERT_TRUE(proxies.Add("172.16.0.0/12"));
  ASSERT_TRUE(proxies.Add("2001:db8::/32"));
  for (const char* bad : {"", "10.0.0", "10.0.0.1/33", "10.0.0.1/", "10.0.0.1/x", "10.0.0.1/-1", "::1/129", "host"})
    EXPECT_FALSE(proxies.Add(bad)) << bad;
  struct Case {
    const char* what;
    const char* peer;
    std::vector<std::string> forwarded;
    const char* caller;
  } cases[] = {
      {"no header", "10.0.0.1", {}, "10.0.0.1"},
      {"a trusted proxy", "10.0.0.1", {"203.0.113.9"}, "203.0.113.9"},
      {"seen through an IPv6 socket", "::ffff:10.0.0.1", {"203.0.113.9"}, "203.0.113.9"},
      {"an untrusted peer forging", "192.0.2.7", {"203.0.113.9"}, "192.0.2.7"},
      {"a forged entry before the real one", "10.0.0.1", {"6.6.6.6, 203.0.113.9"}, "203.0.113.9"},
      {"a chain of trusted proxies", "10.0.0.1", {"203.0.113.9, 172.20.1.1"}, "203.0.113.9"},
      {"several headers are one list", "10.0.0.1", {"6.6.6.6", "203.0.113.9,172.16.0.5"}, "203.0.113.9"},
      {"a network of IPv6 proxies", "2001:db8::5", {"2001:db8:ffff::1, 203.0.113.9"}, "203.0.113.9"},
      {"junk ends the walk at the last proxy", "10.0.0.1", {"203.0.113.9, junk, 172.16.0.5"}, "172.16.0.5"},
      {"an empty entry is junk", "10.0.0.1", {"203.0.113.9,"}, "10.0.0.1"},
      {"only proxies", "10.0.0.1", {"172.16.0.1"}, "172.16.0.1"},
  };
  for (const Case& c : cases) EXPECT_EQ(proxies.Caller(c.peer, c.forwarded), c.caller) << c.what;
  EXPECT_EQ(TTrustedProxies().Caller("10.0.0.1", {"203.0.113.9"}), "10.0.0.1") << "nobody trusted";
}

TEST(ServiceFront, BasicCredentialsAndCookiesAreReadStrictly) {
  struct Case {
    const char* header;
    bool parsed;
    const char* user;
    const char* password;
  } cases[] = {
      {"Basic YWxpY2U6c2VjcmV0", true, "alice", "secret"},
      {"basic  YWxpY2U6c2VjcmV0 ", true, "alice", "secret"},
      {"Basic YWxpY2U6OmE=", true, "alice", ":a"},
      {"Basic YWxpY2U6", true, "alice", ""},
      {"Basic YWxpY2U=", false, "", ""},           // no colon
      {"Basic YWxpY2U6c2VjcmV0=", false, "", ""},  // padding where none belongs
      {"Basic YWxp=2U6", false, "", ""},           // padding in the middle
      {"Basic YWxpY2U6c2VjcmV", false, "", ""},    // cut short
      {"Bearer YWxpY2U6c2VjcmV0", false, "", ""},
      {"Basic", false, "", ""},
      {"", false, "", ""},
  };
  for (const Case& c : cases) {
    const std::optional<TBasicCredentials> got = ParseBasicAuthorization(c.header);
    ASSERT_EQ(got.has_value(), c.parsed) << c.header;
    if (got) {
      EXPECT_EQ(got->User, c.user) << c.header;
      EXPECT_EQ(got->Password, c.password) << c.header;
    }
  }
  EXPECT_FALSE(ParseBasicAuthorization("Basic " + std::string(4000, 'A')).has_value());
  EXPECT_EQ(CookieValue("a=1; pinmark_session=abc; b=2", "pinmark_session"), "abc");
  EXPECT_EQ(CookieValue("xpinmark_session=abc", "pinmark_session"), std::nullopt);
  EXPECT_EQ(CookieValue("", "pinmark_session"), std::nullopt);
}

TEST(ServiceFront, NamesFromClientsAreTextInPagesAndJson) {
  TAccountRecord account{1, "alice", "", 0, 0};
  TNodeView node;
  node.Name = "<script>alert(\"x\")</script>&'";
  node.Address = "203.0.113.9";
  node.LastCheckIn = node.FirstCheckIn = 1700000000000;
  node.History.push_back({1700000000000, "10.0.0.1\xff", "</td><b>"});
  const std::string html = NodesPage(account, {node}, 1700000060000, 7200000);
  EXPECT_EQ(html.find("<script"), std::string::npos);
  EXPECT_EQ(html.find("<b>"), std::string::npos);
  EXPECT_NE(html.find("&lt;script&gt;alert(&quot;x&quot;)&lt;/script&gt;&amp;&#39;"), std::string::npos);
  EXPECT_NE(html.find("10.0.0.1\xEF\xBF\xBD"), std::string::npos) << "a byte that is no UTF-8 becomes U+FFFD";
  EXPECT_NE(html.find("2023-11-14 22:13:20 UTC"), std::string::npos);
  EXPECT_NE(html.find("(1 minute ago)"), std::string::npos);

  const std::string json = NodesJson(account, {node}, 7200000);
  EXPECT_NE(json.find("\"name\":\"\\u003cscript\\u003ealert(\\u0022x\\u0022)\\u003c/script\\u003e\\u0026'\""),
            std::string::npos)
      << json;
  EXPECT_NE(json.find("\"last_check_in\":\"2023-11-14T22:13:20Z\""), std::string::npos) << json;
  EXPECT_EQ(JsonString(std::string("a\nb\x01\\", 5)), "\"a\\u000ab\\u0001\\u005c\"");
  EXPECT_EQ(SignInPage("\"><script>", "").find("<script>"), std::string::npos);
  EXPECT_EQ(ReadableTime(-5), "unknown time") << "a time no clock gives is no date";
}

TEST(ServiceFront, SessionsEndWithTheirTimeOnSignOutAndOldestFirstWhenFull) {
  TSessions sessions;
  const TAccountRecord alice{1, "alice", "h", 0, 0};
  const std::string token = sessions.Begin(alice, 1000);
  EXPECT_EQ(token.size(), 64u);
  EXPECT_NE(sessions.Begin(alice, 1000), token);
  ASSERT_TRUE(sessions.Find(token, 1000 + TSessions::Lifetime - 1).has_value());
  EXPECT_EQ(sessions.Find(token, 1000 + TSessions::Lifetime - 1)->Name, "alice");
  EXPECT_FALSE(sessions.Find(token, 1000 + TSessions::Lifetime).has_value());
  const std::string other = sessions.Begin(alice, 2000);
  sessions.End(other);
  EXPECT_FALSE(sessions.Find(other, 2000).has_value());
  EXPECT_FALSE(sessions.Find(std::string(64, '0'), 2000).has_value());
  EXPECT_FALSE(sessions.Find("", 2000).has_value());

  const std::string oldest = sessions.Begin(alice, 3000);
  for (std::size_t i = 1; i < TSessions::Capacity + 10; ++i) sessions.Begin(alice, 4000);
  EXPECT_EQ(sessions.Size(), TSessions::Capacity);
  EXPECT_FALSE(sessions.Find(oldest, 4000).has_value());
}
