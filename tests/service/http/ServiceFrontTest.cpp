// The HTTP front's pieces on plain values: who the caller is behind
// proxies, credentials and cookies from request heads, escaping in the pages
// and the JSON.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "service/http/FrontRequest.h"
#include "service/http/NodePages.h"
#include "service/http/RequestCheck.h"
#include "service/http/RequestText.h"
#include "service/http/TrustedProxies.h"

TEST(ServiceFront, OnlyATrustedProxyNamesTheCallerAndOnlyFromTheRight) {
  TTrustedProxies proxies;
  for (const char* network : {"10.0.0.1", "172.16.0.0/12", "2001:db8::/32"}) ASSERT_NO_THROW(proxies.Add(network));
  for (const char* bad : {"", "10.0.0", "10.0.0.1/33", "10.0.0.1/", "10.0.0.1/x", "10.0.0.1/-1", "::1/129", "host"})
    EXPECT_THROW(proxies.Add(bad), ETrustedProxy) << bad;
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
  EXPECT_NE(json.find("\"ipv4\":{\"address\":null,\"last_check_in\":null,\"stale\":false}"), std::string::npos)
      << "a family never seen: " << json;
  EXPECT_NE(json.find("\"family\":\"ipv4\",\"from\":\"10.0.0.1\xEF\xBF\xBD\""), std::string::npos) << json;

  // Each family shown by itself, with its own stale mark, and the family of each change.
  node.IPv4 = {"203.0.113.9", 1700000000000};
  node.IPv6 = {"2001:db8::<9>", 1690000000000};
  node.StaleIPv6 = true;
  node.History.insert(node.History.begin(), {1700000000000, "", "2001:db8::<9>", TAddressFamily::IPv6});
  const std::string both = NodesPage(account, {node}, 1700000060000, 7200000);
  EXPECT_NE(both.find("<dt>IPv4</dt><dd class=\"family\"><span class=\"address ip\">203.0.113.9</span>, last check-in"),
            std::string::npos)
      << both;
  EXPECT_NE(both.find("<span class=\"address ip\">2001:db8::&lt;9&gt;</span>"), std::string::npos) << both;
  EXPECT_NE(both.find("(115 days ago) <span class=\"note\">stale</span></dd>"), std::string::npos) << both;
  EXPECT_NE(both.find("<td class=\"family\">IPv6</td><td class=\"move\">(none) &#8594;&#160;<span class=\"address "
                      "ip\">2001:db8::&lt;9&gt;</span></td>"),
            std::string::npos)
      << both;
  EXPECT_EQ(JsonString(std::string("a\nb\x01\\", 5)), "\"a\\u000ab\\u0001\\u005c\"");
  EXPECT_EQ(SignInPage("\"><script>", "").find("<script>"), std::string::npos);
  EXPECT_EQ(ReadableTime(-5), "unknown time") << "a time no clock gives is no date";
}

TEST(ServiceFront, AHeadReadsTheSameWhereverItsBytesAreCut) {
  struct Case {
    const char* what;
    std::string bytes;
    long long end;  // where the head ends, or minus the status it is refused with
  } cases[] = {
      {"a whole head", "GET / HTTP/1.1\r\nHost: h\r\n\r\nNEXT", 27},
      {"a bare LF", "GET / HTTP/1.1\nHost: h\r\n\r\n", -400},
      {"a head without its end yet", "GET / HTTP/1.1\r\nHost: h\r\n", 0},
      {"a head over its limit", "GET / HTTP/1.1\r\nX: " + std::string(TRequestCheck::MaxHeadBytes, 'x'), -431},
      {"a request line over the target's limit", "GET /" + std::string(TRequestCheck::MaxTargetBytes + 40, 'a'),
       -414},
  };
  auto endOf = [](std::string_view bytes, std::size_t from) -> long long {
    try {
      return static_cast<long long>(TRequestCheck::HeadEnd(bytes, from));
    } catch (const ERequestRefused& e) {
      return -e.Status();
    }
  };
  for (const Case& c : cases)
    for (std::size_t cut = 0; cut <= c.bytes.size(); cut += c.bytes.size() > 100 ? 97 : 1) {
      const long long first = endOf(std::string_view(c.bytes).substr(0, cut), 0);
      EXPECT_EQ(first != 0 ? first : endOf(c.bytes, cut), c.end) << c.what << " cut at " << cut;
    }

  const TRequestHead head =
      TRequestCheck::Parse("POST /a%20b?x=1 HTTP/1.0\r\nContent-Length: 12\r\nCookie: a=1\r\nCookie: b=2\r\n\r\n");
  EXPECT_EQ(head.Path, "/a b");
  EXPECT_EQ(head.Query, "x=1");
  EXPECT_EQ(head.ContentLength, 12u);
  EXPECT_FALSE(head.KeepAlive) << "HTTP/1.0 closes unless asked";
  EXPECT_EQ(head.AllFields("cookie"), (std::vector<std::string>{"a=1", "b=2"}));
  const TFrontRequest form = TFrontRequest::Make(
      TRequestCheck::Parse("POST /signin?name=q HTTP/1.1\r\nHost: h:1\r\nOrigin: http://h:1\r\n"
                           "Content-Type: application/x-www-form-urlencoded\r\nContent-Length: 20\r\n\r\n"),
      "name=a+b&password=%41", "127.0.0.1", false);
  EXPECT_EQ(form.Param("name"), "q") << "the query's first";
  EXPECT_EQ(form.Param("password"), "A");
  EXPECT_FALSE(form.FromAnotherSite());
}

TEST(ServiceFront, ABrowserSaysWhenAnotherSiteSentTheRequest) {
  struct Case {
    const char* fields;
    bool anotherSite, crossSiteNavigation;
  } cases[] = {
      {"", false, false},
      {"Origin: http://h:1\r\n", false, false},
      {"Origin: https://h:1\r\n", false, false},  // TLS ended at a proxy
      {"Origin: null\r\nSec-Fetch-Site: same-origin\r\n", false, false},
      {"Origin: http://evil.example\r\n", true, false},
      {"Origin: http://h:2\r\n", true, false},
      {"Sec-Fetch-Site: same-site\r\n", true, false},
      {"Sec-Fetch-Site: cross-site\r\nSec-Fetch-Mode: cors\r\n", true, false},
      {"Sec-Fetch-Site: cross-site\r\nSec-Fetch-Mode: navigate\r\n", true, true},
      {"Sec-Fetch-Site: none\r\nSec-Fetch-Mode: navigate\r\n", false, false},  // typed in the address bar
  };
  for (const Case& c : cases) {
    const TFrontRequest req = TFrontRequest::Make(
        TRequestCheck::Parse(std::string("GET / HTTP/1.1\r\nHost: h:1\r\n") + c.fields + "\r\n"), "", "::1", false);
    EXPECT_EQ(req.FromAnotherSite(), c.anotherSite) << c.fields;
    EXPECT_EQ(req.CrossSiteNavigation(), c.crossSiteNavigation) << c.fields;
  }
}
