#include "service/http/PageDoors.h"

#include <openssl/crypto.h>
#include <openssl/rand.h>

#include "runtime/SysUtils.h"
#include "service/core/NameRules.h"
#include "service/core/PasswordHash.h"
#include "service/http/NodePages.h"
#include "service/http/NodePublisher.h"
#include "service/http/RequestText.h"
#include "service/http/WebhookEvent.h"
#include "service/http/WebhookUrl.h"
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
  answer.Set("Set-Cookie",
             TAnswers::Cookie(TAnswers::FormCookie, token, ISessionStore::Lifetime / 1000, c_.Https(req)));
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
    // Whether the account takes keys only as it is now, not as it was at sign-in.
    TAccountRecord shown = *account;
    if (const std::optional<TAccountRecord> current = c_.Core.Store().FindAccount(account->Name))
      shown.KeysOnly = current->KeysOnly;
    std::string page = NodesPage(shown, c_.Nodes(*account, now), now, c_.Core.Rules().StaleAfter, token,
                                 c_.Core.Store().NodeKeys(account->Id));
    if (const std::optional<TWebhookRecord> webhook = c_.Core.Store().Webhook(account->Id))
      page = WithSection(std::move(page), WebhookSection(*webhook, now, token));
    return WithPage(std::move(headers), 200, std::move(page));
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
      std::string session;
      try {
        session = c_.Sessions.Begin(r.Account, c_.Now());
      } catch (const EStoreError& e) {  // sessions the store shares, out of reach
        c_.Log.Write(TLogPriority::Error, line("unavailable", e.Message()));
        TAnswers::RetryAfter(headers, TAnswers::RetryAfterSeconds * 1000LL);
        return WithPage(std::move(headers), 503,
                        SignInPage(name, "The service cannot sign you in right now; try again shortly.", token));
      }
      TFrontAnswer answer = TAnswers::SeeNodes();
      answer.Set("Set-Cookie",
                 TAnswers::Cookie(TAnswers::SessionCookie, session, ISessionStore::Lifetime / 1000, c_.Https(req)));
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
  if (const std::optional<std::string> token = CookieOf(req, TAnswers::SessionCookie)) {
    try {
      c_.Sessions.End(*token);
    } catch (const EStoreError& e) {
      // Not signed out: the session would still be good elsewhere.
      TFrontAnswer answer = TAnswers::Page(
          503, MessagePage("Unavailable", "The service cannot sign you out right now; try again shortly."), true);
      c_.Log.Write(TLogPriority::Error,
                   "event=signout outcome=unavailable" + TRequestLog::Field("reason", e.Message()));
      TAnswers::RetryAfter(answer, TAnswers::RetryAfterSeconds * 1000LL);
      return answer;
    }
  }
  TFrontAnswer answer = TAnswers::SeeNodes();
  answer.Set("Set-Cookie", TAnswers::Cookie(TAnswers::SessionCookie, "", 0, c_.Https(req)));
  return answer;
}

namespace {
// A page the store could not be read or written for.
TFrontAnswer StoreUnavailable(const TDoorContext& c, const char* page, const EStoreError& e) {
  c.Log.Write(TLogPriority::Error,
              std::string("event=unavailable page=") + page + TRequestLog::Field("reason", e.Message()));
  TFrontAnswer answer = TAnswers::Page(
      503, MessagePage("Unavailable", "The service cannot read or write its nodes right now; try again shortly."),
      true);
  TAnswers::RetryAfter(answer, TAnswers::RetryAfterSeconds * 1000LL);
  return answer;
}

// The account's node called name (exactly as the page wrote it), or nothing.
std::optional<TNodeView> NodeNamed(std::vector<TNodeView> nodes, const std::string& name) {
  for (TNodeView& node : nodes)
    if (node.Name == name) return std::move(node);
  return std::nullopt;
}

TFrontAnswer NoSuchNode(TFrontAnswer headers, const TAccountRecord& account, const std::string& name) {
  return WithPage(std::move(headers), 404,
                  MessagePage("No such node", account.Name + " has no node called " +
                                                  (name.empty() ? "(no name)" : name) + " (any more)."));
}
}  // namespace

