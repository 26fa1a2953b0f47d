#include "runtime/NoWaitScope.h"

#include <string>

namespace {
thread_local TNoWaitScope* current = nullptr;
}  // namespace

void TCommitGroup::WhenEnded(TDone done) {
  bool committed;
  {
    std::lock_guard<std::mutex> hold(lock_);
    if (!ended_) {
      waiting_.push_back(std::move(done));
      return;
    }
    committed = committed_;
  }
  done(committed);
}

void TCommitGroup::End(bool committed) {
  std::vector<TDone> waiting;
  {
    std::lock_guard<std::mutex> hold(lock_);
    ended_ = true;
    committed_ = committed;
    waiting.swap(waiting_);
  }
  for (TDone& done : waiting) done(committed);
}

TNoWaitScope::TNoWaitScope(TMode mode) : mode_(mode), outer_(current) { current = this; }

TNoWaitScope::~TNoWaitScope() { current = outer_; }

TNoWaitScope* TNoWaitScope::Current() { return current; }

void TNoWaitScope::MayWait(const char* what) {
  if (current) throw EWouldWait(std::string(what) + " may not wait on this thread");
}
