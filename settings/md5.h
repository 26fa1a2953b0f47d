// MD5 message digest (RFC 1321) and its lower-case hex text.
#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <string_view>

struct TMD5Context {
  uint32_t State[4];   // chaining values A, B, C, D
  uint32_t Count[2];   // message length in bits, low word first
  uint8_t Buffer[64];  // bytes not yet filling a block
};
static_assert(sizeof(TMD5Context) == 88, "the context is 88 bytes");

using TMD5Digest = std::array<uint8_t, 16>;

void MD5Init(TMD5Context& context);
void MD5Update(TMD5Context& context, const void* input, uint32_t length);
// Completes the digest and wipes the whole context.
void MD5Final(TMD5Context& context, TMD5Digest& digest);
TMD5Digest MD5OfString(std::string_view text);
std::string DigestToHex(const TMD5Digest& digest);
