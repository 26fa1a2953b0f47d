#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "runtime/Resources.h"
#include "runtime/SysUtils.h"
#include "runtime/VersionInfo.h"
#include "tests/support/ScopedVersionTable.h"

namespace {
// Reads the whole version information of the running program, as a caller would.
std::vector<char> ReadBlock() {
  const uint32_t size = GetFileVersionInfoSize(ApplicationExeName());
  std::vector<char> block(size, 0);
  if (size != 0) {
    EXPECT_TRUE(GetFileVersionInfo(ApplicationExeName(), size, block.data()));
  }
  return block;
}

bool Query(const std::vector<char>& block, const std::string& path, std::string& value) {
  const char* buffer = nullptr;
  uint32_t length = 0;
  if (!VerQueryValue(block.data(), path, buffer, length)) return false;
  EXPECT_EQ(std::strlen(buffer) + 1, length);
  value = buffer;
  return true;
}

}  // namespace

TEST(VersionInfo, TheProgramsTableHoldsItsVersionStrings) {
  const std::vector<char> block = ReadBlock();
  ASSERT_FALSE(block.empty());
  struct {
    const char* key;
    const char* value;
  } const expected[] = {
      {"FileVersion", "1.0.0.2"},      {"ProductVersion", "1.0.0.0"}, {"OriginalFilename", "Pinmark"},
      {"FileDescription", "Pinmark"}, {"InternalName", "Pinmark"},    {"ProductName", "Pinmark"},
      {"LegalTrademarks", ""},
  };
  for (const auto& e : expected) {
    std::string value;
    EXPECT_TRUE(Query(block, std::string("\\StringFileInfo\\0C0904E4\\") + e.key, value)) << e.key;
    EXPECT_EQ(e.value, value) << e.key;
  }
  for (const char* key : {"CompanyName", "LegalCopyright", "Comments"}) {
    std::string value;
    EXPECT_TRUE(Query(block, std::string("\\StringFileInfo\\0C0904E4\\") + key, value)) << key;
    EXPECT_FALSE(value.empty()) << key;
  }
  std::string comments;
  Query(block, "\\StringFileInfo\\0C0904E4\\Comments", comments);
  EXPECT_NE(std::string::npos, comments.find("<br>"));
}

TEST(VersionInfo, PathsMatchWithoutCaseAndOnlyUnderTheirTable) {
  ScopedVersionTable table(
      "; comment\r\n"
      "\r\n"
      "[StringFileInfo\\0C0904E4]\r\n"
      "OriginalFilename=Pinmark\r\n"
      "Formula=a=b\r\n"
      "[StringFileInfo\\040904B0]\r\n"
      "OnlyHere=x\r\n");
  const std::vector<char> block = ReadBlock();
  std::string value;
  struct {
    const char* path;
    bool found;
    const char* value;
  } const cases[] = {
      {"\\StringFileInfo\\0C0904E4\\OriginalFileName", true, "Pinmark"},
      {"\\stringfileinfo\\0c0904e4\\ORIGINALFILENAME", true, "Pinmark"},
      {"StringFileInfo\\0C0904E4\\OriginalFilename", true, "Pinmark"},
      {"\\StringFileInfo\\0C0904E4\\Formula", true, "a=b"},
      {"\\StringFileInfo\\0C0904E4\\OnlyHere", false, ""},
      {"\\StringFileInfo\\040904B0\\OnlyHere", true, "x"},
      {"\\StringFileInfo\\0C0904E4\\Original", false, ""},
      {"\\StringFileInfo\\0C0904E4\\", false, ""},
      {"", false, ""},
  };
  for (const auto& c : cases) {
    value.clear();
    EXPECT_EQ(c.found, Query(block, c.path, value)) << c.path;
    EXPECT_EQ(c.value, value) << c.path;
  }
}

TEST(VersionInfo, OtherFilesAndMissingTablesHaveNoInformation) {
  EXPECT_EQ(0u, GetFileVersionInfoSize("/bin/sh"));
  EXPECT_EQ(0u, GetFileVersionInfoSize("/no/such/file"));
  EXPECT_EQ(0u, GetFileVersionInfoSize(""));
  char buffer[64] = {};
  EXPECT_FALSE(GetFileVersionInfo("/bin/sh", sizeof buffer, buffer));
  {
    ScopedVersionTable empty("; nothing but a comment\n");
    EXPECT_EQ(0u, GetFileVersionInfoSize(ApplicationExeName()));
  }
}

TEST(VersionInfo, ReadingRefusesABufferTooSmall) {
  const uint32_t size = GetFileVersionInfoSize(ApplicationExeName());
  ASSERT_GT(size, 8u);
  std::vector<char> block(size, 0);
  EXPECT_FALSE(GetFileVersionInfo(ApplicationExeName(), size - 1, block.data()));
  EXPECT_FALSE(GetFileVersionInfo(ApplicationExeName(), size, nullptr));
}

TEST(VersionInfo, DamagedBlocksAnswerNoQuery) {
  const char* buffer = nullptr;
  uint32_t length = 0;
  // A block of zeros, as left when reading failed.
  std::vector<char> zeros(64, 0);
  EXPECT_FALSE(VerQueryValue(zeros.data(), "\\StringFileInfo\\0C0904E4\\Comments", buffer, length));
  EXPECT_EQ(nullptr, buffer);
  EXPECT_FALSE(VerQueryValue(nullptr, "\\x", buffer, length));

  // A good block whose last value lost its terminator must not be read past its end.
  std::string block = CompileVersionTable("[T]\nKey=value\n");
  ASSERT_FALSE(block.empty());
  block.pop_back();
  block[4] = static_cast<char>(block.size());  // the size field tells the truth about the cut block
  EXPECT_FALSE(VerQueryValue(block.data(), "\\T\\Key", buffer, length));
  // A size field smaller than the header.
  std::string tiny = CompileVersionTable("[T]\nKey=value\n");
  tiny[4] = 3;
  EXPECT_FALSE(VerQueryValue(tiny.data(), "\\T\\Key", buffer, length));
}
