// The HTTP front in process, with accounts in memory: the program's check-in,
// the sign-in to the web page and its session cookie, and the JSON.
#include "service/http/CheckInService.h"

#include <gtest/gtest.h>
#include <httplib.h>

#include <algorithm>
#include <atomic>
#include <string>
#include <system_error>

#include "runtime/NoWaitScope.h"
#include "service/core/PasswordHash.h"
#include "service/store/MemoryStore.h"
#include "settings/md5.h"

namespace {
const char kDigest[] = "fe01ce2a7fbac8fafaed7c982a04e229";  // MD5 of "demo"

class Service : public ::testing::Test {
 protected:
  void SetUp() override {
    service.AddAccount("demo", kDigest);
    service.OnLog = [this](TLogPriority priority, const std::string& line) {
      log.push_back(line);
      priorities.push_back(priority);
    };
    port = service.Bind("127.0.0.1", 0);
    ASSERT_GT(port, 0);
    service.Start();
  }
  TCheckInService service;
  std::vector<std::string> log;
  std::vector<TLogPriority> priorities;
  int port = 0;
};

std::string SessionFrom(const httplib::Result& res) {
  const std::string cookie = res->get_header_value("Set-Cookie");
  const std::size_t eq = cookie.find('='), semi = cookie.find(';');
  return cookie.substr(eq + 1, semi - eq - 1);
}

// The form token a page gives, which the forms send back beside its cookie.
std::string FormToken(httplib::Client& client) { return SessionFrom(client.Get("/nodes")); }
std::string FormCookie(const std::string& token) { return "pinmark_form=" + token; }
}  // namespace

TEST_F(Service, AnswersAKnownAccountWithTheCallersAddress) {
  httplib::Client client("127.0.0.1", port);
  auto post = client.Post("/includes/r_update.php?userid=demo&enc=FE01CE2A7FBAC8FAFAED7C982A04E229&node=box", "",
                          "application/x-www-form-urlencoded");
  ASSERT_TRUE(post);
  EXPECT_EQ(post->status, 200);
  EXPECT_EQ(post->body, "127.0.0.1");
  EXPECT_EQ(post->get_header_value("Content-Type"), "text/plain");
  auto get = client.Get("/includes/r_update.php?userid=demo&enc=fe01ce2a7fbac8fafaed7c982a04e229");
  ASSERT_TRUE(get);
  EXPECT_EQ(get->status, 200);
  EXPECT_EQ(service.CheckIns(), 2);
  ASSERT_EQ(log.size(), 2u);
  EXPECT_NE(log[0].find("node=box user=demo address=127.0.0.1"), std::string::npos);
  EXPECT_EQ(priorities[0], TLogPriority::Info);
}

TEST_F(Service, RefusesWrongAccountsAndIncompleteRequests) {
  httplib::Client client("127.0.0.1", port);
  auto wrong = client.Get("/includes/r_update.php?userid=demo&enc=00000000000000000000000000000000");
  ASSERT_TRUE(wrong);
  EXPECT_EQ(wrong->status, 403);
  auto unknown = client.Get(std::string("/includes/r_update.php?userid=nobody&enc=") + kDigest);
  ASSERT_TRUE(unknown);
  EXPECT_EQ(unknown->status, 403);
  auto missing = client.Get("/includes/r_update.php?userid=demo");
  ASSERT_TRUE(missing);
  EXPECT_EQ(missing->status, 400);
  auto control = client.Get(std::string("/includes/r_update.php?userid=demo&enc=") + kDigest + "&node=a%07b");
  ASSERT_TRUE(control);
  EXPECT_EQ(control->status, 400);
  EXPECT_EQ(control->body, "the node name holds a control character\n");
  // A browser sent by another site's link is refused on both doors, right credentials or not.
  const httplib::Headers navigated{{"Sec-Fetch-Mode", "navigate"}, {"Sec-Fetch-Site", "cross-site"}};
  auto linked = client.Get(std::string("/includes/r_update.php?userid=demo&enc=") + kDigest, navigated);
  ASSERT_TRUE(linked);
  EXPECT_EQ(linked->status, 403);
  httplib::Headers basic = navigated;
  basic.emplace("Authorization", "Basic ZGVtbzpkZW1v");  // demo:demo
  auto update = client.Get("/nic/update?hostname=box.demo&myip=192.0.2.7", basic);
  ASSERT_TRUE(update);
  EXPECT_EQ(update->status, 403);
  EXPECT_EQ(update->body, "badagent\n");
  EXPECT_EQ(service.CheckIns(), 0);
  EXPECT_EQ(priorities.back(), TLogPriority::Warning);
  auto home = client.Get("/");
  ASSERT_TRUE(home);
  EXPECT_EQ(home->status, 200);
  EXPECT_NE(home->body.find("Pinmark"), std::string::npos);
  auto nothing = client.Get("/no/such/page");
  ASSERT_TRUE(nothing);
  EXPECT_EQ(nothing->status, 404);
  EXPECT_EQ(nothing->body, "404 not found\n");
}

