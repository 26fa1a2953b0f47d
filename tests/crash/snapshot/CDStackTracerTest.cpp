// The stack tracer on hand-built stacks: which values count as return
// addresses, how the chain is chosen above the unwinder's frames, and how
// recursion collapses.
#include <gtest/gtest.h>

#include <cstring>
#include <map>

#include "crash/snapshot/CDCallDecoder.h"
#include "crash/snapshot/CDStackTracer.h"

namespace {

struct DecodeCase {
  std::vector<uint8_t> bytes;
  int length;  // 0: no call
  bool direct;
};

TCDCallSite Decode(const std::vector<uint8_t>& bytes, uint64_t returnAddress = 0x1000) {
  return CallBefore(bytes.data(), bytes.size(), returnAddress);
}

// A little program: code from 0x400000, one function per 0x1000 bytes, each
// of its calls placed where a test wants a return address; a stack at
// 0x7ff000 of 32 slots.
class TFakeProcess {
 public:
  static constexpr uint64_t kCode = 0x400000, kCodeSize = 0x10000, kStack = 0x7ff000, kSlots = 32;

  TFakeProcess()
      : space_(std::vector<TCDMapping>{
            TCDMapping{kCode, kCode + kCodeSize, true, false, true, false, 0, 1, "/opt/prog"},
            TCDMapping{kStack, kStack + kSlots * 8, true, true, false, false, 0, 0, "[stack]"}}),
        code_(kCodeSize, 0x90) {}

  // A relative call to `target` that returns to `returnAddress`.
  void CallAt(uint64_t returnAddress, uint64_t target) {
    uint8_t* p = &code_[returnAddress - kCode - 5];
    p[0] = 0xE8;
    int32_t rel = static_cast<int32_t>(target - returnAddress);
    std::memcpy(p + 1, &rel, 4);
  }
  // "call rax" returning to `returnAddress`.
  void IndirectCallAt(uint64_t returnAddress) {
    code_[returnAddress - kCode - 2] = 0xFF;
    code_[returnAddress - kCode - 1] = 0xD0;
  }

  TCDStackTracer Tracer() {
    return TCDStackTracer(
        space_,
        [this](uint64_t address, void* buffer, std::size_t size) -> std::size_t {
          if (address < kCode || address + size > kCode + kCodeSize) return 0;
          std::memcpy(buffer, &code_[address - kCode], size);
          return size;
        },
        [](uint64_t address) -> uint64_t { return address >= kCode ? address & ~uint64_t{0xFFF} : 0; });
  }

  TCDThreadCapture Capture(const std::vector<uint64_t>& slots) {
    TCDThreadCapture c;
    c.StackPointer = kStack;
    c.StackTop = kStack + kSlots * 8;
    c.Stack.resize(kSlots * 8);
    std::memcpy(c.Stack.data(), slots.data(), std::min<std::size_t>(slots.size(), kSlots) * 8);
    return c;
  }

  TCDAddressSpace space_;
  std::vector<uint8_t> code_;
};

std::vector<uint64_t> Addresses(const std::vector<TCDStackEntry>& entries) {
  std::vector<uint64_t> out;
  for (const TCDStackEntry& e : entries) out.push_back(e.Address);
  return out;
}

}  // namespace

TEST(CDCallDecoder, RecognisesEveryX8664CallFormAndNothingElse) {
  const DecodeCase cases[] = {
      {{0xE8, 0x00, 0x10, 0x00, 0x00}, 5, true},                    // call rel32
      {{0xFF, 0xD0}, 2, false},                                     // call rax
      {{0x41, 0xFF, 0xD3}, 3, false},                               // call r11
      {{0xFF, 0x10}, 2, false},                                     // call [rax]
      {{0xFF, 0x50, 0x08}, 3, false},                               // call [rax+8]
      {{0xFF, 0x90, 0x00, 0x01, 0x00, 0x00}, 6, false},             // call [rax+0x100]
      {{0xFF, 0x15, 0x10, 0x20, 0x30, 0x00}, 6, false},             // call [rip+0x302010]
      {{0xFF, 0x14, 0x24}, 3, false},                               // call [rsp]
      {{0xFF, 0x54, 0x24, 0x08}, 4, false},                         // call [rsp+8]
      {{0xFF, 0x94, 0x24, 0x00, 0x01, 0x00, 0x00}, 7, false},       // call [rsp+0x100]
      {{0xFF, 0x14, 0xC5, 0x00, 0x10, 0x60, 0x00}, 7, false},       // call [rax*8+0x601000]
      {{0x41, 0xFF, 0x54, 0x24, 0x08}, 5, false},                   // call [r12+8]
      {{0x42, 0xFF, 0x14, 0xE5, 0x00, 0x10, 0x60, 0x00}, 8, false}, // call [r12*8+0x601000]
      {{0x3E, 0xFF, 0xD0}, 3, false},                               // notrack call rax
      {{0x64, 0xFF, 0x14, 0x25, 0x28, 0x00, 0x00, 0x00}, 8, false}, // call fs:[0x28]
      {{0xFF, 0x18}, 2, false},                                     // call far [rax]
      {{0xFF, 0xD8}, 0, false},                                     // a far call needs memory
      {{0xFF, 0xE0}, 0, false},                                     // jmp rax
      {{0xFF, 0x20}, 0, false},                                     // jmp [rax]
      {{0x00, 0x00, 0x00, 0x00, 0x00}, 0, false},
      {{0xD0}, 0, false},
  };
  for (const DecodeCase& c : cases) {
    TCDCallSite site = Decode(c.bytes);
    EXPECT_EQ(site.Length, c.length) << testing::PrintToString(c.bytes);
    EXPECT_EQ(site.Direct, c.direct) << testing::PrintToString(c.bytes);
  }
  EXPECT_EQ(Decode({0xE8, 0x00, 0x10, 0x00, 0x00}, 0x2000).Target, 0x3000u);
  EXPECT_EQ(Decode({0xE8, 0xFB, 0xFF, 0xFF, 0xFF}, 0x2000).Target, 0x1FFBu);
}

