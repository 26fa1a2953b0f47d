#include "crash/capture/CDBlockedProbe.h"

#include <link.h>
#include <malloc.h>
#include <pthread.h>

#include <linux/futex.h>
#include <sys/syscall.h>
#include <time.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdint>
#include <cstdlib>

#include "crash/capture/CDEvent.h"
#include "crash/capture/CDThreadRegistry.h"
#include "runtime/ThreadName.h"

namespace {
std::atomic<bool> started{false};
std::atomic<bool> stopping{false};
// Questions are numbered; a probe round that began after question n was
// asked answers n and every question before it. Several threads that fault
// at once thus share one round, and no answer is ever taken from one who
// waits for it (a single flag reset by the next asker lost answers, and a
// busy machine then read as a blocked process).
std::atomic<uint32_t> askedRound{0};
std::atomic<uint32_t> answeredRound{0};

long Futex(std::atomic<uint32_t>& word, int op, uint32_t value, const timespec* timeout) {
  return syscall(SYS_futex, reinterpret_cast<uint32_t*>(&word), op, value, timeout, nullptr, 0);
}

// Whether round `a` is `b` or later, across the counter's wrap.
bool AtOrAfter(uint32_t a, uint32_t b) { return static_cast<int32_t>(a - b) >= 0; }

void* ProbeThread(void*) {
  NameThreadForDebugging("-");
  TCDThreadRegistry::Instance().MarkOwn(CurrentThreadId());
  // Every question asked beyond the last answer is still open, also one
  // asked before this thread ran.
  uint32_t served = answeredRound.load();
  while (true) {
    while (askedRound.load() == served) Futex(askedRound, FUTEX_WAIT_PRIVATE, served, nullptr);
    if (stopping.load()) break;
    const uint32_t round = askedRound.load();
    // Each of these waits for a lock that a faulting thread may hold.
    dl_iterate_phdr([](dl_phdr_info*, size_t, void*) { return 1; }, nullptr);
    (void)mallinfo2();
    void* volatile p = std::malloc(64);
    std::free(p);
    served = round;
    answeredRound.store(round);
    Futex(answeredRound, FUTEX_WAKE_PRIVATE, INT32_MAX, nullptr);
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
  askedRound.fetch_add(1);
  Futex(askedRound, FUTEX_WAKE_PRIVATE, INT32_MAX, nullptr);
}

bool TCDBlockedProbe::Started() { return started.load(); }

bool TCDBlockedProbe::ProcessIsBlocked(int budgetMs) {
  if (!started.load()) return false;
  // A probe that is stuck on an earlier question stays stuck: this one then
  // gets no answer within its budget either.
  const uint32_t mine = askedRound.fetch_add(1) + 1;
  Futex(askedRound, FUTEX_WAKE_PRIVATE, INT32_MAX, nullptr);
  const int64_t deadline = CDMonotonicMs() + budgetMs;
  const int savedErrno = errno;
  while (true) {
    const uint32_t answered = answeredRound.load();
    if (AtOrAfter(answered, mine)) break;
    const int64_t left = deadline - CDMonotonicMs();
    if (left <= 0) break;
    const timespec wait{static_cast<time_t>(left / 1000), static_cast<long>(left % 1000) * 1000000};
    Futex(answeredRound, FUTEX_WAIT_PRIVATE, answered, &wait);
  }
  errno = savedErrno;
  return !AtOrAfter(answeredRound.load(), mine);
}
