#include "http/protocol/IdCookieManager.h"

#include <gtest/gtest.h>

#include "http/protocol/IdHttpDate.h"
#include "runtime/SysUtils.h"
#include "tests/http/protocol/TimeZone.h"

namespace {
using Ports = std::vector<int32_t>;

// The stored cookie of that name for the domain, or nullptr.
TIdNetscapeCookie* Stored(TIdCookieManager& manager, const std::string& domain, const std::string& name) {
  return manager.CookieCollection().FindCookie(domain, name);
}
}  // namespace

TEST(IdCookie, CookieTextIsSplitIntoItsAttributes) {
  struct Case {
    std::string text;
    std::string name, value, path, domain, expires;
    bool secure;
    int64_t maxAge;
    std::string version, comment;
  } cases[] = {
      {"a=1; path=/x; secure", "a", "1", "/x", "", "", true, -1, "", ""},
      {"  sid = x=y ;PaTh=\"/q\";Domain=example.com;Version=1;Comment=hi", "sid ", " x=y", "/q", "example.com", "",
       false, -1, "1", "hi"},
      {"n=v; expires=Sun, 06 Nov 1994 08:49:37 GMT; max-age=abc", "n", "v", "/", "",
       "Sun, 06 Nov 1994 08:49:37 GMT", false, -1, "", ""},
      {"n=v; expires=Sun, 06 Nov 1994 08:49:37 GMT; Max-Age=5", "n", "v", "/", "", "Sun, 06 Nov 1994 08:49:37 GMT",
       false, 5, "", ""},
      {"flagonly", "flagonly", "", "/", "", "", false, -1, "", ""},
      {"a=1; path=; secure=yes;;", "a", "1", "/", "", "", false, -1, "", ""},
      {"", "", "", "", "", "", false, -1, "", ""},
  };
  for (const Case& c : cases) {
    TIdCookieRFC2109 cookie;
    cookie.SetCookieText(c.text);
    EXPECT_EQ(cookie.CookieName, c.name) << c.text;
    EXPECT_EQ(cookie.Value, c.value) << c.text;
    EXPECT_EQ(cookie.Path, c.path) << c.text;
    EXPECT_EQ(cookie.Domain, c.domain) << c.text;
    EXPECT_EQ(cookie.Expires, c.expires) << c.text;
    EXPECT_EQ(cookie.Secure, c.secure) << c.text;
    EXPECT_EQ(cookie.MaxAge, c.maxAge) << c.text;
    EXPECT_EQ(cookie.Version, c.version) << c.text;
    EXPECT_EQ(cookie.Comment, c.comment) << c.text;
  }
}

TEST(IdCookie, MaxAgeWithoutExpiryBecomesADateInUtc) {
  ScopedTimeZone berlin(kBerlin);
  TIdCookieRFC2109 cookie;
  int64_t before = std::time(nullptr);
  cookie.SetCookieText("a=1; Max-Age=60");
  int64_t after = std::time(nullptr);
  EXPECT_EQ(cookie.MaxAge, 60);
  EXPECT_EQ(cookie.Style, 0);
  // Written in UTC; read back it is a local time one minute ahead.
  ScopedTimeZone utc("UTC0");
  int64_t expiry = DateTimeToUnix(ParseHttpDate(cookie.Expires));
  EXPECT_GE(expiry, before + 60);
  EXPECT_LE(expiry, after + 60);

  TIdCookieRFC2109 huge;
  huge.SetCookieText("a=1; Max-Age=9223372036854775807");
  EXPECT_EQ(huge.Expires, "Fri, 31 Dec 9999 23:59:59 GMT");
  TIdCookieRFC2109 session;
  session.SetCookieText("a=1; Max-Age=-5");
  EXPECT_EQ(session.Expires, "");
}

TEST(IdCookie, Rfc2965ReadsCommentUrlDiscardAndPorts) {
  struct Case {
    std::string text;
    Ports ports;
    bool discard;
    std::string commentUrl;
  } cases[] = {
      {"a=1", {80}, false, ""},
      {"a=1; Port=\"80, 8080\"; Discard; CommentURL=http://c/", {80, 8080}, true, "http://c/"},
      {"a=1; Port=\"\"", {80}, false, ""},
      {"a=1; Port=81", {}, false, ""},
      {"a=1; port", {80}, false, ""},
  };
  for (const Case& c : cases) {
    TIdCookieRFC2965 cookie;
    cookie.SetCookieText(c.text);
    EXPECT_EQ(cookie.PortList, c.ports) << c.text;
    EXPECT_EQ(cookie.Discard, c.discard) << c.text;
    EXPECT_EQ(cookie.CommentURL, c.commentUrl) << c.text;
    EXPECT_EQ(cookie.Style, 0) << c.text;  // no expiry given
  }
  for (const char* text : {"a=1; Port=\"80,x\"", "a=1; Port=\"80,,81\"", "a=1; Port=\"0\"", "a=1; Port=\"65536\"",
                           "a=1; Port=\"$50\"", "a=1; Port=\"80"}) {
    TIdCookieRFC2965 cookie;
    EXPECT_THROW(cookie.SetCookieText(text), EConvertError) << text;
  }
}

