// The search for the checksum section in a (possibly damaged) executable file
// and the checksum over it.
#include <cstddef>
#include <cstdint>
#include <cstring>

#include "crash/sys/FileCrc.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  TCDReadAt read = [data, size](uint64_t offset, void* buffer, std::size_t n) {
    if (offset > size || n > size - offset) return false;
    std::memcpy(buffer, data + offset, n);
    return true;
  };
  std::optional<uint64_t> field = FindChecksumField(read, size);
  (void)FindElfSection(read, size, ".comment");
  (void)FileChecksum(read, size, field);
  return 0;
}
