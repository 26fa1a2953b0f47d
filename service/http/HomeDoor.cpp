#include "service/http/HomeDoor.h"

#include "service/http/NodePages.h"

TFrontAnswer THomeDoor::Home() const {
  return TAnswers::Page(200, HomePage(c_.Core.Rules().Zone, c_.Publisher != nullptr), false);
}

TFrontAnswer THomeDoor::Style() { return TAnswers::StyleSheet(StyleSheet); }
