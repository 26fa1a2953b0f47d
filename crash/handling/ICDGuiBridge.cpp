#include "crash/handling/ICDGuiBridge.h"

#include <mutex>
#include <utility>

namespace {
std::mutex& Lock() {
  static std::mutex lock;
  return lock;
}
std::shared_ptr<ICDGuiBridge>& Bridge() {
  static std::shared_ptr<ICDGuiBridge> bridge;
  return bridge;
}
}  // namespace

void SetCDGuiBridge(std::shared_ptr<ICDGuiBridge> bridge) {
  std::shared_ptr<ICDGuiBridge> previous;
  {
    std::lock_guard<std::mutex> guard(Lock());
    previous = std::exchange(Bridge(), std::move(bridge));
  }
  // The previous one goes outside the lock (its destructor may post).
}

std::shared_ptr<ICDGuiBridge> CDGuiBridge() {
  std::lock_guard<std::mutex> guard(Lock());
  return Bridge();
}
