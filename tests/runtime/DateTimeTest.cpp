#include "runtime/DateTime.h"

#include <gtest/gtest.h>

#include <clocale>
#include <cmath>

#include "runtime/SysUtils.h"

TEST(DateTime, CalendarArithmetic) {
  EXPECT_EQ(EncodeDate(1899, 12, 30), 0.0);
  EXPECT_EQ(EncodeDate(1900, 1, 1), 2.0);
  EXPECT_EQ(EncodeDate(2000, 2, 29), 36585.0);
  EXPECT_THROW(EncodeDate(2001, 2, 29), EConvertError);
  EXPECT_THROW(EncodeTime(24, 0, 0, 0), EConvertError);
  TDateTime v = EncodeDate(1994, 11, 6) + EncodeTime(8, 49, 37, 250);
  TDateParts d = DecodeDate(v);
  TTimeParts t = DecodeTime(v);
  EXPECT_EQ(d.Year, 1994);
  EXPECT_EQ(d.Month, 11);
  EXPECT_EQ(d.Day, 6);
  EXPECT_EQ(t.Hour, 8);
  EXPECT_EQ(t.Minute, 49);
  EXPECT_EQ(t.Second, 37);
  EXPECT_EQ(t.MSec, 250);
  EXPECT_EQ(DayOfWeek(v), 1);  // a Sunday
  EXPECT_EQ(DayOfWeek(0), 7);  // 1899-12-30 was a Saturday
  EXPECT_EQ(DateTimeToUnix(UnixToDateTime(784111777)), 784111777);
  EXPECT_EQ(DecodeDate(UnixToDateTime(0)).Year, 1970);
}

TEST(DateTime, NowIsToday) {
  TDateTime n = Now();
  EXPECT_GT(n, EncodeDate(2020, 1, 1));
  EXPECT_LT(n, EncodeDate(2200, 1, 1));
}

// The settings store writes and reads these texts in the user's locale; each
// available locale must read back what it wrote, the zero date-time included.
TEST(DateTime, TextRoundTripsInEveryAvailableLocale) {
  const char* locales[] = {"C", "C.UTF-8", "en_US.UTF-8", "en_AU.UTF-8", "de_DE.UTF-8", "ja_JP.UTF-8"};
  std::string saved = setlocale(LC_TIME, nullptr);
  int tried = 0;
  for (const char* name : locales) {
    if (!setlocale(LC_TIME, name)) continue;
    ++tried;
    for (TDateTime v : {0.0, EncodeDate(2026, 12, 8), EncodeDate(2026, 12, 8) + EncodeTime(15, 4, 5, 0),
                        EncodeDate(1999, 1, 2) + EncodeTime(0, 0, 1, 0), EncodeDate(2026, 7, 1) + EncodeTime(12, 0, 0, 0)}) {
      std::string text = DateTimeToStr(v);
      TDateTime back = -1;
      ASSERT_TRUE(TryStrToDateTime(text, back)) << name << ": " << text;
      EXPECT_NEAR(back, v, 1e-9) << name << ": " << text;
    }
    std::string zero = DateTimeToStr(0);
    EXPECT_NE(zero.find("1899"), std::string::npos) << name << ": " << zero;
    EXPECT_EQ(zero.find(':'), std::string::npos) << "midnight carries no time: " << zero;
  }
  setlocale(LC_TIME, saved.c_str());
  EXPECT_GE(tried, 1);
}

TEST(DateTime, UnreadableTextRaises) {
  std::string saved = setlocale(LC_TIME, nullptr);
  setlocale(LC_TIME, "C");
  EXPECT_EQ(DateTimeToStr(EncodeDate(2026, 12, 8) + EncodeTime(9, 5, 7, 0)), "12/08/2026 09:05:07");
  EXPECT_THROW(StrToDateTime("yesterday"), EConvertError);
  EXPECT_THROW(StrToDateTime("02/30/2026"), EConvertError);
  EXPECT_THROW(StrToDateTime("12/08/2026 09:05:07 trailing"), EConvertError);
  try {
    StrToDateTime("x");
  } catch (const EConvertError& e) {
    EXPECT_EQ(e.Message(), "'x' is not a valid date and time");
  }
  setlocale(LC_TIME, saved.c_str());
}
