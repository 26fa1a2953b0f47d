// The memory reserve: while no exception is being handled the crash reporter
// holds four reserved (address space only) regions of 4 MB and four
// committed regions of 512 KB (charged to the process, never touched, so
// without a resident page). Handling an exception starts by giving them
// back, so that a program that ran out of address space or memory still has
// room for its report, and takes them again at its end.
//
// Every operation is safe in a signal handler (mmap and munmap only).
#pragma once

#include <cstddef>

class TCDMemoryReserve {
 public:
  static constexpr int kReservedCount = 4;
  static constexpr std::size_t kReservedSize = 4 * 1024 * 1024;
  static constexpr int kCommittedCount = 4;
  static constexpr std::size_t kCommittedSize = 512 * 1024;

  // Takes whatever of the reserve is not held (a region that cannot be
  // had now is tried again next time). Signal-safe.
  static void Take();
  // Gives everything back. Signal-safe.
  static void Release();
  // How many regions are held now. Signal-safe.
  static int Held();
};
