#include "service/http/PageDoors.h"

#include <openssl/crypto.h>
#include <openssl/rand.h>

#include "runtime/SysUtils.h"
#include "service/core/PasswordHash.h"
#include "service/http/NodePages.h"
#include "service/http/RequestText.h"
#include "settings/md5.h"

namespace {
std::string Minutes(TServiceTime milliseconds) {
  const TServiceTime minutes = (milliseconds + 59999) / 60000;
  return std::to_string(minutes) + (minutes == 1 ? " minute" : " minutes");
}

bool WellFormedToken(const std::string& token) {
  return token.size() == 64 && token.find_first_not_of("0123456789abcdef") == std::string::npos;
}

std::optional<std::string> CookieOf(const TFrontRequest& req, const char* name) {
  std::optional<std::string> value;
  for (const std::string& header : req.Head.AllFields("Cookie"))
    if (!value) value = CookieValue(header, name);
  return value;
}

// Where the page shows the form again: it needs the token it was given.
TFrontAnswer WithPage(TFrontAnswer answer, int status, std::string html) {
  TFrontAnswer page = TAnswers::Page(status, std::move(html), true);
  for (auto& header : answer.Headers) page.Headers.push_back(std::move(header));
  return page;
}
}  // namespace

std::optional<TAccountRecord> TPageDoors::Session(const TFrontRequest& req) {
  const std::optional<std::string> token = CookieOf(req, TAnswers::SessionCookie);
  if (!token) return std::nullopt;
  std::optional<TAccountRecord> account = c_.Sessions.Find(*token, c_.Now());
  // An account removed or given a new password since takes its sessions with it.
  if (account && !c_.Core.StillValid(*account)) {
    c_.Sessions.End(*token);
    return std::nullopt;
  }
  return account;
}

std::string TPageDoors::FormToken(const TFrontRequest& req, TFrontAnswer& answer) const {
  const std::optional<std::string> cookie = CookieOf(req, TAnswers::FormCookie);
  if (cookie && WellFormedToken(*cookie)) return *cookie;
  unsigned char random[32];
  if (RAND_bytes(random, sizeof random) != 1) throw EPasswordHashError("OpenSSL could not draw a form token");
  std::string token;
  for (unsigned char b : random) token += IntToHex(b, 2);
  token = LowerCase(token);
  // As long as a session: a form left open that long still works.
  answer.Set("Set-Cookie", TAnswers::Cookie(TAnswers::FormCookie, token, TSessions::Lifetime / 1000, c_.Https(req)));
  return token;
}

std::optional<TFrontAnswer> TPageDoors::Forged(const TFrontRequest& req, const char* form) const {
  const std::optional<std::string> cookie = CookieOf(req, TAnswers::FormCookie);
  const std::string sent = req.Param("form");
  const bool tokenOk = cookie && WellFormedToken(*cookie) && sent.size() == cookie->size() &&
                       CRYPTO_memcmp(sent.data(), cookie->data(), sent.size()) == 0;
  const bool otherSite = req.FromAnotherSite();
  if (tokenOk && !otherSite) return std::nullopt;
  c_.Log.Write(TLogPriority::Warning,
               std::string("event=") + form + " outcome=forged" + TRequestLog::Field("address", c_.Caller(req)) +
                   TRequestLog::Field("reason", otherSite ? "sent from another site" : "without the page's form token"));
  TFrontAnswer answer;
  const std::string token = FormToken(req, answer);
  return WithPage(std::move(answer), 403,
                  SignInPage("", "This form did not come from this service's page; please try again.", token));
}

