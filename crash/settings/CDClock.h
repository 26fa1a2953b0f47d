// The local clock the crash reporter reads its time variables from
// (%date%, %time%, %datetime%). Replaceable, so that tests can fix the time.
//
// Thread-safe. Not for signal handlers: the real clock consults the time zone.
#pragma once

#include <functional>

#include "runtime/DateTime.h"

using TCDClock = std::function<TDateTime()>;

// Installs a clock; an empty function restores the real one. Returns the
// previous clock (empty for the real one).
TCDClock SetCDClock(TCDClock clock);

// The current local time by the installed clock.
TDateTime CDNow();
