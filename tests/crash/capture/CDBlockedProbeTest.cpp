#include "crash/capture/CDBlockedProbe.h"

#include <gtest/gtest.h>
#include <link.h>

#include <atomic>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "crash/capture/CDEvent.h"
#include "crash/capture/CDMemoryReserve.h"

namespace {

// A thread that holds the loader's lock until it is let go, as a thread
// that faulted inside a dl_iterate_phdr callback would.
struct LoaderLockHolder {
  TCDEvent holding, letGo;
  std::thread thread;
  LoaderLockHolder() {
    thread = std::thread([this] {
      dl_iterate_phdr(
          [](dl_phdr_info*, size_t, void* self) -> int {
            auto* h = static_cast<LoaderLockHolder*>(self);
            h->holding.Set();
            h->letGo.Wait(10000);
            return 1;
          },
          this);
    });
    holding.Wait(10000);
  }
  ~LoaderLockHolder() {
    letGo.Set();
    thread.join();
  }
};

TEST(BlockedProbe, TellsABlockedLoaderFromAFreeOneAndAnswersBlockedWhileTheProbeIsStuck) {
  TCDBlockedProbe::Start();
  EXPECT_FALSE(TCDBlockedProbe::ProcessIsBlocked());
  {
    LoaderLockHolder holder;
    EXPECT_TRUE(TCDBlockedProbe::ProcessIsBlocked());
    // The probe is still stuck on the lock: the next question does not wait
    // for it longer than its budget and gets the same answer.
    EXPECT_TRUE(TCDBlockedProbe::ProcessIsBlocked(50));
  }
  // Let go, the stuck probe comes back and is free for the next question.
  bool free = false;
  for (int i = 0; i < 100 && !free; ++i) free = !TCDBlockedProbe::ProcessIsBlocked();
  EXPECT_TRUE(free);
}

// Ten threads that fault together all ask at once: each must hear the
// probe's answer, none may take it from another and then read as blocked.
TEST(BlockedProbe, ThreadsAskingTogetherAllHearThatTheProcessIsFree) {
  TCDBlockedProbe::Start();
  for (int round = 0; round < 5; ++round) {
    std::atomic<int> blocked{0};
    std::vector<std::thread> askers;
    for (int i = 0; i < 10; ++i)
      askers.emplace_back([&blocked] {
        if (TCDBlockedProbe::ProcessIsBlocked(1000)) ++blocked;
      });
    for (std::thread& t : askers) t.join();
    ASSERT_EQ(blocked.load(), 0) << "round " << round;
  }
}

// A field of /proc/self/status in kB.
long StatusKb(const std::string& field) {
  std::ifstream status("/proc/self/status");
  std::string line;
  while (std::getline(status, line))
    if (line.starts_with(field + ":")) return std::stol(line.substr(field.size() + 1));
  return -1;
}

TEST(MemoryReserve, IsHeldWhileNothingIsHandledAndGivenBackForAHandling) {
  TCDMemoryReserve::Release();
  const long data = StatusKb("VmData"), resident = StatusKb("RssAnon");
  TCDMemoryReserve::Take();
  // Charged as data (what strict overcommit and RLIMIT_DATA count), yet
  // not resident: the reserve costs an idle program no memory.
  const long committed = TCDMemoryReserve::kCommittedCount * TCDMemoryReserve::kCommittedSize / 1024;
  EXPECT_GE(StatusKb("VmData") - data, committed);
  EXPECT_LT(StatusKb("RssAnon") - resident, committed / 4);
  EXPECT_EQ(TCDMemoryReserve::Held(), TCDMemoryReserve::kReservedCount + TCDMemoryReserve::kCommittedCount);
  TCDMemoryReserve::Take();  // taking again takes nothing twice
  EXPECT_EQ(TCDMemoryReserve::Held(), 8);
  TCDMemoryReserve::Release();
  EXPECT_EQ(TCDMemoryReserve::Held(), 0);
}

}  // namespace
