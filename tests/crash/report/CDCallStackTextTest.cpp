// The call-stack columns, the single-line forms, the registers, the stack
// dump at the end of its region and the disassembly's marker.
#include <gtest/gtest.h>

#include <cstring>

#include "crash/report/CDCallStackText.h"
#include "crash/report/CDDisassembler.h"
#include "crash/report/CDRegisters.h"
#include "crash/sys/CDMemory.h"

namespace {

TCDSymbol Sym(const char* module, const char* unit, const char* function, uint64_t start, int line, int first) {
  TCDSymbol s;
  s.Known = true;
  s.Module = module;
  s.Unit = unit;
  s.Function = function;
  s.HasStart = start != 0;
  s.FunctionStart = start;
  s.Line = line;
  s.FunctionLine = first;
  return s;
}

[[gnu::noinline]] int Disassembled(int x) {
  volatile int y = x;
  return y * 3 + 1;
}

}  // namespace

TEST(CDCallStackText, AlignsEveryColumnAndPutsTheCreatorBeforeTheCreationSite) {
  std::vector<TCDStackLine> lines{
      {0x401a2c, Sym("Pinmark", "frmPinmark.cpp", "TFormMain::btnPinmarkClick()", 0x401a00, 123, 120)},
      {0x7f0000012345, Sym("libQt6Core.so.6", "", "QObject::event()", 0x7f0000012000, 0, 0)},
      {0x402000, Sym("Pinmark", "main.cpp", "main", 0, 7, 0)},
      {0xdead, TCDSymbol{}},
  };
  EXPECT_EQ(FormatCallStack(lines, {true, true}, "main thread ($1f2)"),
            "0000000000401a2c +02c Pinmark         frmPinmark.cpp  123 +3 TFormMain::btnPinmarkClick()\r\n"
            "00007f0000012345 +345 libQt6Core.so.6                        QObject::event()\r\n"
            "0000000000402000 +000 Pinmark         main.cpp          7  7 main\r\n"
            ">> created by main thread ($1f2) at:\r\n"
            "000000000000dead +000                                        ???");
  EXPECT_EQ(FormatCallStack({lines[0], lines[2]}, {false, false}, ""),
            "0000000000401a2c Pinmark frmPinmark.cpp  123 TFormMain::btnPinmarkClick()\r\n"
            "0000000000402000 Pinmark main.cpp          7 main");
}

TEST(CDCallStackText, SingleLineFormsWithAndWithoutRelativeParts) {
  const TCDSymbol s = Sym("Pinmark", "frmPinmark.cpp", "TFormMain::btnPinmarkClick()", 0x401a00, 123, 120);
  EXPECT_EQ(SingleLineForm(0x401a2c, s, {true, true}),
            "0000000000401a2c +2c Pinmark frmPinmark.cpp 123 +3 TFormMain::btnPinmarkClick()");
  EXPECT_EQ(SingleLineForm(0x401a2c, s, {false, false}),
            "0000000000401a2c Pinmark frmPinmark.cpp 123 TFormMain::btnPinmarkClick()");
  EXPECT_EQ(SingleLineForm(0x401a2c, Sym("Pinmark", "frmPinmark.cpp", "f", 0x401a00, 123, 0), {false, true}),
            "0000000000401a2c Pinmark frmPinmark.cpp 123 +0 f");
  EXPECT_EQ(SingleLineForm(0xdead, TCDSymbol{}, {true, true}), "000000000000dead +0 ???");
  EXPECT_EQ(SingleLineForm(0xdead, TCDSymbol{}, {false, true}), "000000000000dead ???");
  EXPECT_EQ(InternalErrorText("InDeepChecks"), ">> internal error in InDeepChecks");
  EXPECT_EQ(InternalErrorText("plugin", "0000000000401a2c ???"), ">> internal error in plugin:\r\n0000000000401a2c ???");
}

