// The restart block a new process finds at start-up: arbitrary bytes as the
// shared memory's content; what parses must encode back to the same bytes.
#include <cstddef>
#include <cstdint>
#include <cstring>

#include "crash/capture/CDRestartBlock.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::optional<TCDRestartHandover> h = ParseRestartBlock(std::span(data, size), 4321);
  if (!h) return 0;
  uint8_t again[CDRestartBlockSize];
  EncodeRestartBlock(*h, again);
  std::optional<TCDRestartHandover> back = ParseRestartBlock(again, 4321);
  if (!back || back->OldProcessId != h->OldProcessId || back->Times != h->Times) __builtin_trap();
  return 0;
}
