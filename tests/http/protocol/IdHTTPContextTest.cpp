#include "http/protocol/IdHTTPContext.h"

#include <gtest/gtest.h>

#include <stdexcept>

namespace {
using Lines = std::vector<std::string>;

// The members an exchange would own, and the contexts over them.
struct Exchange {
  TIdRequestHeaderInfo request;
  TIdResponseHeaderInfo response;
  TIdProxyConnectionInfo proxy;
  int32_t authRetries = 0;
  int32_t proxyRetries = 0;
  TIdCookieManager* cookieManager = nullptr;
  std::unique_ptr<TIdCookieManager> ownedCookieManager;
  TIdHTTPAuthContext auth{.Request = request,
                          .Response = response,
                          .ProxyParams = proxy,
                          .AuthRetries = authRetries,
                          .AuthProxyRetries = proxyRetries};
  TIdHTTPCookieContext cookies{.Request = request,
                               .Response = response,
                               .CookieManager = cookieManager,
                               .OwnedCookieManager = ownedCookieManager,
                               .Host = "host"};

  void Respond(const Lines& lines) {
    response.RawHeaders.Clear();
    for (const std::string& line : lines) response.RawHeaders.Add(line);
    response.ParseHeaders();
  }
};

class TOtherScheme : public TIdBasicAuthentication {
 public:
  static constexpr const char* kClassName = "TOtherScheme";
  const char* ClassName() const override { return kClassName; }
};

// Basic, but asked for its next step over and over (a credential loop that
// never ends) it ends the test instead of spinning in it.
class TGuardedBasic : public TIdBasicAuthentication {
 public:
  TIdAuthWhatsNext DecideStep() override {
    if (++steps_ > 20) throw std::runtime_error("the scheme was asked again and again");
    return TIdBasicAuthentication::DecideStep();
  }

 private:
  int steps_ = 0;
};

// A scheme that is finished at once.
class TOneShotScheme : public TIdBasicAuthentication {
 public:
  uint32_t StepCount() const override { return 0; }
};
}  // namespace

TEST(IdHTTPContext, ServerCredentialsComeFromTheRequestForARegisteredScheme) {
  struct Case {
    Lines head;
    std::string user, password;
    bool answer;
    bool objectMade;
  } cases[] = {
      {{"WWW-Authenticate: Negotiate"}, "u", "p", false, false},
      {{"WWW-Authenticate: Negotiate", "WWW-Authenticate: Basic realm=\"Pinmark\""}, "u", "p", true, true},
      {{"WWW-Authenticate: Basic realm=\"Pinmark\""}, "u", "", false, true},
      {{"WWW-Authenticate: Basic realm=\"Pinmark\""}, "u", "   ", false, true},
      // A password without a user name: the scheme asks, nobody answers.
      {{"WWW-Authenticate: Basic realm=\"Pinmark\""}, "", "p", false, true},
      {{}, "u", "p", false, false},
  };
  for (const Case& c : cases) {
    Exchange x;
    x.request.Username = c.user;
    x.request.Password = c.password;
    x.Respond(c.head);
    x.auth.OnSelectAuthorization = [](TIdCustomHTTP*, TIdAuthenticationClass& cls, TIdHeaderList*) {
      cls = AuthenticationClassOf<TGuardedBasic>();
    };
    EXPECT_EQ(RequestServerCredentials(x.auth), c.answer) << c.head.size() << c.user << c.password;
    EXPECT_EQ(x.authRetries, 1);
    EXPECT_EQ(x.request.Authentication != nullptr, c.objectMade);
  }
}

TEST(IdHTTPContext, AnsweredBasicChallengeSignsEveryLaterRequest) {
  Exchange x;
  x.request.Username = "user";
  x.request.Password = "pass";
  x.Respond({"WWW-Authenticate: Basic realm=\"Pinmark\""});
  ASSERT_TRUE(RequestServerCredentials(x.auth));
  auto* basic = dynamic_cast<TIdBasicAuthentication*>(x.request.Authentication.get());
  ASSERT_NE(basic, nullptr);
  EXPECT_EQ(basic->Realm, "Pinmark");
  EXPECT_EQ(basic->SchemeParams.ValueOf("Authorization"), "Basic dXNlcjpwYXNz");
  for (int i = 0; i < 2; ++i) {
    x.request.BuildHeaders();
    EXPECT_EQ(x.request.RawHeaders.ValueOf("Authorization"), "Basic dXNlcjpwYXNz");
  }
  // The object stays with the request; a second challenge reuses it.
  TIdAuthentication* object = x.request.Authentication.get();
  EXPECT_TRUE(RequestServerCredentials(x.auth));
  EXPECT_EQ(x.request.Authentication.get(), object);
  EXPECT_EQ(x.authRetries, 2);
}

