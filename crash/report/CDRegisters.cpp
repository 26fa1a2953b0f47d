#include "crash/report/CDRegisters.h"

#include <algorithm>

#include "crash/report/CDReportFormat.h"
#include "runtime/SysUtils.h"

std::string CpuRegistersText(const TCDContext& c) {
  const std::pair<const char*, uint64_t> registers[] = {
      {"rax", c.Rax}, {"rbx", c.Rbx}, {"rcx", c.Rcx}, {"rdx", c.Rdx}, {"rsi", c.Rsi}, {"rdi", c.Rdi},
      {"rip", c.Rip}, {"rsp", c.Rsp}, {"rbp", c.Rbp}, {"r8 ", c.R8},  {"r9 ", c.R9},  {"r10", c.R10},
      {"r11", c.R11}, {"r12", c.R12}, {"r13", c.R13}, {"r14", c.R14}, {"r15", c.R15}, {"eflags", c.Eflags}};
  std::string out;
  for (const auto& [name, value] : registers) {
    if (!out.empty()) out += "\r\n";
    out += std::string(name) + " = " + HexAddress(value);
  }
  return out;
}

std::string StackDumpText(uint64_t stackPointer, uint64_t regionEnd, const TCDReadMemory& read) {
  constexpr int kLines = 20, kWidth = 16;
  std::string out;
  for (int line = 0; line < kLines; ++line) {
    const uint64_t at = stackPointer + static_cast<uint64_t>(line) * kWidth;
    if (at < stackPointer || at >= regionEnd) break;
    uint8_t bytes[kWidth];
    const std::size_t inRegion = static_cast<std::size_t>(std::min<uint64_t>(kWidth, regionEnd - at));
    const std::size_t valid = read(at, bytes, inRegion);
    if (valid == 0) break;
    if (!out.empty()) out += "\r\n";
    out += HexAddress(at) + "  ";
    std::string chars;
    for (std::size_t i = 0; i < kWidth; ++i) {
      if (i == 8) out += i < valid ? "- " : "  ";
      if (i < valid) {
        out += Format("%02x ", bytes[i]);
        chars += bytes[i] >= 33 && bytes[i] <= 126 ? static_cast<char>(bytes[i]) : '.';
      } else {
        out += "   ";
      }
    }
    out += ' ' + chars;
    if (valid < kWidth) break;
  }
  return out;
}
