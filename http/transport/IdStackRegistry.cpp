#include "http/transport/IdStackRegistry.h"

#include <atomic>
#include <mutex>

#include "http/transport/IdStackPosix.h"

using namespace IdStackStrings;

namespace {

struct StackState {
  std::mutex lock;
  int32_t count = 0;
  bool started = false;
  std::unique_ptr<TIdStack> owned;
  std::atomic<TIdStack*> current{nullptr};
  TIdStackFactory factory = [] { return std::unique_ptr<TIdStack>(new TIdStackPosix()); };
};

StackState& State() {
  static StackState state;
  return state;
}

}  // namespace

void SetStackClass(TIdStackFactory factory) {
  StackState& s = State();
  std::lock_guard<std::mutex> guard(s.lock);
  s.factory = std::move(factory);
}

void AcquireStack() {
  StackState& s = State();
  std::lock_guard<std::mutex> guard(s.lock);
  if (s.count++ > 0) return;
  try {
    if (!s.factory) throw EIdException(RSStackClassUndefined);
    if (s.owned) throw EIdException(RSStackAlreadyCreated);
    std::unique_ptr<TIdStack> stack = s.factory();
    if (!stack) throw EIdException(RSStackClassUndefined);
    if (!s.started) {
      if (stack->StartLibrary() != 0) throw EIdStackInitializationFailed(RSStackInitializationFailed);
      s.started = true;
    }
    s.owned = std::move(stack);
    s.current.store(s.owned.get());
  } catch (...) {
    // No stack exists, so the count must not claim one: a later call tries again.
    --s.count;
    throw;
  }
}

void ReleaseStack() {
  StackState& s = State();
  std::unique_ptr<TIdStack> doomed;
  {
    std::lock_guard<std::mutex> guard(s.lock);
    if (s.count <= 0) return;
    if (--s.count > 0) return;
    s.current.store(nullptr);
    doomed = std::move(s.owned);
  }
}

TIdStack* GStack() { return State().current.load(); }

int32_t StackUsageCount() {
  StackState& s = State();
  std::lock_guard<std::mutex> guard(s.lock);
  return s.count;
}

bool StackStarted() {
  StackState& s = State();
  std::lock_guard<std::mutex> guard(s.lock);
  return s.started;
}