TEST(IdHTTPContext, TheProgramIsAskedOnceWhenTheSchemeNeedsCredentials) {
  struct Case {
    bool handled;
    std::string user;
    bool answer;
  } cases[] = {{true, "asked", true}, {false, "asked", false}, {true, "", false}};
  for (const bool proxy : {false, true}) {
    for (const Case& c : cases) {
      Exchange x;
      (proxy ? x.auth.OnSelectProxyAuthorization : x.auth.OnSelectAuthorization) =
          [](TIdCustomHTTP*, TIdAuthenticationClass& cls, TIdHeaderList*) { cls = AuthenticationClassOf<TGuardedBasic>(); };
      x.Respond({proxy ? "Proxy-Authenticate: Basic realm=\"r\"" : "WWW-Authenticate: Basic realm=\"r\""});
      int calls = 0;
      TIdOnAuthorization handler = [&](TIdCustomHTTP* sender, TIdAuthentication* auth, bool& handled) {
        EXPECT_EQ(sender, nullptr);
        EXPECT_FALSE(handled);
        ++calls;
        auth->SetUsername(c.user);
        auth->SetPassword("secret");
        handled = c.handled;
      };
      (proxy ? x.auth.OnProxyAuthorization : x.auth.OnAuthorization) = handler;
      EXPECT_EQ(proxy ? RequestProxyCredentials(x.auth) : RequestServerCredentials(x.auth), c.answer)
          << proxy << c.handled << c.user;
      EXPECT_EQ(calls, 1) << proxy << c.handled << c.user;
      if (c.answer) {
        EXPECT_EQ(proxy ? x.proxy.ProxyUsername : x.request.Username, c.user);
        EXPECT_EQ(proxy ? x.proxy.ProxyPassword : x.request.Password, "secret");
      }
    }
  }
}

TEST(IdHTTPContext, SelectAuthorizationMayChangeOrDropTheScheme) {
  Exchange x;
  x.request.Username = "u";
  x.request.Password = "p";
  x.Respond({"WWW-Authenticate: Basic realm=\"r\""});
  x.auth.OnSelectAuthorization = [&](TIdCustomHTTP*, TIdAuthenticationClass& cls, TIdHeaderList* info) {
    EXPECT_EQ(info, &x.response.WWWAuthenticate);
    cls = AuthenticationClassOf<TOtherScheme>();
  };
  EXPECT_TRUE(RequestServerCredentials(x.auth));
  EXPECT_STREQ(x.request.Authentication->ClassName(), "TOtherScheme");

  Exchange y;
  y.request.Password = "p";
  y.Respond({"WWW-Authenticate: Basic"});
  y.auth.OnSelectAuthorization = [](TIdCustomHTTP*, TIdAuthenticationClass& cls, TIdHeaderList*) { cls = nullptr; };
  EXPECT_FALSE(RequestServerCredentials(y.auth));
  EXPECT_EQ(y.request.Authentication, nullptr);
}

TEST(IdHTTPContext, ProxyCredentialsNeedTheirHandler) {
  Exchange x;
  x.proxy.ProxyUsername = "pu";
  x.proxy.ProxyPassword = "pp";
  x.Respond({"Proxy-Authenticate: Basic realm=\"proxy\""});
  EXPECT_FALSE(RequestProxyCredentials(x.auth));
  EXPECT_NE(x.proxy.Authentication, nullptr);
  EXPECT_EQ(x.proxyRetries, 1);

  x.auth.OnProxyAuthorization = [](TIdCustomHTTP*, TIdAuthentication* auth, bool& handled) {
    auth->SetUsername("asked");
    auth->SetPassword("given");
    handled = true;
  };
  EXPECT_TRUE(RequestProxyCredentials(x.auth));  // "pu" is already there: nothing to ask
  EXPECT_EQ(x.proxy.Authentication->Username(), "pu");
  x.proxy.ProxyUsername.clear();
  EXPECT_TRUE(RequestProxyCredentials(x.auth));
  EXPECT_EQ(x.proxy.ProxyUsername, "asked");
  EXPECT_EQ(x.proxy.ProxyPassword, "given");
  EXPECT_FALSE(x.request.BasicAuthentication);
  EXPECT_EQ(x.request.Authentication, nullptr);
  EXPECT_EQ(x.proxyRetries, 3);
  EXPECT_EQ(x.authRetries, 0);

  // Only the first challenge line counts.
  Exchange y;
  y.Respond({"Proxy-Authenticate: Negotiate", "Proxy-Authenticate: Basic"});
  y.auth.OnProxyAuthorization = x.auth.OnProxyAuthorization;
  EXPECT_FALSE(RequestProxyCredentials(y.auth));
  EXPECT_EQ(y.proxy.Authentication, nullptr);
}