TFrontAnswer TPageDoors::SignInAgain(TFrontAnswer headers, const std::string& token) const {
  return WithPage(std::move(headers), 403, SignInPage("", "Your session has ended; please sign in again.", token));
}

TFrontAnswer TPageDoors::Account(const TFrontRequest& req) {
  TFrontAnswer headers;
  try {
    const std::string token = FormToken(req, headers);
    const std::optional<TAccountRecord> account = Session(req);
    if (!account) return WithPage(std::move(headers), 200, SignInPage("", "", token));
    return WithPage(std::move(headers), 200, AccountPage(*account, token));
  } catch (const EStoreError& e) {
    return StoreUnavailable(c_, "/account", e);
  }
}

TFrontAnswer TPageDoors::ChangePassword(const TFrontRequest& req) {
  if (std::optional<TFrontAnswer> refused = Forged(req, "password change")) return *refused;
  TFrontAnswer headers;
  try {
    const std::string token = FormToken(req, headers);
    const std::optional<TAccountRecord> account = Session(req);
    if (!account) return SignInAgain(std::move(headers), token);
    const std::string caller = c_.Caller(req);
    const std::string who = " user=" + TRequestLog::Value(account->Name) + " address=" + TRequestLog::Value(caller);
    const std::string password = req.Param("password");
    try {
      if (!req.Has("current") || !req.Has("password") || !req.Has("again"))
        throw EBadPassword("give the current password and the new one twice");
      CheckNewPassword(password, req.Param("again"));
    } catch (const EBadPassword& e) {
      return WithPage(std::move(headers), 400,
                      AccountPage(*account, token, "", "Nothing was changed: " + e.Message() + "."));
    }
    const TSignIn r = c_.Core.ChangeOwnPassword(*account, DigestToHex(MD5OfString(req.Param("current"))),
                                                DigestToHex(MD5OfString(password)), caller, c_.Now());
    switch (r.Answer) {
      case TAnswer::Ok: {
        // The new hash already ends every other session (StillValid); this
        // browser's goes on in a new one, and the rest are let go of now.
        const std::size_t ended = c_.Sessions.EndAll(account->Id);
        const std::string session = c_.Sessions.Begin(r.Account, c_.Now());
        headers.Set("Set-Cookie",
                    TAnswers::Cookie(TAnswers::SessionCookie, session, ISessionStore::Lifetime / 1000, c_.Https(req)));
        c_.Log.Write(TLogPriority::Info, "event=password_changed" + who + " sessions=" + std::to_string(ended));
        return WithPage(std::move(headers), 200,
                        AccountPage(r.Account, token,
                                    "The password was changed. Every other session of " + r.Account.Name +
                                        " was signed out; its Pinmarks need the new password now."));
      }
      case TAnswer::Limited:
        c_.Log.Write(TLogPriority::Warning, "event=password_change outcome=limited" + who +
                                                TRequestLog::Field("reason", "too many failed attempts"));
        TAnswers::RetryAfter(headers, r.RetryAfter);
        return WithPage(
            std::move(headers), 429,
            AccountPage(*account, token, "", "Too many wrong passwords. Try again in " + Minutes(r.RetryAfter) + "."));
      case TAnswer::Unavailable:
        c_.Log.Write(TLogPriority::Error, "event=password_change outcome=unavailable" + who + TRequestLog::Field("reason", r.Problem));
        TAnswers::RetryAfter(headers, TAnswers::RetryAfterSeconds * 1000LL);
        return WithPage(std::move(headers), 503,
                        AccountPage(*account, token, "",
                                    "The service cannot change the password right now; nothing was changed. "
                                    "Try again shortly."));
      default:
        c_.Log.Write(TLogPriority::Warning, "event=password_change outcome=bad_auth" + who);
        return WithPage(std::move(headers), 403,
                        AccountPage(*account, token, "", "The current password is wrong; nothing was changed."));
    }
  } catch (const EStoreError& e) {
    return StoreUnavailable(c_, "/account/password", e);
  }
}

