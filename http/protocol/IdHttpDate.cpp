#include "http/protocol/IdHttpDate.h"

#include <cmath>
#include <ctime>

#include "http/IdException.h"
#include "runtime/SysUtils.h"

namespace {
constexpr std::size_t npos = std::string::npos;
const char* const kDayNames[7] = {"Sun", "Mon", "Tue", "Wed", "Thu", "Fri", "Sat"};
const char* const kMonthNames[12] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                     "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};

// The calendar's range; values outside it carry no date that could be written.
constexpr double kFirstDay = -693593.0;  // 0001-01-01
constexpr double kLastDay = 2958465.0;   // 9999-12-31

enum class Number { Ok, Missing, TooLarge };

// A decimal number as the date fields hold it: 16 bits at most.
Number ReadNumber(std::string_view token, int& value) {
  int64_t v = 0;
  if (!TryDecimalToInt64(token, v)) return Number::Missing;
  if (v < 0 || v > 65535) return Number::TooLarge;
  value = static_cast<int>(v);
  return Number::Ok;
}

// 1 to 12 for a month name (case ignored), 0 otherwise.
int MonthIndex(std::string_view token) {
  for (int i = 0; i < 12; ++i)
    if (SameText(token, kMonthNames[i])) return i + 1;
  return 0;
}

bool StartsWithDayName(std::string_view s) {
  if (s.size() < 3) return false;
  for (const char* name : kDayNames)
    if (SameText(s.substr(0, 3), name)) return true;
  return false;
}

// Removes and returns the text up to the separator; the separator goes too.
std::string Fetch(std::string& s, char separator) {
  std::size_t p = s.find(separator);
  std::string token = s.substr(0, p);
  s.erase(0, p == npos ? npos : p + 1);
  return token;
}

void DropLeadingSpaces(std::string& s) { s.erase(0, s.find_first_not_of(' ')); }

// Reads the date and time from the front of s and leaves the zone text in s.
// Answers false, with s holding what was left, when the text is not a date.
bool ParseDateAndTime(std::string& s, TDateTime& value) {
  if (StartsWithDayName(s)) {
    if (s.size() >= 5 && s[3] == ',' && s[4] != ' ') s.insert(4, 1, ' ');
    Fetch(s, ' ');
    DropLeadingSpaces(s);
  }

  std::size_t dash = s.find('-');
  std::size_t space = s.find(' ');
  char separator = dash != npos && dash >= 1 && space != npos && dash < space ? '-' : ' ';

  int day = 1, month = 0;
  std::string token = Fetch(s, separator);
  DropLeadingSpaces(s);
  if (int m = MonthIndex(token)) {
    month = m;
    token = Fetch(s, separator);
    DropLeadingSpaces(s);
    if (ReadNumber(token, day) == Number::TooLarge) return false;
  } else {
    if (ReadNumber(token, day) == Number::TooLarge) return false;
    token = Fetch(s, separator);
    DropLeadingSpaces(s);
    month = MonthIndex(token);
  }

  int year = 1900;
  std::string word = Fetch(s, ' ');
  if (ReadNumber(word, year) == Number::TooLarge) return false;
  if (year == 1900) {
    // The year may follow the time, as in "Sun Nov  6 08:49:37 1994".
    if (ReadNumber(s, year) == Number::TooLarge) return false;
    s = word;
  }
  if (year < 80)
    year += 2000;
  else if (year < 100)
    year += 1900;

  TDateTime date = 0;
  if (!TryEncodeDate(year, month, day, date)) return false;

  bool am = false, pm = false;
  if (std::size_t p = s.find("AM"); p != npos) {
    s.erase(p);
    am = true;
  }
  if (std::size_t p = s.find("PM"); p != npos) {
    s.erase(p);
    pm = true;
  }

  DropLeadingSpaces(s);
  if (s.find(':') != npos) {
    std::string timeWord = Fetch(s, ' ');
    int parts[3] = {0, 0, 0};
    for (int& part : parts) {
      if (timeWord.empty()) break;
      if (ReadNumber(Fetch(timeWord, ':'), part) == Number::TooLarge) return false;
    }
    if (am && parts[0] == 12) parts[0] = 0;
    if (pm && parts[0] < 12) parts[0] += 12;
    TDateTime time = 0;
    if (!TryEncodeTime(parts[0], parts[1], parts[2], 0, time)) return false;
    date += time;
  }
  DropLeadingSpaces(s);
  value = date;
  return true;
}

// "+hhmm" or "-hhmm" in days; every other zone counts as UTC.
double ZoneOffset(const std::string& zone) {
  if (zone.size() <= 4) return 0;
  std::string z = Trim(zone).substr(0, 5);
  if (z.size() < 5 || (z[0] != '+' && z[0] != '-')) return 0;
  int hours = 0, minutes = 0;
  if (ReadNumber(z.substr(1, 2), hours) != Number::Ok || ReadNumber(z.substr(3, 2), minutes) != Number::Ok) return 0;
  double offset = (hours * 60.0 + minutes) / (24.0 * 60.0);
  return z[0] == '-' ? -offset : offset;
}

// The local zone's offset from UTC, in days, at the given moment.
double LocalOffset(std::time_t moment) {
  std::tm local{};
  if (!localtime_r(&moment, &local))
    throw EIdFailedToRetreiveTimeZoneInfo("Failed attempting to retrieve time zone information.");
  return static_cast<double>(local.tm_gmtoff) / SecsPerDay;
}
}  // namespace

std::string FormatHttpDate(TDateTime value) {
  if (!std::isfinite(value)) value = 0;
  value = std::fmin(std::fmax(value, kFirstDay), kLastDay + static_cast<double>(MSecsPerDay - 1) / MSecsPerDay);
  TDateParts d = DecodeDate(value);
  TTimeParts t = DecodeTime(value);
  std::string time = Format("%.2d:%.2d:%.2d", t.Hour, t.Minute, t.Second);
  return Format("%s, %.2d %s %.4d %s %s", kDayNames[DayOfWeek(value) - 1], d.Day, kMonthNames[d.Month - 1], d.Year,
                time.c_str(), "GMT");
}

TDateTime ParseHttpDate(std::string_view text) {
  if (text.empty()) return 0;
  std::string rest = Trim(text);
  TDateTime value = 0;
  bool readable = ParseDateAndTime(rest, value);
  if (!readable) {
    value = 0;
    DropLeadingSpaces(rest);
  }
  TDateTime utc = value - ZoneOffset(rest);
  // Unreadable text has no moment of its own; the offset in force now is the
  // one it is moved by.
  std::time_t moment = readable ? static_cast<std::time_t>(DateTimeToUnix(utc)) : std::time(nullptr);
  return utc + LocalOffset(moment);
}
