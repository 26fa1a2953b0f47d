// The program's check-in door:
//   GET|POST /includes/r_update.php?userid=NAME&enc=MD5HEX&node=NODE
// 200 with the caller's address as plain text; 400 for a missing userid or
// enc or a name the service does not take; 403 for an unknown account or a
// wrong digest, a new node over the account's limit, or a browser sent here
// by another site's link; 429 after too many failures; 503 when the store
// cannot record the check-in (nothing was recorded).
#pragma once

#include <functional>
#include <optional>

#include "service/http/Answers.h"
#include "service/http/DoorContext.h"

class TCheckInDoor {
 public:
  static constexpr char Path[] = "/includes/r_update.php";
  explicit TCheckInDoor(TDoorContext& context) : c_(context) {}
  // May wait for the slow hash: not for the connections' threads.
  TFrontAnswer Answer(const TFrontRequest& req);
  // A repeated check-in answered without waiting (TServiceCore::SendCheckIn):
  // false when the request is not one, else done is told the answer later
  // from another thread, or nothing when Answer must answer it after all.
  bool AnswerSoon(const TFrontRequest& req, std::function<void(std::optional<TFrontAnswer>)> done);

 private:
  // The answer to a check-in made, and its line in the log.
  TFrontAnswer Respond(const TCheckInResult& r, const std::string& name, const std::string& node,
                       const std::string& caller);

  TDoorContext& c_;
};