TEST_F(Service, ASignInSessionShowsTheNodesUntilSignOutAndGetsChangeNothing) {
  httplib::Client client("127.0.0.1", port);
  ASSERT_EQ(client.Get(std::string("/includes/r_update.php?userid=demo&enc=") + kDigest + "&node=%3Cb%3Ebox")->status,
            200);
  auto page = client.Get("/nodes");
  ASSERT_TRUE(page);
  EXPECT_NE(page->body.find("action=\"/signin\""), std::string::npos);
  EXPECT_EQ(page->get_header_value("Cache-Control"), "no-store");
  EXPECT_NE(page->get_header_value("Content-Security-Policy").find("default-src 'none'"), std::string::npos);

  const std::string form = SessionFrom(page);
  EXPECT_NE(page->body.find("name=\"form\" value=\"" + form + "\""), std::string::npos) << "the form's token";
  const httplib::Headers formCookie{{"Cookie", FormCookie(form)}};
  auto wrong = client.Post("/signin", formCookie, "name=demo&password=nope&form=" + form,
                           "application/x-www-form-urlencoded");
  ASSERT_TRUE(wrong);
  EXPECT_EQ(wrong->status, 403);
  EXPECT_FALSE(wrong->has_header("Set-Cookie"));
  // The right password without the page's token is another site's forged sign-in: no session.
  const std::string offByOne = form.substr(0, form.size() - 1) + (form.back() == '0' ? '1' : '0');
  const struct {
    const char* what;
    httplib::Headers headers;
    std::string body;
  } unbound[] = {
      {"neither cookie nor token", {}, "name=demo&password=demo"},
      {"the cookie without the token", formCookie, "name=demo&password=demo"},
      {"a token one digit off", formCookie, "name=demo&password=demo&form=" + offByOne},
      {"the token without the cookie", {}, "name=demo&password=demo&form=" + form},
  };
  for (const auto& c : unbound) {
    auto forged = client.Post("/signin", c.headers, c.body, "application/x-www-form-urlencoded");
    ASSERT_TRUE(forged) << c.what;
    EXPECT_EQ(forged->status, 403) << c.what;
    for (auto [at, end] = forged->headers.equal_range("Set-Cookie"); at != end; ++at)
      EXPECT_EQ(at->second.find(TCheckInService::SessionCookie), std::string::npos) << c.what << ": " << at->second;
  }
  auto signedIn = client.Post("/signin", formCookie, "name=demo&password=demo&form=" + form,
                              "application/x-www-form-urlencoded");
  ASSERT_TRUE(signedIn);
  EXPECT_EQ(signedIn->status, 303);
  EXPECT_EQ(signedIn->get_header_value("Location"), "/nodes");
  const std::string cookie = signedIn->get_header_value("Set-Cookie");
  EXPECT_NE(cookie.find("; HttpOnly"), std::string::npos) << cookie;
  EXPECT_NE(cookie.find("; SameSite=Strict"), std::string::npos) << cookie;
  EXPECT_NE(cookie.find("; Max-Age=3600"), std::string::npos) << cookie;
  EXPECT_EQ(cookie.find("Secure"), std::string::npos) << "not over plain http: " << cookie;
  const httplib::Headers session{{"Cookie", std::string(TCheckInService::SessionCookie) + "=" +
                                                SessionFrom(signedIn) + "; " + FormCookie(form)}};

  auto nodes = client.Get("/nodes", session);
  ASSERT_TRUE(nodes);
  EXPECT_NE(nodes->body.find("Nodes of demo"), std::string::npos);
  EXPECT_NE(nodes->body.find("&lt;b&gt;box"), std::string::npos);
  EXPECT_EQ(nodes->body.find("<b>box"), std::string::npos);
  // Signing out is a POST; a GET there changes nothing.
  EXPECT_NE(client.Get("/signout", session)->status, 303);
  EXPECT_NE(client.Get("/nodes", session)->body.find("Nodes of demo"), std::string::npos);
  EXPECT_EQ(client.Post("/signout", session, "", "application/x-www-form-urlencoded")->status, 403)
      << "a sign-out without the page's token";
  EXPECT_NE(client.Get("/nodes", session)->body.find("Nodes of demo"), std::string::npos);
  auto out = client.Post("/signout", session, "form=" + form, "application/x-www-form-urlencoded");
  ASSERT_TRUE(out);
  EXPECT_EQ(out->status, 303);
  EXPECT_NE(out->get_header_value("Set-Cookie").find("Max-Age=0"), std::string::npos);
  EXPECT_NE(client.Get("/nodes", session)->body.find("action=\"/signin\""), std::string::npos);
}

