// The program's check-in door:
//   GET|POST /includes/r_update.php?userid=NAME&enc=MD5HEX&node=NODE
// 200 with the caller's address as plain text; 400 for a missing userid or
// enc or a name the service does not take; 403 for an unknown account or a
// wrong digest, a new node over the account's limit, or a browser sent here
// by another site's link; 429 after too many failures; 503 when the store
// cannot record the check-in (nothing was recorded).
#pragma once

#include "service/http/Answers.h"
#include "service/http/DoorContext.h"

class TCheckInDoor {
 public:
  static constexpr char Path[] = "/includes/r_update.php";
  explicit TCheckInDoor(TDoorContext& context) : c_(context) {}
  // May wait for the slow hash: not for the connections' threads.
  TFrontAnswer Answer(const TFrontRequest& req);

 private:
  TDoorContext& c_;
};
