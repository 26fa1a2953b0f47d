#include "runtime/SysUtils.h"

#include <gtest/gtest.h>

TEST(SysUtils, IntegerConversionAcceptsWhatTheUserMayType) {
  struct Case {
    const char* text;
    bool ok;
    int32_t value;
  } cases[] = {
      {"15", true, 15},          {" 15", true, 15},        {"  -5", true, -5},
      {"+7", true, 7},           {"$3C", true, 60},        {"0x3C", true, 60},
      {"0X3c", true, 60},        {"-$10", true, -16},      {"2147483647", true, 2147483647},
      {"-2147483648", true, INT32_MIN}, {"$FFFFFFFF", true, -1}, {"0", true, 0},
      {"15 ", false, 0},         {"abc", false, 0},        {"", false, 0},
      {"-", false, 0},           {"$", false, 0},          {"0x", false, 0},
      {"2147483648", false, 0},  {"-2147483649", false, 0}, {"$100000000", false, 0},
      {"\t15", false, 0},        {"1 5", false, 0},        {"12a", false, 0},
  };
  for (const Case& c : cases) {
    int32_t v = 0;
    EXPECT_EQ(TryStrToInt(c.text, v), c.ok) << c.text;
    if (c.ok) {
      EXPECT_EQ(v, c.value) << c.text;
    }
  }
}

TEST(SysUtils, StrToIntRaisesConvertErrorWithTheText) {
  try {
    StrToInt("abc");
    FAIL();
  } catch (const EConvertError& e) {
    EXPECT_EQ(e.Message(), "'abc' is not a valid integer value");
  }
  EXPECT_EQ(StrToIntDef("x", 60), 60);
  EXPECT_EQ(StrToInt64("9000000000"), 9000000000LL);
  EXPECT_EQ(StrToInt64Def("3000000000x", -1), -1);
}

TEST(SysUtils, TrimRemovesControlCharactersAndBlanks) {
  EXPECT_EQ(Trim("\x01\t a b \r\n"), "a b");
  EXPECT_EQ(TrimLeft("  a "), "a ");
  EXPECT_EQ(TrimRight("  a \x1f"), "  a");
  EXPECT_EQ(Trim(""), "");
  EXPECT_EQ(Trim("\x7f"), "\x7f");
}

TEST(SysUtils, CaseAndSearch) {
  EXPECT_TRUE(SameText("Content-Length", "CONTENT-length"));
  EXPECT_FALSE(SameText("a", "ab"));
  EXPECT_EQ(UpperCase("ab\xe4z"), "AB\xe4Z");
  EXPECT_EQ(FindText("xxKeep-Alive", "keep"), 2u);
  EXPECT_EQ(ReplaceAll("a<br>b<BR>c", "<br>", "\n\r"), "a\n\rb<BR>c");
  EXPECT_EQ(ReplaceAll("%LF%x%lf%", "%lf%", "\r\n", true), "\r\nx\r\n");
}

TEST(SysUtils, FileNames) {
  EXPECT_EQ(ChangeFileExt("/opt/p/Pinmark", ".ini"), "/opt/p/Pinmark.ini");
  EXPECT_EQ(ChangeFileExt("/opt/p/Pinmark.exe", ".ini"), "/opt/p/Pinmark.ini");
  EXPECT_EQ(ChangeFileExt("/opt/p.d/Pinmark", ".ini"), "/opt/p.d/Pinmark.ini");
  EXPECT_EQ(ExtractFileName("/a/b/c.txt"), "c.txt");
  EXPECT_EQ(ExtractFilePath("/a/b/c.txt"), "/a/b/");
  EXPECT_FALSE(ApplicationExeName().empty());
  EXPECT_EQ(IntToHex(0xbeef, 8), "0000BEEF");
  EXPECT_EQ(Format("%s/%d", "x", 5), "x/5");
}

TEST(SysUtils, DecimalConversionRefusesEverythingButDigits) {
  struct Case {
    const char* text;
    bool ok;
    int64_t value;
  } cases[] = {
      {"0", true, 0},       {"12", true, 12},       {"-1", true, -1},     {"+60", true, 60},
      {"9223372036854775807", true, INT64_MAX},     {"-9223372036854775808", true, INT64_MIN},
      {"9223372036854775808", false, 0},            {"$10", false, 0},    {"0x10", false, 0},
      {" 12", false, 0},    {"12 ", false, 0},      {"", false, 0},       {"-", false, 0},
      {"1e3", false, 0},
  };
  for (const Case& c : cases) {
    int64_t v = 0;
    EXPECT_EQ(TryDecimalToInt64(c.text, v), c.ok) << c.text;
    if (c.ok) {
      EXPECT_EQ(v, c.value) << c.text;
    }
  }
}
