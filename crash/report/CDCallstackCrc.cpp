#include "crash/report/CDCallstackCrc.h"

#include <array>

#include "runtime/SysUtils.h"

namespace {

constexpr std::array<uint32_t, 256> MakeTable() {
  std::array<uint32_t, 256> table{};
  for (uint32_t i = 0; i < 256; ++i) {
    uint32_t c = i;
    for (int k = 0; k < 8; ++k) c = (c & 1) ? 0xEDB88320u ^ (c >> 1) : c >> 1;
    table[i] = c;
  }
  return table;
}
constexpr std::array<uint32_t, 256> kTable = MakeTable();

uint32_t UpdateText(uint32_t crc, std::string_view text) {
  const std::string lower = LowerCase(text);
  return Crc32Update(crc, lower.data(), lower.size());
}

}  // namespace

uint32_t Crc32Update(uint32_t crc, const void* data, std::size_t size) {
  const auto* p = static_cast<const uint8_t*>(data);
  for (std::size_t i = 0; i < size; ++i) crc = kTable[(crc ^ p[i]) & 0xFF] ^ (crc >> 8);
  return crc;
}

uint32_t Crc32Fold(uint32_t crc, uint32_t value) {
  const uint8_t bytes[4] = {static_cast<uint8_t>(value), static_cast<uint8_t>(value >> 8),
                            static_cast<uint8_t>(value >> 16), static_cast<uint8_t>(value >> 24)};
  return Crc32Update(crc, bytes, sizeof bytes);
}

uint32_t StackEntryCrc(const TCDCrcEntry& e) {
  if (!e.Resolved || e.Module.empty() || e.Function.empty() || e.Address < e.FunctionStart) {
    if (e.Module.empty() || e.Address < e.ModuleBase) return static_cast<uint32_t>(e.Address);
    return UpdateText(static_cast<uint32_t>(e.Address - e.ModuleBase), e.Module);
  }
  uint32_t crc = static_cast<uint32_t>(e.Address - e.FunctionStart);
  crc = UpdateText(crc, e.Module);
  crc = UpdateText(crc, e.Unit);
  return UpdateText(crc, e.Function);
}

TCDThreadCrc ThreadCrc(const std::vector<TCDCrcEntry>& entries) {
  TCDThreadCrc t;
  for (std::size_t i = 0; i < entries.size(); ++i) {
    const uint32_t value = StackEntryCrc(entries[i]);
    if (i == 0)
      t.A = t.B = value;
    else
      t.B = Crc32Fold(t.B, value);
    t.HasLine = t.HasLine || entries[i].HasLine;
  }
  t.Empty = entries.empty();
  return t;
}

std::string CallstackCrcText(const TCDThreadCrc& crashed, const std::vector<TCDThreadCrc>& others) {
  uint32_t all = crashed.B;
  for (const TCDThreadCrc& t : others)
    if (t.HasLine) all = Crc32Fold(all, t.B);
  return Format("$%08x, $%08x, $%08x", crashed.A, crashed.B, all);
}