TFrontAnswer TPageDoors::SignOutEverywhere(const TFrontRequest& req) {
  if (std::optional<TFrontAnswer> refused = Forged(req, "sign-out everywhere")) return *refused;
  TFrontAnswer headers;
  try {
    const std::string token = FormToken(req, headers);
    const std::optional<TAccountRecord> account = Session(req);
    if (!account) return SignInAgain(std::move(headers), token);
    const std::size_t ended = c_.Sessions.EndAll(account->Id);
    headers.Set("Set-Cookie", TAnswers::Cookie(TAnswers::SessionCookie, "", 0, c_.Https(req)));
    c_.Log.Write(TLogPriority::Info, "event=signed_out_everywhere" + TRequestLog::Field("user", account->Name) +
                                         TRequestLog::Field("address", c_.Caller(req)) + " sessions=" + std::to_string(ended));
    return WithPage(
        std::move(headers), 200,
        SignInPage(account->Name, "", token,
                   "Signed out everywhere: " + std::to_string(ended) + (ended == 1 ? " session" : " sessions") +
                       " of " + account->Name + " ended, this one included."));
  } catch (const EStoreError& e) {
    return StoreUnavailable(c_, "/account/signout-everywhere", e);
  }
}

TFrontAnswer TPageDoors::ConfirmRemoveNode(const TFrontRequest& req) {
  TFrontAnswer headers;
  try {
    const std::string token = FormToken(req, headers);
    const std::optional<TAccountRecord> account = Session(req);
    if (!account) return WithPage(std::move(headers), 200, SignInPage("", "", token));
    const std::string name = req.Param("node");
    const std::optional<TNodeView> node = NodeNamed(c_.Nodes(*account, c_.Now()), name);
    if (!req.Has("node") || !node) return NoSuchNode(std::move(headers), *account, name);
    return WithPage(std::move(headers), 200, RemoveNodePage(*account, *node, token));
  } catch (const EStoreError& e) {
    return StoreUnavailable(c_, "/nodes/remove", e);
  }
}

TFrontAnswer TPageDoors::RemoveNode(const TFrontRequest& req) {
  if (std::optional<TFrontAnswer> refused = Forged(req, "node removal")) return *refused;
  TFrontAnswer headers;
  try {
    const std::string token = FormToken(req, headers);
    const std::optional<TAccountRecord> account = Session(req);
    if (!account) return SignInAgain(std::move(headers), token);
    const std::string name = req.Param("node");
    const std::optional<TNodeView> node = NodeNamed(c_.Nodes(*account, c_.Now()), name);
    if (!req.Has("node") || !node) return NoSuchNode(std::move(headers), *account, name);
    std::vector<TDnsRecordType> withdrawn;
    const bool removed = c_.Publisher ? c_.Publisher->Remove(*node, account->Name, withdrawn)
                                      : c_.Core.Store().RemoveNode(account->Id, node->Id);
    if (!removed) return NoSuchNode(std::move(headers), *account, name);
    // Its key goes too, if it had one: a machine let go of must not bring the node back.
    c_.Core.Store().RemoveNodeKey(account->Id, name);
    std::string types, logged;
    for (const TDnsRecordType type : withdrawn) {
      types += std::string(types.empty() ? "" : ", ") + DnsRecordTypeName(type);
      logged += std::string(logged.empty() ? " withdrawn=" : ",") + DnsRecordTypeName(type);
    }
    c_.Log.Write(TLogPriority::Info, "event=node_removed" + TRequestLog::Field("user", account->Name) +
                                         TRequestLog::Field("node", name) +
                                         TRequestLog::Field("address", c_.Caller(req)) + logged);
    std::string notice = "Removed the node " + (name.empty() ? "(no name)" : name) + " with its history.";
    if (!types.empty()) notice += " Its name " + node->Dns.Name + " is being withdrawn from DNS (" + types + ").";
    const TServiceTime now = c_.Now();
    return WithPage(std::move(headers), 200,
                    NodesPage(*account, c_.Nodes(*account, now), now, c_.Core.Rules().StaleAfter, token,
                              c_.Core.Store().NodeKeys(account->Id), notice));
  } catch (const EStoreError& e) {
    return StoreUnavailable(c_, "/nodes/remove", e);
  }
}