TEST(CDRegisters, ListsTheRegistersInTheirOrderWithSixteenDigits) {
  TCDContext c;
  c.Rax = 1;
  c.Rip = 0x401a2c;
  c.R15 = 0xffffffffffffffff;
  c.Eflags = 0x246;
  std::string text = CpuRegistersText(c);
  EXPECT_EQ(text.substr(0, 24), "rax = 0000000000000001\r\n");
  EXPECT_NE(text.find("\r\nrip = 0000000000401a2c\r\nrsp = "), std::string::npos);
  EXPECT_NE(text.find("\r\nr8  = 0000000000000000\r\n"), std::string::npos);
  EXPECT_NE(text.find("\r\nr15 = ffffffffffffffff\r\neflags = 0000000000000246"), std::string::npos);
}

TEST(CDRegisters, TheStackDumpStopsAtTheEndOfItsRegionWithBlanksForTheMissingBytes) {
  uint8_t memory[64];
  for (int i = 0; i < 64; ++i) memory[i] = static_cast<uint8_t>('0' + i);
  memory[1] = 0;
  memory[2] = ' ';
  const uint64_t base = 0x7ffd0000;
  auto read = [&](uint64_t address, void* buffer, std::size_t size) -> std::size_t {
    if (address < base || address + size > base + sizeof memory) return 0;
    std::memcpy(buffer, memory + (address - base), size);
    return size;
  };
  // 16 bytes, then 6 before the region ends.
  EXPECT_EQ(StackDumpText(base, base + 22, read),
            "000000007ffd0000  30 00 20 33 34 35 36 37 - 38 39 3a 3b 3c 3d 3e 3f  0..3456789:;<=>?\r\n"
            "000000007ffd0010  40 41 42 43 44 45                                  @ABCDE");
  // Ending right after the eighth byte: no "- " either.
  EXPECT_EQ(StackDumpText(base + 16, base + 24, read),
            "000000007ffd0010  40 41 42 43 44 45 46 47                            @ABCDEFG");
  EXPECT_EQ(StackDumpText(base, base, read), "");
  // Twenty lines at most.
  std::vector<uint8_t> big(1024, 0x41);
  auto readBig = [&](uint64_t address, void* buffer, std::size_t size) -> std::size_t {
    std::memcpy(buffer, big.data() + (address - 0x1000), size);
    return size;
  };
  std::string text = StackDumpText(0x1000, 0x1000 + big.size(), readBig);
  EXPECT_EQ(std::count(text.begin(), text.end(), '\n'), 19);
}

TEST(CDDisassembler, MarksTheFaultingInstructionOfARealFunction) {
  EXPECT_EQ(Disassembled(2), 7);
  const uint64_t start = reinterpret_cast<uint64_t>(&Disassembled);
  TCDSymbolizer symbols;
  // The second instruction of the function stands for the fault.
  std::string whole = DisassemblyText(start, symbols, ReadOwnMemoryPartly, false, 0);
  ASSERT_FALSE(whole.empty());
  std::size_t second = whole.find("\r\n") + 2;
  const uint64_t fault = std::stoull(whole.substr(second, 16), nullptr, 16);
  std::string text = DisassemblyText(fault, symbols, ReadOwnMemoryPartly, false, 0);
  int marks = 0;
  for (std::size_t at = 0; at < text.size();) {
    std::size_t end = text.find("\r\n", at);
    std::string line = text.substr(at, end == std::string::npos ? std::string::npos : end - at);
    bool marked = line.find(" > ") != std::string::npos;
    marks += marked;
    if (marked) {
      EXPECT_EQ(line.substr(0, 16), whole.substr(second, 16));
    }
    if (end == std::string::npos) break;
    at = end + 2;
  }
  EXPECT_EQ(marks, 1) << text;
  EXPECT_EQ(text.substr(0, 16), whole.substr(0, 16));  // the whole function from its start
  // With the instruction bytes.
  std::string formatted = DisassemblyText(fault, symbols, ReadOwnMemoryPartly, true, 0);
  EXPECT_NE(formatted.find(" > "), std::string::npos);
  EXPECT_GT(formatted.size(), text.size());
}
