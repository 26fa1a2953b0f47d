#include "crash/sys/CDOwnMemory.h"

#include <sys/uio.h>
#include <unistd.h>

#include <algorithm>

namespace {
// Reads never cross this boundary, so that a readable start is never lost to
// an unreadable end. Every page size of the machine is a multiple of it.
constexpr std::size_t kStep = 4096;
}  // namespace

std::size_t ReadOwnMemory(uintptr_t address, void* buffer, std::size_t size) {
  std::size_t done = 0;
  const pid_t self = getpid();
  while (done < size) {
    const uintptr_t at = address + done;
    if (at < address) break;  // wrapped round
    const std::size_t chunk = std::min(size - done, kStep - at % kStep);
    iovec local{static_cast<char*>(buffer) + done, chunk};
    iovec remote{reinterpret_cast<void*>(at), chunk};
    // The kernel copies for us and answers EFAULT instead of faulting.
    const ssize_t n = process_vm_readv(self, &local, 1, &remote, 1, 0);
    if (n != static_cast<ssize_t>(chunk)) break;
    done += chunk;
  }
  return done;
}

bool CanReadOwnMemory(uintptr_t address, std::size_t size) {
  char probe[256];
  std::size_t checked = 0;
  while (checked < size) {
    const std::size_t n = std::min(sizeof probe, size - checked);
    if (ReadOwnMemory(address + checked, probe, n) != n) return false;
    checked += n;
  }
  return true;
}
