// The home page (GET /) and the pages' style sheet (GET /style.css).
#pragma once

#include "service/http/Answers.h"
#include "service/http/DoorContext.h"

class THomeDoor {
 public:
  explicit THomeDoor(TDoorContext& context) : c_(context) {}
  TFrontAnswer Home() const;
  static TFrontAnswer Style();

 private:
  TDoorContext& c_;
};