TEST_F(Service, ASessionEndsWhenItsAccountGetsANewPassword) {
  httplib::Client client("127.0.0.1", port);
  const std::string form = FormToken(client);
  auto signedIn = client.Post("/signin", {{"Cookie", FormCookie(form)}}, "name=demo&password=demo&form=" + form,
                              "application/x-www-form-urlencoded");
  ASSERT_EQ(signedIn->status, 303);
  const httplib::Headers session{{"Cookie", std::string(TCheckInService::SessionCookie) + "=" + SessionFrom(signedIn)}};
  service.AddAccount("demo", DigestToHex(MD5OfString("changed")));
  EXPECT_NE(client.Get("/nodes", session)->body.find("action=\"/signin\""), std::string::npos);
}

TEST_F(Service, TheJsonNeedsBasicCredentials) {
  httplib::Client client("127.0.0.1", port);
  ASSERT_EQ(client.Get(std::string("/includes/r_update.php?userid=demo&enc=") + kDigest + "&node=box")->status, 200);
  auto anonymous = client.Get("/api/nodes");
  ASSERT_TRUE(anonymous);
  EXPECT_EQ(anonymous->status, 401);
  EXPECT_NE(anonymous->get_header_value("WWW-Authenticate").find("Basic realm="), std::string::npos);
  client.set_basic_auth("demo", "wrong");
  EXPECT_EQ(client.Get("/api/nodes")->status, 401);
  client.set_basic_auth("demo", "demo");
  auto json = client.Get("/api/nodes");
  ASSERT_TRUE(json);
  EXPECT_EQ(json->status, 200);
  EXPECT_EQ(json->get_header_value("Content-Type"), "application/json");
  EXPECT_NE(json->body.find("\"name\":\"box\",\"address\":\"127.0.0.1\""), std::string::npos) << json->body;
}

