#include "crash/report/CDRegisters.h"

#include <algorithm>


void WriteCpuRegisters(const TCDContext& c, TCDSafeText& out) {
  const struct {
    const char* Name;
    uint64_t Value;
  } registers[] = {{"rax", c.Rax}, {"rbx", c.Rbx}, {"rcx", c.Rcx}, {"rdx", c.Rdx}, {"rsi", c.Rsi},
                   {"rdi", c.Rdi}, {"rip", c.Rip}, {"rsp", c.Rsp}, {"rbp", c.Rbp}, {"r8 ", c.R8},
                   {"r9 ", c.R9},  {"r10", c.R10}, {"r11", c.R11}, {"r12", c.R12}, {"r13", c.R13},
                   {"r14", c.R14}, {"r15", c.R15}, {"eflags", c.Eflags}};
  bool first = true;
  for (const auto& r : registers) {
    if (!first) out.Add("\r\n");
    first = false;
    out.Add(r.Name).Add(" = ").Hex(r.Value, 16);
  }
}

std::string CpuRegistersText(const TCDContext& context) {
  TCDSafeTextBuffer<1024> text;
  WriteCpuRegisters(context, text);
  return std::string(text.View());
}

void WriteStackDump(uint64_t stackPointer, uint64_t regionEnd, const TCDReadMemory& read, TCDSafeText& out) {
  constexpr int kLines = 20, kWidth = 16;
  for (int line = 0; line < kLines; ++line) {
    const uint64_t at = stackPointer + static_cast<uint64_t>(line) * kWidth;
    if (at < stackPointer || at >= regionEnd) break;
    uint8_t bytes[kWidth];
    const std::size_t inRegion = static_cast<std::size_t>(std::min<uint64_t>(kWidth, regionEnd - at));
    const std::size_t valid = read(at, bytes, inRegion);
    if (valid == 0) break;
    if (line > 0) out.Add("\r\n");
    out.Hex(at, 16).Add("  ");
    for (std::size_t i = 0; i < kWidth; ++i) {
      if (i == 8) out.Add(i < valid ? "- " : "  ");
      if (i < valid)
        out.Hex(bytes[i], 2).Add(' ');
      else
        out.Add("   ");
    }
    out.Add(' ');
    for (std::size_t i = 0; i < valid; ++i) out.Add(bytes[i] >= 33 && bytes[i] <= 126 ? static_cast<char>(bytes[i]) : '.');
    if (valid < kWidth) break;
  }
}

std::string StackDumpText(uint64_t stackPointer, uint64_t regionEnd, const TCDReadMemory& read) {
  TCDSafeTextBuffer<4096> text;
  WriteStackDump(stackPointer, regionEnd, read, text);
  return std::string(text.View());
}