TFrontAnswer TPageDoors::SetWebhook(const TFrontRequest& req) {
  if (std::optional<TFrontAnswer> refused = Forged(req, "webhook")) return *refused;
  TFrontAnswer headers;
  const std::string token = FormToken(req, headers);
  const std::optional<TAccountRecord> account = Session(req);
  if (!account) return WithPage(std::move(headers), 403, SignInPage("", "Sign in to set the webhook.", token));
  const std::string url = req.Param("url");
  const std::string who = " user=" + TRequestLog::Value(account->Name) + " address=" + TRequestLog::Value(c_.Caller(req));
  try {
    if (!url.empty()) TWebhookUrl::Parse(url);
    // The secret is drawn with the first URL and stays: receivers keep checking with it.
    const std::optional<TWebhookRecord> before = c_.Core.Store().Webhook(account->Id);
    c_.Core.Store().SetWebhook(account->Name, url, before && !before->Secret.empty() ? "" : NewWebhookSecret());
  } catch (const EWebhookUrl& e) {
    c_.Log.Write(TLogPriority::Warning, "event=webhook_set outcome=refused" + who + TRequestLog::Field("reason", e.Message()));
    return WithPage(std::move(headers), 400, MessagePage("Webhook not changed", e.Message() + "."));
  } catch (const EStoreError& e) {
    c_.Log.Write(TLogPriority::Error, "event=webhook_set outcome=unavailable" + who + TRequestLog::Field("reason", e.Message()));
    TAnswers::RetryAfter(headers, TAnswers::RetryAfterSeconds * 1000LL);
    return WithPage(std::move(headers), 503,
                    MessagePage("Unavailable", "The service cannot change the webhook right now; try again shortly."));
  }
  c_.Log.Write(TLogPriority::Info, (url.empty() ? "event=webhook_removed" : "event=webhook_set outcome=ok") + who);
  return TAnswers::SeeNodes();
}

TFrontAnswer TPageDoors::NodeKey(const TFrontRequest& req) {
  if (std::optional<TFrontAnswer> refused = Forged(req, "node key")) return *refused;
  const std::string node = req.Param("node");
  const std::string action = req.Param("do");
  try {
    const std::optional<TAccountRecord> account = Session(req);
    // Signed out meanwhile: the page asks to sign in again.
    if (!account) return TAnswers::SeeNodes();
    const std::string who = " user=" + TRequestLog::Value(account->Name) + " node=" + TRequestLog::Value(node) +
                            " address=" + TRequestLog::Value(c_.Caller(req));
    if (action == "make") {
      std::string key;
      try {
        key = c_.Core.MakeNodeKey(account->Name, node, c_.Now());
      } catch (const EAccountChange&) {
        return TAnswers::Page(400, MessagePage("No key made", "That is no node name a node can check in with."), true);
      }
      c_.Log.Write(TLogPriority::Info, "event=node_key_made" + who);
      return TAnswers::Page(200, NodeKeyPage(*account, node, key, c_.Core.Rules().Zone), true);
    }
    if (action == "remove") {
      try {
        c_.Core.RemoveNodeKey(account->Name, node);
      } catch (const EAccountChange&) {
        return TAnswers::Page(404, MessagePage("No key", "That node has no key to remove."), true);
      }
      c_.Log.Write(TLogPriority::Info, "event=node_key_removed" + who);
      return TAnswers::Page(
          200, MessagePage("Key removed", "The key of " + node + " no longer works; the account's password updates "
                                          "the node unless the account takes keys only."),
          true);
    }
    return TAnswers::Page(400, MessagePage("Nothing done", "The form asked for nothing this service does."), true);
  } catch (const EStoreError& e) {
    c_.Log.Write(TLogPriority::Error, "event=unavailable page=/nodekey" + TRequestLog::Field("reason", e.Message()));
    TFrontAnswer answer = TAnswers::Page(
        503, MessagePage("Unavailable", "The service cannot change keys right now; try again shortly."), true);
    TAnswers::RetryAfter(answer, TAnswers::RetryAfterSeconds * 1000LL);
    return answer;
  }
}