TEST(ServiceBind, AnAddressInUseRaisesWithTheSystemsReasonAndLeavesTheServiceAsItWas) {
  TCheckInService first;
  const int taken = first.Bind("127.0.0.1", 0);
  TCheckInService service;
  service.AddAccount("demo", kDigest);
  try {
    service.Bind("127.0.0.1", taken);
    ADD_FAILURE() << "listens on a port another service listens on";
  } catch (const EBindFailed& e) {
    EXPECT_EQ(e.Code(), std::errc::address_in_use);
    EXPECT_EQ(e.Message(), "cannot listen on 127.0.0.1:" + std::to_string(taken) + " (" + e.Code().message() + ")");
  }
  // Nothing of the failed address is left to serve on: the next one serves alone.
  const int port = service.Bind("127.0.0.1", 0);
  service.Start();
  auto res = httplib::Client("127.0.0.1", port).Get(std::string("/includes/r_update.php?userid=demo&enc=") + kDigest);
  ASSERT_TRUE(res);
  EXPECT_EQ(res->status, 200);
}

// A store that waits on every call, as a database server does, counting
// the calls made where waiting is not allowed.
class TWaitingStore : public TMemoryStore {
 public:
  bool EveryCallWaits() const override { return true; }
  std::optional<TAccountRecord> FindAccount(std::string_view name) override {
    Called();
    return TMemoryStore::FindAccount(name);
  }
  TCheckInRecord RecordCheckIn(std::int64_t accountId, std::string_view node, std::string_view address,
                               TServiceTime now, std::size_t maxNodes) override {
    Called();
    return TMemoryStore::RecordCheckIn(accountId, node, address, now, maxNodes);
  }
  std::atomic<int> calls{0}, calledOnTheLoop{0};

 private:
  void Called() {
    ++calls;
    if (TNoWaitScope::Current()) ++calledOnTheLoop;
  }
};

TEST(ServiceWaitingStore, EveryRequestGoesWhereItMayWaitWithoutATryOnTheLoop) {
  auto owned = std::make_unique<TWaitingStore>();
  TWaitingStore& store = *owned;
  TCheckInService service(std::move(owned), TServiceRules{}, TTrustedProxies{});
  service.AddAccount("demo", kDigest);
  const int port = service.Bind("127.0.0.1", 0);
  ASSERT_GT(port, 0);
  service.Start();
  httplib::Client client("127.0.0.1", port);
  for (const char* node : {"box", "box", "laptop"})
    EXPECT_EQ(client.Get(std::string("/includes/r_update.php?userid=demo&enc=") + kDigest + "&node=" + node)->status,
              200);
  EXPECT_EQ(client.Get("/")->status, 200);
  EXPECT_EQ(service.CheckIns(), 3);
  EXPECT_GE(store.calls.load(), 3);
  EXPECT_EQ(store.calledOnTheLoop.load(), 0);
}

TEST(ServiceProxy, ASessionCookieIsSecureWhenATrustedProxyTookTheRequestOverTls) {
  TTrustedProxies proxies;
  proxies.Add("127.0.0.1");
  TCheckInService service(std::make_unique<TMemoryStore>(), TServiceRules{}, proxies);
  service.AddAccount("demo", kDigest);
  const int port = service.Bind("127.0.0.1", 0);
  ASSERT_GT(port, 0);
  service.Start();
  httplib::Client client("127.0.0.1", port);
  const std::string form = FormToken(client);
  auto res = client.Post("/signin",
                         {{"X-Forwarded-Proto", "https"}, {"X-Forwarded-For", "198.51.100.4"}, {"Cookie", FormCookie(form)}},
                         "name=demo&password=demo&form=" + form, "application/x-www-form-urlencoded");
  ASSERT_TRUE(res);
  EXPECT_NE(res->get_header_value("Set-Cookie").find("; Secure"), std::string::npos);
  auto checkIn = client.Get(std::string("/includes/r_update.php?userid=demo&enc=") + kDigest,
                            {{"X-Forwarded-For", "198.51.100.4"}});
  EXPECT_EQ(checkIn->body, "198.51.100.4");
}

