// The dyndns2 update door:
//   GET /nic/update?hostname=NODE.ACCOUNT.ZONE[,...][&myip=A]   (Basic)
// dyndns2 answers, one line per host: good, nochg, nohost, notfqdn,
// numhost, badauth, abuse, 911; 401 without credentials; 403 for a browser
// sent here by another site's link (it may hold the account's Basic
// credentials, and would move the node).
#pragma once

#include "service/http/Answers.h"
#include "service/http/DoorContext.h"

class TDynDns2Door {
 public:
  static constexpr char Path[] = "/nic/update";
  explicit TDynDns2Door(TDoorContext& context) : c_(context) {}
  // May wait for the slow hash: not for the connections' threads.
  TFrontAnswer Answer(const TFrontRequest& req);

 private:
  TDoorContext& c_;
};
