#include "crash/handling/CDPresenter.h"

#include "runtime/ReplaceableHook.h"

namespace {
TReplaceableHook<TCDEnding(ICDException&, int)>& Presenter() {
  static TReplaceableHook<TCDEnding(ICDException&, int)> presenter;
  return presenter;
}
}  // namespace

TCDPresenter SetCDPresenter(TCDPresenter presenter) { return Presenter().Set(std::move(presenter)); }

bool CDHasPresenter() { return static_cast<bool>(Presenter()); }

TCDEnding CDPresent(ICDException& exception, int showMode) {
  const TCDPresenter presenter = Presenter().Get();
  if (!presenter) return exception.CanContinue() ? TCDEnding::Continue : TCDEnding::Close;
  return presenter(exception, showMode);
}
