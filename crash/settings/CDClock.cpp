#include "crash/settings/CDClock.h"

#include "runtime/ReplaceableHook.h"

namespace {
TReplaceableHook<TDateTime()>& Clock() {
  static TReplaceableHook<TDateTime()> clock;
  return clock;
}
}  // namespace

TCDClock SetCDClock(TCDClock clock) { return Clock().Set(std::move(clock)); }

TDateTime CDNow() {
  const TCDClock clock = Clock().Get();
  return clock ? clock() : Now();
}
