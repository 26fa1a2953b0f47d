// The callstack checksum against a plain bit-by-bit CRC-32 of the same
// bytes, so that a table error or an inversion shows.
#include <gtest/gtest.h>

#include <string>

#include "crash/report/CDCallstackCrc.h"

namespace {

// Reflected 0xEDB88320, bit by bit, no initial or final inversion.
uint32_t ReferenceCrc(uint32_t crc, const std::string& bytes) {
  for (unsigned char b : bytes) {
    crc ^= b;
    for (int k = 0; k < 8; ++k) crc = (crc >> 1) ^ ((crc & 1) ? 0xEDB88320u : 0);
  }
  return crc;
}

std::string Le(uint32_t v) {
  return std::string{static_cast<char>(v), static_cast<char>(v >> 8), static_cast<char>(v >> 16),
                     static_cast<char>(v >> 24)};
}

TCDCrcEntry Resolved(uint64_t address, uint64_t start, const char* module, const char* unit, const char* function,
                     bool line = true) {
  return TCDCrcEntry{address, true, start, module, unit, function, line};
}

}  // namespace

TEST(CDCallstackCrc, TheTableMatchesTheBitwiseCrcWithoutInversion) {
  const std::string text = "123456789";
  EXPECT_EQ(Crc32Update(0, text.data(), text.size()), ReferenceCrc(0, text));
  EXPECT_EQ(Crc32Update(0x12345678, text.data(), text.size()), ReferenceCrc(0x12345678, text));
  EXPECT_EQ(Crc32Update(0, "", 0), 0u);  // no inversion: nothing stays 0
  EXPECT_EQ(Crc32Fold(7, 0xA1B2C3D4), ReferenceCrc(7, Le(0xA1B2C3D4)));
}

TEST(CDCallstackCrc, EntriesFoldOffsetAndLowerCaseNamesAndThreadsFoldInSectionOrder) {
  const TCDCrcEntry first = Resolved(0x401234, 0x401200, "Pinmark", "frmPinmark", "TFormMain::btnPinmarkClick()");
  const TCDCrcEntry second = Resolved(0x7f0000001010, 0x7f0000001000, "libQt6Core.so.6", "", "QObject::event()");
  const TCDCrcEntry raw{0x7f00deadbeef, false, 0, "", "", "", false};

  const uint32_t a = ReferenceCrc(0x34, "pinmarkfrmpinmarktformmain::btnpinmarkclick()");
  EXPECT_EQ(StackEntryCrc(first), a);
  const uint32_t v2 = ReferenceCrc(0x10, "libqt6core.so.6qobject::event()");
  EXPECT_EQ(StackEntryCrc(second), v2);
  EXPECT_EQ(StackEntryCrc(raw), 0xdeadbeefu);

  TCDThreadCrc crashed = ThreadCrc({first, second, raw});
  EXPECT_EQ(crashed.A, a);
  const uint32_t b = ReferenceCrc(ReferenceCrc(a, Le(v2)), Le(0xdeadbeef));
  EXPECT_EQ(crashed.B, b);
  EXPECT_TRUE(crashed.HasLine);

  TCDThreadCrc withLines = ThreadCrc({first});
  TCDThreadCrc withoutLines = ThreadCrc({raw});
  EXPECT_FALSE(withoutLines.HasLine);
  const uint32_t all = ReferenceCrc(b, Le(withLines.B));
  char want[64];
  std::snprintf(want, sizeof want, "$%08x, $%08x, $%08x", a, b, all);
  EXPECT_EQ(CallstackCrcText(crashed, {withoutLines, withLines}), want);
  EXPECT_EQ(std::string(want).size(), 31u);
}

TEST(CDCallstackCrc, AnEntryWithoutAFunctionCountsByItsOffsetInItsModuleSoRunsAtOtherAddressesAgree) {
  // The same place in libc, loaded at two addresses in two runs.
  const TCDCrcEntry run1{0x7f1111123456, false, 0, "libc.so.6", "", "", false, 0x7f1111100000};
  const TCDCrcEntry run2{0x7f2222223456, false, 0, "libc.so.6", "", "", false, 0x7f2222200000};
  EXPECT_EQ(StackEntryCrc(run1), ReferenceCrc(0x23456, "libc.so.6"));
  EXPECT_EQ(StackEntryCrc(run1), StackEntryCrc(run2));
}
