#include "crash/capture/CDMemoryReserve.h"

#include <sys/mman.h>

#include <atomic>

namespace {
constexpr int kCount = TCDMemoryReserve::kReservedCount + TCDMemoryReserve::kCommittedCount;
std::atomic<void*> regions[kCount];

std::size_t SizeOf(int i) {
  return i < TCDMemoryReserve::kReservedCount ? TCDMemoryReserve::kReservedSize : TCDMemoryReserve::kCommittedSize;
}

void* Map(int i) {
  if (i < TCDMemoryReserve::kReservedCount) {
    // Address space only: nothing is backed until touched, and it never is.
    void* p = mmap(nullptr, SizeOf(i), PROT_NONE, MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE, -1, 0);
    return p == MAP_FAILED ? nullptr : p;
  }
  // Charged to the process's commit and data limits, but never touched, so
  // it holds no page: what a failing allocation runs into under strict
  // overcommit or RLIMIT_DATA is the charge, and giving it back is what
  // lets the report's allocations through. Pages of its own would add 2 MB
  // to every process's resident memory only to help when the whole machine
  // is out of memory, where 2 MB decides nothing. It stays writable: a
  // mapping made inaccessible before it was touched loses its charge.
  void* p = mmap(nullptr, SizeOf(i), PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
  return p == MAP_FAILED ? nullptr : p;
}
}  // namespace

void TCDMemoryReserve::Take() {
  for (int i = 0; i < kCount; ++i) {
    if (regions[i].load() != nullptr) continue;
    void* p = Map(i);
    if (p == nullptr) continue;
    void* expected = nullptr;
    if (!regions[i].compare_exchange_strong(expected, p)) munmap(p, SizeOf(i));
  }
}

void TCDMemoryReserve::Release() {
  for (int i = 0; i < kCount; ++i)
    if (void* p = regions[i].exchange(nullptr)) munmap(p, SizeOf(i));
}

int TCDMemoryReserve::Held() {
  int n = 0;
  for (const auto& r : regions)
    if (r.load() != nullptr) ++n;
  return n;
}