TEST_F(Service, AnOwnerMakesANodesKeyOnThePageSeesItOnceAndRemovesIt) {
  httplib::Client client("127.0.0.1", port);
  ASSERT_EQ(client.Get(std::string("/includes/r_update.php?userid=demo&enc=") + kDigest + "&node=box")->status, 200);
  const std::string form = FormToken(client);
  auto signedIn = client.Post("/signin", {{"Cookie", FormCookie(form)}}, "name=demo&password=demo&form=" + form,
                              "application/x-www-form-urlencoded");
  ASSERT_EQ(signedIn->status, 303);
  const httplib::Headers session{{"Cookie", std::string(TCheckInService::SessionCookie) + "=" +
                                                SessionFrom(signedIn) + "; " + FormCookie(form)}};
  auto post = [&](const std::string& body, const httplib::Headers& headers) {
    return client.Post("/nodekey", headers, body, "application/x-www-form-urlencoded");
  };
  const std::string page = client.Get("/nodes", session)->body;
  EXPECT_NE(page.find("name=\"node\" value=\"box\"><input type=\"hidden\" name=\"do\" value=\"make\">"),
            std::string::npos)
      << page;
  EXPECT_EQ(post("node=box&do=make", session)->status, 403) << "without the page's token";
  EXPECT_EQ(post("node=box&do=make&form=" + form, {{"Cookie", FormCookie(form)}})->status, 303) << "signed out";

  auto made = post("node=box&do=make&form=" + form, session);
  ASSERT_EQ(made->status, 200);
  EXPECT_EQ(made->get_header_value("Cache-Control"), "no-store");
  const std::size_t at = made->body.find("<p class=\"newkey\"><code>");
  ASSERT_NE(at, std::string::npos) << made->body;
  const std::string key = made->body.substr(at + 24, 39);
  const std::string digest = DigestToHex(MD5OfString(key));
  const std::string after = client.Get("/nodes", session)->body;
  EXPECT_EQ(after.find(key), std::string::npos) << "shown once";
  EXPECT_NE(after.find("Remove the key"), std::string::npos);

  // The key checks its node in, and signs in nowhere.
  EXPECT_EQ(client.Get("/includes/r_update.php?userid=demo&enc=" + digest + "&node=box")->status, 200);
  EXPECT_TRUE(std::any_of(log.begin(), log.end(),
                          [](const std::string& line) { return line.ends_with(" user=demo address=127.0.0.1 by=key"); }))
      << ::testing::PrintToString(log);
  EXPECT_EQ(client.Get("/includes/r_update.php?userid=demo&enc=" + digest + "&node=pc")->status, 403);
  EXPECT_EQ(client.Post("/signin", {{"Cookie", FormCookie(form)}}, "name=demo&password=" + key + "&form=" + form,
                        "application/x-www-form-urlencoded")
                ->status,
            403);
  client.set_basic_auth("demo", key);
  EXPECT_EQ(client.Get("/api/nodes")->status, 401);

  // A key made for a node that has not checked in yet is listed apart, and can go.
  ASSERT_EQ(post("node=new-pc&do=make&form=" + form, session)->status, 200);
  EXPECT_NE(client.Get("/nodes", session)->body.find("<li><span class=\"address\">new-pc</span>"), std::string::npos);
  EXPECT_EQ(post("node=box&do=remove&form=" + form, session)->status, 200);
  EXPECT_EQ(client.Get("/includes/r_update.php?userid=demo&enc=" + digest + "&node=box")->status, 403);
  EXPECT_EQ(post("node=box&do=remove&form=" + form, session)->status, 404);
  EXPECT_EQ(post("node=%0A&do=make&form=" + form, session)->status, 400);
  EXPECT_EQ(post("node=box&do=frob&form=" + form, session)->status, 400);
}