TFrontAnswer TPageDoors::Nodes(const TFrontRequest& req) {
  TFrontAnswer headers;
  try {
    const std::string token = FormToken(req, headers);
    const std::optional<TAccountRecord> account = Session(req);
    if (!account) return WithPage(std::move(headers), 200, SignInPage("", "", token));
    const TServiceTime now = c_.Now();
    return WithPage(std::move(headers), 200,
                    NodesPage(*account, c_.Nodes(*account, now), now, c_.Core.Rules().StaleAfter, token));
  } catch (const EStoreError& e) {
    c_.Log.Write(TLogPriority::Error,
                 "event=page outcome=unavailable page=/nodes" + TRequestLog::Field("reason", e.Message()));
    TFrontAnswer answer = TAnswers::Page(
        503, MessagePage("Unavailable", "The service cannot read its nodes right now; try again shortly."), true);
    TAnswers::RetryAfter(answer, TAnswers::RetryAfterSeconds * 1000LL);
    return answer;
  }
}

TFrontAnswer TPageDoors::SignIn(const TFrontRequest& req) {
  if (std::optional<TFrontAnswer> refused = Forged(req, "signin")) return *refused;
  TFrontAnswer headers;
  const std::string token = FormToken(req, headers);
  const std::string name = req.Param("name");
  const std::string caller = c_.Caller(req);
  if (!req.Has("name") || !req.Has("password"))
    return WithPage(std::move(headers), 400, SignInPage("", "Give an account name and a password.", token));
  const TSignIn r = c_.Core.SignIn(name, DigestToHex(MD5OfString(req.Param("password"))), caller, c_.Now());
  c_.Metrics.CountRequest(TMetricsDoor::SignIn, r.Answer);
  const std::string who = TRequestLog::Field("user", name) + TRequestLog::Field("address", caller);
  auto line = [&](const char* outcome, const std::string& reason = "") {
    return std::string("event=signin outcome=") + outcome + who + (reason.empty() ? "" : TRequestLog::Field("reason", reason));
  };
  switch (r.Answer) {
    case TAnswer::Ok: {
      const std::string session = c_.Sessions.Begin(r.Account, c_.Now());
      TFrontAnswer answer = TAnswers::SeeNodes();
      answer.Set("Set-Cookie",
                 TAnswers::Cookie(TAnswers::SessionCookie, session, TSessions::Lifetime / 1000, c_.Https(req)));
      answer.Set("Cache-Control", "no-store");
      c_.Log.Write(TLogPriority::Info, line("ok"));
      return answer;
    }
    case TAnswer::BadRequest:
      c_.Log.Write(TLogPriority::Warning, line("bad_request", r.Problem));
      return WithPage(std::move(headers), 400, SignInPage("", "That is no account name: " + r.Problem + ".", token));
    case TAnswer::Limited: {
      c_.Log.Write(TLogPriority::Warning, line("limited", "too many failed attempts"));
      TAnswers::RetryAfter(headers, r.RetryAfter);
      return WithPage(std::move(headers), 429,
                      SignInPage(name, "Too many failed sign-ins. Try again in " + Minutes(r.RetryAfter) + ".", token));
    }
    case TAnswer::Unavailable:
      c_.Log.Write(TLogPriority::Error, line("unavailable", r.Problem));
      TAnswers::RetryAfter(headers, TAnswers::RetryAfterSeconds * 1000LL);
      return WithPage(std::move(headers), 503,
                      SignInPage(name, "The service cannot sign you in right now; try again shortly.", token));
    default:
      c_.Log.Write(TLogPriority::Warning, line("bad_auth"));
      return WithPage(std::move(headers), 403, SignInPage(name, "Wrong account name or password.", token));
  }
}

TFrontAnswer TPageDoors::SignOut(const TFrontRequest& req) {
  if (std::optional<TFrontAnswer> refused = Forged(req, "signout")) return *refused;
  if (const std::optional<std::string> token = CookieOf(req, TAnswers::SessionCookie)) c_.Sessions.End(*token);
  TFrontAnswer answer = TAnswers::SeeNodes();
  answer.Set("Set-Cookie", TAnswers::Cookie(TAnswers::SessionCookie, "", 0, c_.Https(req)));
  return answer;
}
