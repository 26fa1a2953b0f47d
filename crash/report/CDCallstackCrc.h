// The callstack checksum: three 32-bit values that stay the same when the
// same failure happens again in the same code, so that a report file can
// merge repeated reports of one bug.
//
// Each listed stack entry gets a value: the offset of its address within its
// function, folded with the CRC-32 of its lower-case module name, unit name
// and function name when those are known. Without a function, an address in
// a known module counts as its offset in the module folded with the module's
// name, because modules load at other addresses in every run and the same
// failure must give the same value again; only an address outside every
// module counts as itself. A
// thread's value A is its first entry's value, B folds every following entry
// into A. The report's values are A and B of the crashed thread, and that B
// folded with the B of every other listed thread that has an entry with a
// line number. The CRC is the reflected polynomial 0xEDB88320, table-driven,
// with neither initial nor final inversion. Pure functions.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

uint32_t Crc32Update(uint32_t crc, const void* data, std::size_t size);
// Folds a 32-bit value in as its four bytes, little-endian.
uint32_t Crc32Fold(uint32_t crc, uint32_t value);

struct TCDCrcEntry {
  uint64_t Address = 0;
  bool Resolved = false;  // module, function start and function name are known
  uint64_t FunctionStart = 0;
  std::string Module, Unit, Function;
  bool HasLine = false;
  uint64_t ModuleBase = 0;  // with Module: where it is loaded
};

uint32_t StackEntryCrc(const TCDCrcEntry& entry);

struct TCDThreadCrc {
  uint32_t A = 0, B = 0;
  bool HasLine = false;  // some entry has a line number
  bool Empty = true;
};
TCDThreadCrc ThreadCrc(const std::vector<TCDCrcEntry>& entries);

// "$xxxxxxxx, $xxxxxxxx, $xxxxxxxx" from the crashed thread and the others in
// section order.
std::string CallstackCrcText(const TCDThreadCrc& crashed, const std::vector<TCDThreadCrc>& others);
