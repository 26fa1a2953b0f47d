#include "runtime/DateTime.h"

#include <gtest/gtest.h>

#include <clocale>
#include <cmath>
#include <cstdio>
#include <string>
#include <vector>

#include "runtime/SysUtils.h"

TEST(DateTime, CalendarArithmetic) {
  EXPECT_EQ(EncodeDate(1899, 12, 30), 0.0);
  EXPECT_EQ(EncodeDate(1900, 1, 1), 2.0);
  EXPECT_EQ(EncodeDate(2000, 2, 29), 36585.0);
  EXPECT_THROW(EncodeDate(2001, 2, 29), EConvertError);
  // Leap years: every fourth, except centuries, except every fourth century.
  struct Leap {
    int year;
    bool leap;
  } leaps[] = {{1900, false}, {2000, true}, {2024, true}, {2026, false},
               {2100, false}, {2400, true}, {1, false},   {4, true}};
  for (const Leap& l : leaps) {
    EXPECT_EQ(IsValidDate(l.year, 2, 29), l.leap) << l.year;
    EXPECT_TRUE(IsValidDate(l.year, 2, 28)) << l.year;
    EXPECT_EQ(EncodeDate(l.year, 3, 1) - EncodeDate(l.year, 2, 28), l.leap ? 2.0 : 1.0) << l.year;
  }
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

namespace {
// Every locale installed on the machine, as `locale -a` lists them.
std::vector<std::string> InstalledLocales() {
  std::vector<std::string> names;
  if (FILE* list = popen("locale -a 2>/dev/null", "r")) {
    char line[256];
    while (std::fgets(line, sizeof line, list)) {
      std::string name = Trim(line);
      if (!name.empty()) names.push_back(name);
    }
    pclose(list);
  }
  if (names.empty()) names.push_back("C");
  return names;
}
}  // namespace

// The settings store writes and reads these texts in the user's locale; each
// installed locale must read back what it wrote, to the second: the century
// (two-digit and alternative-digit years), the afternoon (12-hour clocks
// without AM/PM texts) and the seconds (time forms without them) included.
TEST(DateTime, TextRoundTripsInEveryInstalledLocale) {
  const std::string saved = setlocale(LC_ALL, nullptr);
  const TDateTime values[] = {0.0,
                              EncodeDate(2026, 12, 8),
                              EncodeDate(2026, 12, 8) + EncodeTime(15, 4, 5, 0),
                              EncodeDate(1999, 1, 2) + EncodeTime(0, 0, 1, 0),
                              EncodeDate(2026, 7, 1) + EncodeTime(12, 0, 0, 0),
                              EncodeDate(2026, 3, 31) + EncodeTime(23, 59, 59, 0),
                              EncodeDate(1905, 5, 17) + EncodeTime(11, 30, 7, 0)};
  int tried = 0, failed = 0;
  for (const std::string& name : InstalledLocales()) {
    if (!setlocale(LC_ALL, name.c_str())) continue;
    ++tried;
    for (TDateTime v : values) {
      const std::string text = DateTimeToStr(v);
      TDateTime back = -1;
      if (!TryStrToDateTime(text, back) || back != v) {
        ADD_FAILURE() << name << ": \"" << text << "\" read back as " << back << " instead of " << v;
        ++failed;
        break;
      }
    }
    const std::string zero = DateTimeToStr(0);
    EXPECT_NE(zero.find("1899"), std::string::npos) << name << ": " << zero;
    EXPECT_EQ(zero.find(':'), std::string::npos) << name << ": midnight carries no time: " << zero;
  }
  setlocale(LC_ALL, saved.c_str());
  EXPECT_GE(tried, 1);
  EXPECT_EQ(failed, 0) << "of " << tried << " locales";
}

// Before 30 December 1899 the whole part counts the days back and the
// fraction still the time of day forward from that day's midnight: -1.25 is
// 29 December 1899, 06:00 (not 18:00, nor -0.75 when read back).
TEST(DateTime, DatesBeforeTheEpochKeepTheirTimeOfDay) {
  const std::string saved = setlocale(LC_ALL, nullptr);
  setlocale(LC_ALL, "C");
  const struct {
    TDateTime value;
    int year, month, day, hour, minute;
  } cases[] = {{-1.25, 1899, 12, 29, 6, 0},
               {-1.75, 1899, 12, 29, 18, 0},
               {-366.5, 1898, 12, 29, 12, 0},
               {-1, 1899, 12, 29, 0, 0}};
  for (const auto& c : cases) {
    const TDateParts d = DecodeDate(c.value);
    const TTimeParts t = DecodeTime(c.value);
    EXPECT_EQ((std::vector<int>{d.Year, d.Month, d.Day, t.Hour, t.Minute}),
              (std::vector<int>{c.year, c.month, c.day, c.hour, c.minute}))
        << c.value;
    EXPECT_EQ(StrToDateTime(DateTimeToStr(c.value)), c.value) << DateTimeToStr(c.value);
  }
  setlocale(LC_ALL, saved.c_str());
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
