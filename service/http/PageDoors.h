// The web page's doors: GET /nodes (the account's nodes, or the sign-in
// form), POST /signin and POST /signout (begin and end a session kept in a
// cookie, then 303 to /nodes), POST /nodekey (a node's own key); for a
// signed-in person GET /account with
// POST /account/password (a new password; every other session ends) and
// POST /account/signout-everywhere (every session of the account ends), and
// GET /nodes/remove?node=NAME (asks) with POST /nodes/remove (removes the
// node and withdraws its name from DNS). Each form's outcome is told on the
// page it answers with.
//
// Forms cannot be forged from another site: a POST that the browser says
// comes from another origin (Origin, Sec-Fetch-Site) is refused 403, and
// each form carries a token that must equal the browser's form cookie
// (HttpOnly, SameSite=Strict), which another site can neither read nor set.
// So a forged sign-in cannot sign a victim in as the attacker, and a forged
// sign-out cannot end the victim's session.
#pragma once

#include <optional>
#include <string>

#include "service/http/Answers.h"
#include "service/http/DoorContext.h"

class TPageDoors {
 public:
  explicit TPageDoors(TDoorContext& context) : c_(context) {}
  TFrontAnswer Nodes(const TFrontRequest& req);
  // May wait for the slow hash: not for the connections' threads.
  TFrontAnswer SignIn(const TFrontRequest& req);
  TFrontAnswer SignOut(const TFrontRequest& req);
  TFrontAnswer Account(const TFrontRequest& req);
  TFrontAnswer ChangePassword(const TFrontRequest& req);
  TFrontAnswer SignOutEverywhere(const TFrontRequest& req);
  TFrontAnswer ConfirmRemoveNode(const TFrontRequest& req);
  TFrontAnswer RemoveNode(const TFrontRequest& req);
  // POST /webhook: sets the signed-in account's webhook URL ("" removes it).
  TFrontAnswer SetWebhook(const TFrontRequest& req);
  // POST /nodekey: makes (do=make, shown on the answer page alone) or
  // removes (do=remove) the key of a node of the signed-in account.
  TFrontAnswer NodeKey(const TFrontRequest& req);

 private:
  // The account of the request's live session, or nothing.
  std::optional<TAccountRecord> Session(const TFrontRequest& req);
  // The browser's form token, or a new one (then also set in answer).
  std::string FormToken(const TFrontRequest& req, TFrontAnswer& answer) const;
  // Nothing when the form may be taken, else the refusal.
  std::optional<TFrontAnswer> Forged(const TFrontRequest& req, const char* form) const;
  // The sign-in form for a form sent without a session (403).
  TFrontAnswer SignInAgain(TFrontAnswer headers, const std::string& token) const;

  TDoorContext& c_;
};
