// How the handling of an exception ends once it has been presented:
// continue, restart or close.
//
// In a windowed process an exception that can continue goes on when the box
// returns, unless the box itself asked for a restart or a close. Otherwise
// (a console process, or an exception that cannot continue) the automatic
// thresholds decide: close when AutoClose passes, or when the exception
// cannot continue and AutoRestart does not pass; else restart when
// AutoRestart passes; else continue. An ending decided here, not by the box,
// first calls the program's action handlers for it.
//
// Pure; safe anywhere.
#pragma once

#include <optional>

#include "crash/handling/ICDException.h"

struct TCDEndInputs {
  bool Windowed = true;
  bool CanContinue = true;
  std::optional<TCDEnding> BoxEnding;  // what the box returned, when one was shown
  bool AutoClosePasses = false;
  bool AutoRestartPasses = false;
};

struct TCDEndDecision {
  TCDEnding Ending = TCDEnding::Continue;
  // The action handlers of the ending are still to be called.
  bool CallActionHandlers = false;
};

TCDEndDecision DecideEnding(const TCDEndInputs& inputs);
