#include "http/protocol/IdHttpDate.h"

#include <gtest/gtest.h>

#include <cmath>

#include "tests/http/protocol/TimeZone.h"

namespace {
TDateTime At(int year, int month, int day, int hour = 0, int minute = 0, int second = 0) {
  return EncodeDate(year, month, day) + EncodeTime(hour, minute, second, 0);
}

// Whole seconds, so that float noise never decides a comparison.
int64_t Seconds(TDateTime value) { return DateTimeToUnix(value); }
}  // namespace

TEST(IdHttpDate, FormatWritesTheValueAsItIs) {
  EXPECT_EQ(FormatHttpDate(At(1994, 11, 6, 8, 49, 37)), "Sun, 06 Nov 1994 08:49:37 GMT");
  EXPECT_EQ(FormatHttpDate(At(2000, 1, 1)), "Sat, 01 Jan 2000 00:00:00 GMT");
  EXPECT_EQ(FormatHttpDate(At(2024, 2, 29, 23, 59, 59)), "Thu, 29 Feb 2024 23:59:59 GMT");
  // Nonsense values still give a date text, never a crash.
  EXPECT_EQ(FormatHttpDate(1e300), "Fri, 31 Dec 9999 23:59:59 GMT");
  EXPECT_EQ(FormatHttpDate(NAN), "Sat, 30 Dec 1899 00:00:00 GMT");
}

TEST(IdHttpDate, ParseReadsEveryClassicFormInUtc) {
  ScopedTimeZone utc("UTC0");
  struct Case {
    const char* text;
    TDateTime expected;
  } cases[] = {
      {"Sun, 06 Nov 1994 08:49:37 GMT", At(1994, 11, 6, 8, 49, 37)},
      {"Sunday, 06-Nov-94 08:49:37 GMT", At(1994, 11, 6, 8, 49, 37)},
      {"Sun Nov  6 08:49:37 1994", At(1994, 11, 6, 8, 49, 37)},
      {"Sun,06 Nov 1994 08:49:37 +0200", At(1994, 11, 6, 6, 49, 37)},
      {"06 Nov 1994 08:49:37 -0130", At(1994, 11, 6, 10, 19, 37)},
      {"sun, nov 06 1994 08:49:37 UTC", At(1994, 11, 6, 8, 49, 37)},
      {"Sun, 06 Nov 1994 08:49:37 PM", At(1994, 11, 6, 20, 49, 37)},
      {"Sun, 06 Nov 1994 12:30:00 AM", At(1994, 11, 6, 0, 30, 0)},
      {"Sun, 06 Nov 1994 12:30:00 PM", At(1994, 11, 6, 12, 30, 0)},
      {"Sun, 06 Nov 1994  08:49 GMT", At(1994, 11, 6, 8, 49, 0)},
      {"06 Nov 79 00:00:00 GMT", At(2079, 11, 6)},
      {"06 Nov 80 00:00:00 GMT", At(1980, 11, 6)},
      {"Wed, 01-Jan-05 01:02:03 GMT", At(2005, 1, 1, 1, 2, 3)},
      {"06 Nov 1994", At(1994, 11, 6)},
      {"  Thu, 01 Jan 1970 00:00:00 GMT  ", At(1970, 1, 1)},
      // Unreadable dates give 0 (moved by the local offset, which is 0 here).
      {"garbage", 0},
      {"-1", 0},
      {"Sun, 31 Nov 1994 08:49:37 GMT", 0},
      {"Sun, 06 Nov 1994 25:00:00 GMT", 0},
      {"06 Nov 70000 00:00:00 GMT", 0},
      {"06 Nov 1994 99999:00:00 GMT", 0},
      {"", 0},
  };
  for (const Case& c : cases) EXPECT_EQ(Seconds(ParseHttpDate(c.text)), Seconds(c.expected)) << c.text;
}

TEST(IdHttpDate, ParseMovesToLocalTimeWithTheOffsetOfThatMoment) {
  ScopedTimeZone berlin(kBerlin);
  struct Case {
    const char* text;
    TDateTime expected;
  } cases[] = {
      {"Thu, 01 Jul 2021 12:00:00 GMT", At(2021, 7, 1, 14, 0, 0)},    // summer time
      {"Fri, 01 Jan 2021 12:00:00 GMT", At(2021, 1, 1, 13, 0, 0)},    // winter time
      {"Sun, 28 Mar 2021 00:30:00 GMT", At(2021, 3, 28, 1, 30, 0)},   // just before the change
      {"Sun, 28 Mar 2021 01:30:00 GMT", At(2021, 3, 28, 3, 30, 0)},   // just after it
      {"Thu, 01 Jul 2021 12:00:00 +0200", At(2021, 7, 1, 12, 0, 0)},  // already local
  };
  for (const Case& c : cases) EXPECT_EQ(Seconds(ParseHttpDate(c.text)), Seconds(c.expected)) << c.text;

  // Unreadable text: 0 moved by the offset in force now, one or two hours.
  int64_t shift = Seconds(ParseHttpDate("garbage")) - Seconds(0);
  EXPECT_TRUE(shift == 3600 || shift == 7200) << shift;
  EXPECT_EQ(ParseHttpDate(""), 0);
}

TEST(IdHttpDate, FormattedDatesReadBack) {
  for (const char* zone : {"UTC0", kBerlin, "EST5EDT,M3.2.0,M11.1.0"}) {
    ScopedTimeZone tz(zone);
    for (TDateTime utc : {At(1994, 11, 6, 8, 49, 37), At(2021, 7, 1, 23, 59, 59), At(2021, 12, 24, 0, 0, 1),
                          At(2038, 1, 19, 3, 14, 8), At(1980, 1, 1)}) {
      std::time_t t = static_cast<std::time_t>(Seconds(utc));
      std::tm local{};
      localtime_r(&t, &local);
      EXPECT_EQ(Seconds(ParseHttpDate(FormatHttpDate(utc))), Seconds(utc) + local.tm_gmtoff)
          << zone << " " << FormatHttpDate(utc);
    }
  }
}
