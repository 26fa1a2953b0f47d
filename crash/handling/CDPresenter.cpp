#include "crash/handling/CDPresenter.h"

#include <mutex>

namespace {
std::mutex& Lock() {
  static std::mutex lock;
  return lock;
}
TCDPresenter& Presenter() {
  static TCDPresenter presenter;
  return presenter;
}
}  // namespace

TCDPresenter SetCDPresenter(TCDPresenter presenter) {
  std::lock_guard<std::mutex> guard(Lock());
  TCDPresenter previous = std::move(Presenter());
  Presenter() = std::move(presenter);
  return previous;
}

bool CDHasPresenter() {
  std::lock_guard<std::mutex> guard(Lock());
  return static_cast<bool>(Presenter());
}

TCDEnding CDPresent(ICDException& exception, int showMode) {
  TCDPresenter presenter;
  {
    std::lock_guard<std::mutex> guard(Lock());
    presenter = Presenter();
  }
  if (!presenter) return exception.CanContinue() ? TCDEnding::Continue : TCDEnding::Close;
  return presenter(exception, showMode);
}
