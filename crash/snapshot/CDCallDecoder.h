// Tells whether the bytes right before a code address end in a call
// instruction, which is what makes a value on the stack a possible return
// address.
//
// x86-64 calls: the relative call (E8 and a 32-bit displacement, 5 bytes)
// and the indirect call (FF with a ModRM byte whose reg field is 2, or 3 for
// the far form through memory) in every addressing form: register, memory
// through a base register, through a SIB byte, RIP-relative, with 8- or
// 32-bit displacements; each optionally after a REX prefix and up to two of
// the prefixes compilers put in front of calls (segment overrides, "notrack",
// operand and address size). Pure; reads only the bytes it is given.
#pragma once

#include <cstddef>
#include <cstdint>

struct TCDCallSite {
  int Length = 0;        // of the call instruction; 0 when there is none
  bool Direct = false;   // a relative call, whose target is known
  uint64_t Target = 0;   // for a direct call
};

// The longest call instruction an x86-64 compiler emits, prefixes included.
inline constexpr std::size_t CDMaxCallLength = 10;

// `before` holds the `count` bytes that end right before `returnAddress`
// (before[count - 1] is the byte at returnAddress - 1). Prefers the direct
// call when both readings fit, and of the indirect readings the longest.
TCDCallSite CallBefore(const uint8_t* before, std::size_t count, uint64_t returnAddress);
