#include "crash/handling/CDEndDecision.h"

TCDEndDecision DecideEnding(const TCDEndInputs& in) {
  if (in.Windowed && in.BoxEnding && *in.BoxEnding != TCDEnding::Continue) return {*in.BoxEnding, false};
  if (in.Windowed && in.CanContinue) return {TCDEnding::Continue, false};
  if (in.AutoClosePasses || (!in.CanContinue && !in.AutoRestartPasses)) return {TCDEnding::Close, true};
  if (in.AutoRestartPasses) return {TCDEnding::Restart, true};
  return {TCDEnding::Continue, true};
}
