#include "crash/capture/CDBlockedProbe.h"

#include <link.h>
#include <malloc.h>
#include <pthread.h>

#include <atomic>
#include <cstdlib>

#include "crash/capture/CDEvent.h"
#include "crash/capture/CDThreadRegistry.h"
#include "runtime/ThreadName.h"

namespace {
std::atomic<bool> started{false};
std::atomic<bool> stopping{false};
std::atomic<bool> busy{false};  // a question is out and not answered yet
TCDEvent asked;
TCDEvent answered;

void* ProbeThread(void*) {
  NameThreadForDebugging("-");
  TCDThreadRegistry::Instance().MarkOwn(CurrentThreadId());
  while (true) {
    asked.Wait();
    asked.Reset();
    if (stopping.load()) break;
    // Each of these waits for a lock that a faulting thread may hold.
    dl_iterate_phdr([](dl_phdr_info*, size_t, void*) { return 1; }, nullptr);
    (void)mallinfo2();
    void* volatile p = std::malloc(64);
    std::free(p);
    busy.store(false);
    answered.Set();
  }
  return nullptr;
}
}  // namespace

void TCDBlockedProbe::Start() {
  if (started.exchange(true)) return;
  stopping.store(false);
  pthread_t thread;
  if (pthread_create(&thread, nullptr, ProbeThread, nullptr) != 0) {
    started.store(false);
    return;
  }
  pthread_detach(thread);
}

void TCDBlockedProbe::Stop() {
  if (!started.exchange(false)) return;
  stopping.store(true);
  asked.Set();
}

bool TCDBlockedProbe::Started() { return started.load(); }

bool TCDBlockedProbe::ProcessIsBlocked(int budgetMs) {
  if (!started.load()) return false;
  // One question at a time: several threads may fault at once. A question
  // that stays out longer than the budget never came back, and whatever held
  // it up still does.
  const int64_t deadline = CDMonotonicMs() + budgetMs;
  bool expected = false;
  while (!busy.compare_exchange_strong(expected, true)) {
    expected = false;
    if (CDMonotonicMs() >= deadline) return true;
    CDSleepMs(2);
  }
  answered.Reset();
  asked.Set();
  return !answered.Wait(budgetMs);
}
