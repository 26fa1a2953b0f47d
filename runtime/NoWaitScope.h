// Work on a thread that must not wait.
//
// An event loop's thread serves every connection at once: one request that
// blocks it (on a slow computation, on a lock another process holds, on the
// disk) delays them all. While a TNoWaitScope lives on a thread, code that
// would block raises EWouldWait instead, before it has changed anything, and
// the loop runs the whole work again on a thread that may wait. In Refuse
// mode (that thread's queue is full) such code answers "busy" as it would
// when too many wait, or raises EWouldWait where it has no such answer.
//
// A write that would wait for its commit joins a TCommitGroup instead: it is
// written into a transaction shared with the other writes of the moment and
// committed with them later, and the work's result is held until the group
// has ended (TNoWaitScope::Group). One commit then serves many writes.
#pragma once

#include <functional>
#include <memory>
#include <mutex>
#include <stdexcept>
#include <vector>

class EWouldWait : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// Writes that are committed, or lost, together.
class TCommitGroup {
 public:
  using TDone = std::function<void(bool committed)>;
  // Runs done once the group has ended: at once (here) when it has already.
  void WhenEnded(TDone done);
  // Ends the group, running every waiting done on this thread. Those must
  // not use what ended the group (they hand their work on).
  void End(bool committed);

 private:
  std::mutex lock_;
  bool ended_ = false, committed_ = false;
  std::vector<TDone> waiting_;
};

class TNoWaitScope {
 public:
  enum class TMode { Raise, Refuse };
  explicit TNoWaitScope(TMode mode = TMode::Raise);
  ~TNoWaitScope();
  TNoWaitScope(const TNoWaitScope&) = delete;
  TNoWaitScope& operator=(const TNoWaitScope&) = delete;

  // The scope of this thread; null where waiting is allowed.
  static TNoWaitScope* Current();
  // Raises EWouldWait, naming what, when this thread must not wait.
  static void MayWait(const char* what);
  TMode Mode() const { return mode_; }

  // A write of this work went into group; its result waits for the group's end.
  void Joined(const std::shared_ptr<TCommitGroup>& group) { group_ = group; }
  const std::shared_ptr<TCommitGroup>& Group() const { return group_; }

 private:
  TMode mode_;
  TNoWaitScope* outer_;
  std::shared_ptr<TCommitGroup> group_;
};
