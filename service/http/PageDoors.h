// The web page's doors: GET /nodes (the account's nodes, or the sign-in
// form), POST /signin and POST /signout (begin and end a session kept in a
// cookie, then 303 to /nodes), POST /nodekey (a node's own key).
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

  TDoorContext& c_;
};