TEST(CDStackTracer, ChoosesTheLinkedChainAboveTheStackPointerAndEndsWithTheCreationSite) {
  TFakeProcess p;
  // f1 at 0x401000 crashed; f2 calls f1; f3's call goes elsewhere; f4 calls
  // through a register and is vouched for by f6, which calls f4; f7 is
  // reached through the frame-pointer chain only.
  p.CallAt(0x402020, 0x401000);
  p.CallAt(0x403030, 0x405000);
  p.IndirectCallAt(0x404040);
  p.CallAt(0x406060, 0x404000);
  p.IndirectCallAt(0x407070);
  TCDThreadCapture c = p.Capture({0x12345, 0x402020, 0x403030, 0x404040, 0x406060, 0, 0x407070});
  c.FirstAddress = 0x401010;
  c.FramePointer = TFakeProcess::kStack + 5 * 8;  // its slot + 8 holds 0x407070
  c.CreationSite = 0x408008;

  std::vector<int> positions;
  std::vector<TCDStackEntry> entries = p.Tracer().Trace(c, [&](int at) { positions.push_back(at); });
  EXPECT_EQ(Addresses(entries),
            (std::vector<uint64_t>{0x401010, 0x402020, 0x404040, 0x406060, 0x407070, 0x408008}));
  EXPECT_TRUE(entries.front().Exact);
  EXPECT_TRUE(entries[4].Sure);
  EXPECT_TRUE(entries.back().CreationSite);
  ASSERT_FALSE(positions.empty());
  EXPECT_TRUE(std::is_sorted(positions.begin(), positions.end()));
  EXPECT_EQ(positions.back(), 1000);
}

TEST(CDStackTracer, TakesTheUnwoundFramesAndLooksForCandidatesOnlyAboveThem) {
  TFakeProcess p;
  p.CallAt(0x402020, 0x401000);  // below the last frame: the unwinder knew better
  p.CallAt(0x403030, 0x401000);
  p.CallAt(0x404040, 0x403000);  // above it, linking to the last frame
  TCDThreadCapture c = p.Capture({0x402020, 0x403030, 0, 0x404040});
  c.FirstAddress = 0x401010;
  c.Unwound = {TCDFrame{0x401010, TFakeProcess::kStack, true}, TCDFrame{0x403030, TFakeProcess::kStack + 16, false}};
  EXPECT_EQ(Addresses(p.Tracer().Trace(c)), (std::vector<uint64_t>{0x401010, 0x403030, 0x404040}));
  // The unwinder reached the thread's outermost frame: what lies above is
  // stale, however well it links; the creation site still follows.
  c.UnwoundToOutermost = true;
  c.CreationSite = 0x408008;
  EXPECT_EQ(Addresses(p.Tracer().Trace(c)), (std::vector<uint64_t>{0x401010, 0x403030, 0x408008}));
}

TEST(CDStackTracer, AStackWithoutReadableBytesGivesTheCurrentAddressOnly) {
  TFakeProcess p;
  TCDThreadCapture c;
  c.FirstAddress = 0x401010;
  EXPECT_EQ(Addresses(p.Tracer().Trace(c)), (std::vector<uint64_t>{0x401010}));
}

TEST(CDStackTracer, RecursionCollapsesToOneRound) {
  struct Case {
    std::vector<uint64_t> in, out;
  } cases[] = {
      {{1, 2, 3, 2, 3, 2, 3, 4}, {1, 2, 3, 4}},
      {{7, 7, 7, 7}, {7}},
      {{1, 2, 1, 2, 1}, {1, 2, 1}},
      {{1, 2, 3, 4}, {1, 2, 3, 4}},
  };
  for (const Case& c : cases) {
    std::vector<TCDStackEntry> entries;
    for (uint64_t a : c.in) entries.push_back(TCDStackEntry{a, false, false, false});
    TCDStackTracer::RemoveRecursiveAreas(entries);
    EXPECT_EQ(Addresses(entries), c.out) << testing::PrintToString(c.in);
  }
  // A deep recursion of a 3-frame round leaves one round, quickly.
  std::vector<TCDStackCandidate> deep;
  for (uint64_t i = 0; i < 300000; ++i) deep.push_back(TCDStackCandidate{i * 8, 0x401000 + i % 3, false, false, 0});
  TCDStackTracer::RemoveRecursiveStackAreas(deep);
  EXPECT_EQ(deep.size(), 3u);
}
