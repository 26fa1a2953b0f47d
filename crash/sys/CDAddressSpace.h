// The process's address space as /proc/self/maps describes it: which ranges
// are mapped, with what access, and from which file.
//
// ParseProcMaps reads the text alone (any text: lines it cannot read are
// skipped), so it is tested on fixed inputs and fuzzed; TCDAddressSpace
// answers the questions the report asks of one snapshot (is this address
// code, where does the region that holds the stack pointer end). A snapshot
// is only as current as the moment it was read; readers of memory still go
// through the checked reads of CDMemory.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

struct TCDMapping {
  uint64_t Start = 0, End = 0;  // [Start, End)
  bool Read = false, Write = false, Exec = false, Shared = false;
  uint64_t Offset = 0;  // in the file
  uint64_t Inode = 0;
  std::string Path;  // file, "[stack]", "[heap]", ... or empty

  // Backed by a file on disk (not anonymous, not a kernel area).
  bool IsFile() const { return Inode != 0 && !Path.empty() && Path.front() == '/'; }
  // Reserved address space without access (guard pages, reservations).
  bool IsReservation() const { return !Read && !Write && !Exec; }
};

// The mappings in the order of the text; malformed lines are left out.
std::vector<TCDMapping> ParseProcMaps(std::string_view text);

class TCDAddressSpace {
 public:
  TCDAddressSpace() = default;
  // Mappings in any order; they are sorted by address.
  explicit TCDAddressSpace(std::vector<TCDMapping> mappings);
  // A snapshot of the running process.
  static TCDAddressSpace OfThisProcess();

  const std::vector<TCDMapping>& Mappings() const { return mappings_; }
  // The mapping holding the address, or null.
  const TCDMapping* Find(uint64_t address) const;
  bool IsCode(uint64_t address) const;
  // All of [address, address + size) lies in readable mappings.
  bool IsReadable(uint64_t address, uint64_t size) const;
  // End of the run of adjacent readable mappings that holds the address (0
  // when it is not readable): how far a dump may go from there.
  uint64_t ReadableEnd(uint64_t address) const;

 private:
  std::vector<TCDMapping> mappings_;
};
