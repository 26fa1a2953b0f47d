// The JSON door: GET /api/nodes with Basic credentials, the account's nodes
// as JSON; 401 with the Basic challenge without them or for wrong ones, 429
// after too many failures, 503 when the store cannot be read.
#pragma once

#include "service/http/Answers.h"
#include "service/http/DoorContext.h"

class TApiDoor {
 public:
  static constexpr char Path[] = "/api/nodes";
  explicit TApiDoor(TDoorContext& context) : c_(context) {}
  // May wait for the slow hash: not for the connections' threads.
  TFrontAnswer Answer(const TFrontRequest& req);

 private:
  TDoorContext& c_;
};