TEST(IdCookieManager, StoresOnlyCookiesTheHostMaySet) {
  struct Case {
    std::string host, text, domain;
    bool stored;
  } cases[] = {
      {"host", "a=1", "host", true},
      {"host", "a=1; domain=other", "other", false},
      {"www.example.com", "a=1; domain=example.com", "example.com", true},
      {"www.example.com", "a=1; domain=.example.com", ".example.com", true},
      {"www.example.com", "a=1; domain=ample.com", "ample.com", false},
      {"www.example.com", "a=1; domain=Example.com", "Example.com", false},
      {"example.com", "a=1; domain=www.example.com", "www.example.com", false},
      {"10.0.0.1", "a=1", "10.0.0.1", true},
      {"10.0.0.1", "a=1; domain=0.0.1", "0.0.1", false},
      {".example.com", "a=1; domain=.EXAMPLE.com", ".EXAMPLE.com", true},
      {"", "a=1", "", false},
  };
  for (const Case& c : cases) {
    TIdCookieManager manager;
    manager.AddServerCookie(c.text, c.host);
    EXPECT_EQ(Stored(manager, c.domain, "a") != nullptr, c.stored) << c.host << " / " << c.text;
    EXPECT_EQ(manager.CookieCollection().Count(), c.stored ? 1 : 0);
  }
}

TEST(IdCookieManager, ASecondCookieOfTheSameNameReplacesTheFirst) {
  TIdCookieManager manager;
  manager.AddServerCookie("a=1; path=/x; secure", "host");
  TIdNetscapeCookie* first = Stored(manager, "host", "a");
  ASSERT_NE(first, nullptr);
  EXPECT_EQ(first->Value, "1");
  EXPECT_EQ(first->Path, "/x");
  EXPECT_TRUE(first->Secure);

  manager.AddServerCookie2("a=2; path=/p", "HOST");  // domains ignore case
  EXPECT_EQ(manager.CookieCollection().Count(), 1);
  EXPECT_EQ(Stored(manager, "host", "a"), first);
  EXPECT_EQ(first->Value, "2");
  EXPECT_EQ(first->Path, "/p");
  EXPECT_FALSE(first->Secure);

  manager.AddServerCookie("A=3", "host");  // names do not
  EXPECT_EQ(manager.CookieCollection().Count(), 2);
}

TEST(IdCookieManager, EventsSeeTheManagerAndMayRefuseACookie) {
  std::vector<std::string> calls;
  {
    TIdCookieManager manager([&](TIdCookieManager* sender, TIdCookies* cookies) {
      EXPECT_EQ(&sender->CookieCollection(), cookies);
      calls.push_back("create");
    });
    manager.OnDestroy = [&](TIdCookieManager*, TIdCookies* cookies) {
      calls.push_back("destroy " + IntToStr(cookies->Count()));
    };
    manager.OnNewCookie = [&](TIdCookieManager*, TIdNetscapeCookie* cookie, bool& accept) {
      EXPECT_TRUE(accept);
      accept = cookie->CookieName != "refused";
      calls.push_back("new " + cookie->CookieName);
    };
    manager.AddServerCookie("kept=1", "host");
    manager.AddServerCookie("refused=1", "host");
    manager.AddServerCookie("foreign=1; domain=other", "host");
    manager.AddServerCookie("gone=1; expires=Thu, 01 Jan 1970 00:00:00 GMT", "host");
  }
  EXPECT_EQ(calls, (std::vector<std::string>{"create", "new kept", "new refused", "new gone", "destroy 1"}));
}

TEST(IdCookieManager, CookieHeaderForPicksByDomainPathAndSecurity) {
  TIdCookieManager manager;
  manager.AddServerCookie("root=1", "example.com");
  manager.AddServerCookie("deep=2; path=/a/", "example.com");
  manager.AddServerCookie("safe=3; secure", "example.com");
  manager.AddServerCookie("empty=", "example.com");
  manager.AddServerCookie("sub=4", "www.example.com");
  manager.AddServerCookie("old=5; expires=Thu, 01 Jan 1970 00:00:00 GMT", "example.com");
  manager.AddServerCookie("later=6; expires=Fri, 31 Dec 9999 23:59:59 GMT", "example.com");
  EXPECT_EQ(manager.CookieCollection().Count(), 7);

  struct Case {
    std::string url;
    bool secure;
    std::string header;
  } cases[] = {
      {"http://example.com/", false, "root=1; later=6"},
      {"http://example.com/a/b/x", false, "root=1; deep=2; later=6"},
      {"https://example.com/a/", true, "root=1; deep=2; safe=3; later=6"},
      {"http://www.example.com/", false, "sub=4; root=1; later=6"},
      {"http://notexample.com/", false, ""},
      {"http://example.com.evil.net/a/", false, ""},
      {"http://other/", false, ""},
  };
  for (const Case& c : cases) EXPECT_EQ(manager.CookieHeaderFor(TIdURI(c.url), c.secure), c.header) << c.url;
  // The expired cookie went with the first header.
  EXPECT_EQ(manager.CookieCollection().Count(), 6);
  EXPECT_EQ(Stored(manager, "example.com", "old"), nullptr);
}

TEST(IdCookieManager, TheWritingThreadMayReenterTheLock) {
  TIdCookieManager manager;
  TIdCookies& cookies = manager.CookieCollection();
  cookies.Lock().BeginWrite();
  manager.AddServerCookie("a=1", "host");
  EXPECT_EQ(cookies.Count(), 1);
  EXPECT_EQ(manager.CookieHeaderFor(TIdURI("http://host/"), false), "a=1");
  cookies.Lock().BeginRead();
  cookies.Lock().EndRead();
  cookies.Lock().EndWrite();

}