TEST(IdHTTPContext, CookiesAreStoredAfterAHeadAndAttachedBeforeTheNext) {
  Exchange x;
  x.Respond({"Set-Cookie: a=1", "Other: x", "set-cookie2: b=2; Port=\"81\"", "SET-COOKIE: s=3; secure",
             "Set-Cookie: foreign=1; domain=elsewhere"});
  StoreCookies(x.cookies);
  ASSERT_NE(x.cookieManager, nullptr);
  EXPECT_EQ(x.cookieManager, x.ownedCookieManager.get());
  EXPECT_EQ(x.cookieManager->CookieCollection().Count(), 3);

  struct Case {
    bool tls;
    std::string cookie;
  } cases[] = {{false, "a=1; b=2"}, {true, "a=1; s=3; b=2"}};
  for (const Case& c : cases) {
    x.cookies.IsTls = c.tls;
    x.request.BuildHeaders();
    AttachCookies(x.cookies, TIdURI("http://host/x"));
    EXPECT_EQ(x.request.RawHeaders.ValueOf("Cookie"), c.cookie);
  }

  TIdURI elsewhere("http://elsewhere/");
  x.request.BuildHeaders();
  AttachCookies(x.cookies, elsewhere);
  EXPECT_EQ(x.request.RawHeaders.IndexOfHeader("Cookie"), -1);
}

TEST(IdHTTPContext, CookieManagerIsMadeOnlyWhenAllowedAndNoneIsThere) {
  Exchange off;
  off.cookies.AllowCookies = false;
  off.Respond({"Set-Cookie: a=1"});
  StoreCookies(off.cookies);
  EXPECT_EQ(off.cookieManager, nullptr);
  off.request.BuildHeaders();
  AttachCookies(off.cookies, TIdURI("http://host/"));
  EXPECT_EQ(off.request.RawHeaders.IndexOfHeader("Cookie"), -1);

  TIdCookieManager external;
  Exchange x;
  x.cookieManager = &external;
  x.cookies.AllowCookies = false;  // an assigned manager is used regardless
  x.Respond({"Set-Cookie: a=1"});
  StoreCookies(x.cookies);
  EXPECT_EQ(x.ownedCookieManager, nullptr);
  EXPECT_EQ(external.CookieCollection().Count(), 1);

  // A port list that is not numeric drops that cookie and nothing else.
  x.Respond({"Set-Cookie2: b=2; Port=\"eighty\"", "Set-Cookie2: c=3"});
  StoreCookies(x.cookies);
  EXPECT_EQ(external.CookieCollection().Count(), 2);
  EXPECT_EQ(external.CookieCollection().FindCookie("host", "b"), nullptr);
}

TEST(IdHTTPContext, FinishedAuthenticationsLeaveAtDisconnect) {
  TIdURI target("http://user:pw@host/x?q#f");
  Exchange x;
  x.request.Authentication = std::make_unique<TIdBasicAuthentication>();
  AfterDisconnect(x.auth, target);
  EXPECT_NE(x.request.Authentication, nullptr);  // Basic never finishes

  TIdAuthenticationManager manager;
  x.auth.AuthenticationManager = &manager;
  x.request.Authentication = std::make_unique<TOneShotScheme>();
  x.request.Authentication->SetUsername("user");
  x.proxy.Authentication = std::make_unique<TOneShotScheme>();
  x.proxy.Authentication->CurrentStep = 3;
  AfterDisconnect(x.auth, target);
  EXPECT_EQ(x.request.Authentication, nullptr);
  ASSERT_EQ(manager.Items().size(), 1u);
  EXPECT_EQ(manager.Items()[0].URL, "http://host/x?q");
  EXPECT_EQ(manager.Items()[0].Params, (Lines{"Username: user"}));
  ASSERT_NE(x.proxy.Authentication, nullptr);
  EXPECT_EQ(x.proxy.Authentication->CurrentStep, 0u);
}
