#include "crash/snapshot/CDCallDecoder.h"

#include <algorithm>

namespace {

bool IsRex(uint8_t b) { return (b & 0xF0) == 0x40; }
bool IsLegacyPrefix(uint8_t b) {
  return b == 0x2E || b == 0x3E || b == 0x26 || b == 0x36 || b == 0x64 || b == 0x65 || b == 0x66 || b == 0x67;
}

// Length of FF /2 or FF /3 from its ModRM byte on (ModRM, SIB, displacement),
// or 0 when the ModRM byte does not make a call.
int IndirectCallTail(const uint8_t* p, std::size_t avail) {
  if (avail < 1) return 0;
  const uint8_t modrm = p[0];
  const int mod = modrm >> 6, reg = (modrm >> 3) & 7, rm = modrm & 7;
  if (reg != 2 && reg != 3) return 0;
  if (mod == 3) return reg == 2 ? 1 : 0;  // a far call needs a memory operand
  int length = 1;
  if (rm == 4) {
    if (avail < 2) return 0;
    const int base = p[1] & 7;
    length += 1;
    if (mod == 0 && base == 5) length += 4;
  } else if (mod == 0 && rm == 5) {
    length += 4;  // RIP-relative
  }
  if (mod == 1) length += 1;
  if (mod == 2) length += 4;
  return length;
}

// Whether an indirect call starts at p and is exactly `length` bytes long.
bool IndirectCallAt(const uint8_t* p, std::size_t length) {
  std::size_t i = 0;
  int prefixes = 0;
  while (i < length && IsLegacyPrefix(p[i]) && prefixes < 2) {
    ++i;
    ++prefixes;
  }
  if (i < length && IsRex(p[i])) ++i;
  if (i >= length || p[i] != 0xFF) return false;
  ++i;
  const int tail = IndirectCallTail(p + i, length - i);
  return tail > 0 && i + static_cast<std::size_t>(tail) == length;
}

}  // namespace

TCDCallSite CallBefore(const uint8_t* before, std::size_t count, uint64_t returnAddress) {
  TCDCallSite site;
  if (count >= 5 && before[count - 5] == 0xE8) {
    int32_t rel = static_cast<int32_t>(static_cast<uint32_t>(before[count - 4]) |
                                       static_cast<uint32_t>(before[count - 3]) << 8 |
                                       static_cast<uint32_t>(before[count - 2]) << 16 |
                                       static_cast<uint32_t>(before[count - 1]) << 24);
    site.Length = 5;
    site.Direct = true;
    site.Target = returnAddress + static_cast<uint64_t>(static_cast<int64_t>(rel));
    return site;
  }
  // The longest reading takes in the prefixes that belong to the call.
  for (std::size_t length = std::min(count, CDMaxCallLength); length >= 2; --length) {
    if (IndirectCallAt(before + count - length, length)) {
      site.Length = static_cast<int>(length);
      return site;
    }
  }
  return site;
}
