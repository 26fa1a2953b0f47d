#include "crash/sys/CDMemory.h"

#include <sys/uio.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstring>

#include "crash/sys/CDAddressSpace.h"

namespace {

// Set once the kernel refused process_vm_readv for a reason other than a bad
// address; from then on reads are checked against the maps.
std::atomic<bool> gVmReadRefused{false};

// -1: the call itself is not allowed here; otherwise the bytes read.
ssize_t VmRead(uint64_t address, void* buffer, std::size_t size) {
  iovec local{buffer, size};
  iovec remote{reinterpret_cast<void*>(address), size};
  ssize_t n;
  do {
    n = ::process_vm_readv(::getpid(), &local, 1, &remote, 1, 0);
  } while (n < 0 && errno == EINTR);
  if (n >= 0) return n;
  if (errno == EFAULT || errno == ENOMEM) return 0;
  return -1;
}

std::size_t MapsCheckedRead(uint64_t address, void* buffer, std::size_t size) {
  TCDAddressSpace space = TCDAddressSpace::OfThisProcess();
  uint64_t end = space.ReadableEnd(address);
  if (end <= address) return 0;
  std::size_t n = static_cast<std::size_t>(std::min<uint64_t>(size, end - address));
  std::memcpy(buffer, reinterpret_cast<const void*>(address), n);
  return n;
}

}  // namespace

std::size_t ReadOwnMemoryPartly(uint64_t address, void* buffer, std::size_t size) {
  if (size == 0) return 0;
  if (address + size < address) size = static_cast<std::size_t>(UINT64_MAX - address);
  if (!gVmReadRefused.load(std::memory_order_relaxed)) {
    ssize_t n = VmRead(address, buffer, size);
    if (n >= 0) {
      // A read across an unmapped page stops at it; one that starts in one
      // reads nothing. Retry page by page to get what lies before the gap.
      if (static_cast<std::size_t>(n) == size) return size;
      std::size_t done = static_cast<std::size_t>(n);
      const std::size_t page = static_cast<std::size_t>(::sysconf(_SC_PAGESIZE));
      while (done < size) {
        uint64_t at = address + done;
        std::size_t chunk = std::min<std::size_t>(size - done, page - static_cast<std::size_t>(at % page));
        ssize_t m = VmRead(at, static_cast<char*>(buffer) + done, chunk);
        if (m <= 0) break;
        done += static_cast<std::size_t>(m);
        if (static_cast<std::size_t>(m) < chunk) break;
      }
      return done;
    }
    gVmReadRefused.store(true, std::memory_order_relaxed);
  }
  return MapsCheckedRead(address, buffer, size);
}

bool ReadOwnMemory(uint64_t address, void* buffer, std::size_t size) {
  return ReadOwnMemoryPartly(address, buffer, size) == size;
}

std::size_t ReadOwnMemoryInHandler(uint64_t address, void* buffer, std::size_t size) {
  // Reads never cross this boundary, so a readable start is never lost to an
  // unreadable end. Every page size of the machine is a multiple of it.
  constexpr std::size_t kStep = 4096;
  std::size_t done = 0;
  while (done < size) {
    const uint64_t at = address + done;
    if (at < address) break;  // wrapped round
    const std::size_t chunk = std::min(size - done, kStep - static_cast<std::size_t>(at % kStep));
    if (VmRead(at, static_cast<char*>(buffer) + done, chunk) != static_cast<ssize_t>(chunk)) break;
    done += chunk;
  }
  return done;
}
