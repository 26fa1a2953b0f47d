// Date-time values: local time counted in days from midnight at the start of
// 30 December 1899, the time of day as the fraction.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

using TDateTime = double;

constexpr int64_t MSecsPerDay = 86400000;
constexpr int64_t SecsPerDay = 86400;

struct TDateParts {
  int Year = 1899, Month = 12, Day = 30;
};
struct TTimeParts {
  int Hour = 0, Minute = 0, Second = 0, MSec = 0;
};

bool IsValidDate(int year, int month, int day);
// Raise EConvertError for a date or time outside the calendar or the clock.
TDateTime EncodeDate(int year, int month, int day);
TDateTime EncodeTime(int hour, int minute, int second, int msec);
bool TryEncodeDate(int year, int month, int day, TDateTime& value);
bool TryEncodeTime(int hour, int minute, int second, int msec, TDateTime& value);
TDateParts DecodeDate(TDateTime value);
TTimeParts DecodeTime(TDateTime value);
// 1 = Sunday .. 7 = Saturday.
int DayOfWeek(TDateTime value);

// The local clock, with milliseconds.
TDateTime Now();
// Seconds since the Unix epoch (UTC) to a date-time on the same clock, and back.
TDateTime UnixToDateTime(int64_t seconds);
int64_t DateTimeToUnix(TDateTime value);

// Fixed forms, independent of the locale: "2026-12-08" and
// "14:03:07, 5ms" (milliseconds without leading zeros).
std::string IsoDateText(TDateTime value);
std::string TimeWithMsText(TDateTime value);

// The user's locale (the C library's LC_TIME data): the short date with a
// four-digit year, then a blank and the long time unless the time of day is
// 0:00:00 (milliseconds not counted). Both are the locale's forms made
// lossless (plain digits, seconds, a 24-hour clock where the locale has no
// AM/PM texts; numbers only where its names do not read back), so every
// locale reads back what it wrote, to the second. StrToDateTime reads that
// form back and raises EConvertError "'<s>' is not a valid date and time"
// otherwise.
std::string DateTimeToStr(TDateTime value);
TDateTime StrToDateTime(std::string_view text);
bool TryStrToDateTime(std::string_view text, TDateTime& value);
