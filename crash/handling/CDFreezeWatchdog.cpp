#include "crash/handling/CDFreezeWatchdog.h"

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <thread>

#include "crash/capture/CDThreadRegistry.h"
#include "runtime/ThreadName.h"

namespace {

struct TState {
  std::mutex Lock;
  std::condition_variable Wake;
  bool Stopping = false;
  std::function<void(std::function<void()>)> Ping;
  std::function<void()> Report;
  int BasePeriod = 1000;
};

std::atomic<int> pauses{0};
std::atomic<bool> reporting{false};
std::atomic<int> counter{0};
std::atomic<int> period{0};
std::shared_ptr<TState> state;
std::thread thread;

void Run(std::shared_ptr<TState> s) {
  NameThreadForDebugging("-");
  TCDThreadRegistry::Instance().MarkOwn(CurrentThreadId());
  // Each question carries its own flag, so that a late answer to an old
  // question still counts as a sign of life.
  auto answered = std::make_shared<std::atomic<bool>>(true);
  std::unique_lock<std::mutex> lock(s->Lock);
  while (!s->Stopping) {
    if (pauses.load() > 0) {
      s->Wake.wait_for(lock, std::chrono::milliseconds(50));
      continue;
    }
    if (answered->load()) {
      answered = std::make_shared<std::atomic<bool>>(false);
      auto flag = answered;
      lock.unlock();
      s->Ping([flag] { flag->store(true); });
      lock.lock();
    }
    const int waitMs = period.load();
    s->Wake.wait_for(lock, std::chrono::milliseconds(waitMs), [&] { return s->Stopping; });
    if (s->Stopping) break;
    if (pauses.load() > 0) continue;
    if (answered->load()) {
      counter.store(0);
      period.store(s->BasePeriod);
      continue;
    }
    if (counter.fetch_add(1) + 1 < TCDFreezeWatchdog::kPeriodsToFreeze) continue;
    counter.store(0);
    period.store(static_cast<int>(period.load() * 3 / 2));
    lock.unlock();
    reporting.store(true);
    s->Report();
    reporting.store(false);
    lock.lock();
  }
}

}  // namespace

void TCDFreezeWatchdog::Start(int freezeTimeoutMs, std::function<void(std::function<void()>)> ping,
                              std::function<void()> report) {
  if (state) return;
  state = std::make_shared<TState>();
  state->Ping = std::move(ping);
  state->Report = std::move(report);
  state->BasePeriod = std::max(10, freezeTimeoutMs / 10);
  period.store(state->BasePeriod);
  counter.store(0);
  thread = std::thread(Run, state);
}

void TCDFreezeWatchdog::Stop() {
  if (!state) return;
  {
    std::lock_guard<std::mutex> guard(state->Lock);
    state->Stopping = true;
  }
  state->Wake.notify_all();
  // A watchdog in the middle of reporting a freeze is left to finish alone.
  if (thread.get_id() == std::this_thread::get_id() || reporting.load())
    thread.detach();
  else if (thread.joinable())
    thread.join();
  state.reset();
}

bool TCDFreezeWatchdog::Running() { return state != nullptr; }
void TCDFreezeWatchdog::Pause() { pauses.fetch_add(1); }
void TCDFreezeWatchdog::Resume() { pauses.fetch_sub(1); }
void TCDFreezeWatchdog::ResetCounter() { counter.store(0); }
int TCDFreezeWatchdog::PeriodMs() { return period.load(); }
int TCDFreezeWatchdog::Counter() { return counter.load(); }
