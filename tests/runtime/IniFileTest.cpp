#include "runtime/IniFile.h"

#include <gtest/gtest.h>

#include <clocale>

#include "tests/support/TempDir.h"

TEST(IniFile, IntegerReadsRewriteTheCPrefixAndFallBack) {
  TempDir dir;
  TIniFile ini(dir.File("a.ini"));
  struct Case {
    const char* text;
    int32_t expected;
  } cases[] = {{"0x3C", 60}, {"0X3c", 60}, {"$3C", 60}, {"abc", 7}, {"-5", -5}, {"0", 0}, {"0x", 7}, {"", 7}, {" 15 ", 15}};
  for (const Case& c : cases) {
    ini.WriteString("P", "R", c.text);
    EXPECT_EQ(ini.ReadInteger("P", "R", 7), c.expected) << c.text;
  }
  EXPECT_EQ(ini.ReadInteger("P", "absent", 60), 60);
  ini.WriteInteger("P", "R", -12);
  EXPECT_EQ(ini.ReadString("P", "R", ""), "-12");
}

TEST(IniFile, DateTimeReadsBackAndUnreadableTextGivesTheDefault) {
  TempDir dir;
  TIniFile ini(dir.File("a.ini"));
  TDateTime when = EncodeDate(2026, 12, 8) + EncodeTime(17, 30, 5, 0);
  ini.WriteDateTime("T", "R", when);
  EXPECT_NEAR(ini.ReadDateTime("T", "R", -1), when, 1e-9);
  ini.WriteDateTime("T", "Z", 0);
  EXPECT_EQ(ini.ReadDateTime("T", "Z", -1), 0);
  ini.WriteString("T", "R", "not a date");
  EXPECT_EQ(ini.ReadDateTime("T", "R", 42), 42);
  EXPECT_EQ(ini.ReadDateTime("T", "absent", 42), 42);
}

// A value with a line break would otherwise put keys of its own into the file.
TEST(IniFile, ValuesAreCutAtTheFirstLineBreak) {
  TempDir dir;
  TIniFile ini(dir.File("a.ini"));
  ini.WriteString("Temp", "HTTPResponse", "1.2.3.4\r\n[User]\r\nPassword=evil");
  ini.WriteString("Temp", "Other", "a\nb");
  EXPECT_EQ(ini.ReadString("Temp", "HTTPResponse", ""), "1.2.3.4");
  EXPECT_EQ(ini.ReadString("Temp", "Other", ""), "a");
  EXPECT_EQ(ini.ReadString("User", "Password", "none"), "none");
  EXPECT_EQ(TempDir::Read(dir.File("a.ini")), "[Temp]\nHTTPResponse=1.2.3.4\nOther=a\n");
}
