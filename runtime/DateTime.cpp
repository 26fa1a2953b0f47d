#include "runtime/DateTime.h"

#include <langinfo.h>
#include <sys/time.h>

#include <cctype>
#include <clocale>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <vector>

#include "runtime/SysUtils.h"

namespace {
// Days from 1970-01-01 of a proleptic Gregorian date (H. Hinnant's algorithm).
int64_t DaysFromCivil(int64_t y, unsigned m, unsigned d) {
  y -= m <= 2;
  const int64_t era = (y >= 0 ? y : y - 399) / 400;
  const unsigned yoe = static_cast<unsigned>(y - era * 400);
  const unsigned doy = (153 * (m + (m > 2 ? -3 : 9)) + 2) / 5 + d - 1;
  const unsigned doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
  return era * 146097 + static_cast<int64_t>(doe) - 719468;
}

void CivilFromDays(int64_t z, int& year, int& month, int& day) {
  z += 719468;
  const int64_t era = (z >= 0 ? z : z - 146096) / 146097;
  const unsigned doe = static_cast<unsigned>(z - era * 146097);
  const unsigned yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
  const unsigned doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
  const unsigned mp = (5 * doy + 2) / 153;
  day = static_cast<int>(doy - (153 * mp + 2) / 5 + 1);
  month = static_cast<int>(mp < 10 ? mp + 3 : mp - 9);
  year = static_cast<int>(static_cast<int64_t>(yoe) + era * 400 + (month <= 2));
}

const int64_t kEpochDelta = -DaysFromCivil(1899, 12, 30);  // days from 1899-12-30 to 1970-01-01

// Whole days and milliseconds of the time of day.
void Split(TDateTime value, int64_t& days, int64_t& msecs) {
  double whole = std::trunc(value);
  days = static_cast<int64_t>(whole);
  msecs = std::llround(std::fabs(value - whole) * MSecsPerDay);
  if (msecs >= MSecsPerDay) msecs = MSecsPerDay - 1;
}

// The text form of a date-time in the current locale: its short date and
// long time, made lossless. Some locales' own forms do not read back: a
// two-digit or alternative-digit year loses the century, a time without
// seconds loses them, a 12-hour clock whose AM and PM texts are empty loses
// the afternoon, and some names do not parse. The rules below mend the known
// cases; a form that still fails a probe falls back to the 24-hour clock and
// then to numbers only, so every locale reads back what it wrote.
struct TStampFormat {
  std::string date, time;
};

// Drops the E (era) and O (alternative digits) modifiers: plain digits and
// Gregorian years are what strptime reads back reliably.
std::string PlainConversions(std::string_view f) {
  std::string out;
  for (std::size_t i = 0; i < f.size(); ++i) {
    out += f[i];
    if (f[i] != '%' || i + 1 >= f.size()) continue;
    ++i;
    if ((f[i] == 'E' || f[i] == 'O') && i + 1 < f.size()) ++i;
    out += f[i];
  }
  return out;
}

// Removes a conversion and one blank next to it.
std::string DropConversion(std::string f, std::string_view conversion) {
  std::size_t at;
  while ((at = f.find(conversion)) != std::string::npos) {
    std::size_t from = at, to = at + conversion.size();
    if (to < f.size() && f[to] == ' ')
      ++to;
    else if (from > 0 && f[from - 1] == ' ')
      --from;
    f.erase(from, to - from);
  }
  return Trim(f);
}

std::string LocaleDateFormat() {
  std::string f = PlainConversions(nl_langinfo(D_FMT));
  if (f.empty()) f = "%m/%d/%Y";
  f = ReplaceAll(f, "%D", "%m/%d/%y");
  f = ReplaceAll(f, "%C%y", "%Y");
  return ReplaceAll(f, "%y", "%Y");
}

std::string LocaleTimeFormat() {
  std::string f = PlainConversions(nl_langinfo(T_FMT));
  if (f.empty()) f = "%H:%M:%S";
  std::string ampm = PlainConversions(nl_langinfo(T_FMT_AMPM));
  f = ReplaceAll(f, "%r", ampm.empty() ? "%I:%M:%S %p" : ampm);
  f = ReplaceAll(f, "%T", "%H:%M:%S");
  f = ReplaceAll(f, "%R", "%H:%M");
  // The value is local time without a zone; a zone text would only mislead.
  f = DropConversion(DropConversion(f, "%z"), "%Z");
  const std::string am = nl_langinfo(AM_STR), pm = nl_langinfo(PM_STR);
  const bool twelveHour = f.find("%I") != std::string::npos || f.find("%l") != std::string::npos;
  if (twelveHour && (am.empty() || pm.empty() || am == pm || f.find("%p") == std::string::npos)) {
    f = DropConversion(DropConversion(f, "%p"), "%P");
    f = ReplaceAll(ReplaceAll(f, "%I", "%H"), "%l", "%H");
  }
  const std::size_t minute = f.find("%M");
  if (f.find("%S") == std::string::npos && minute != std::string::npos) {
    // Seconds follow the minutes with the separator that leads to them.
    const char before = minute > 0 ? f[minute - 1] : ':';
    const bool separator = before != ' ' && std::ispunct(static_cast<unsigned char>(before));
    f.insert(minute + 2, std::string(1, separator ? before : ':') + "%S");
  }
  return f;
}

std::string FormatTm(const std::string& format, const std::tm& tm) {
  char buf[512];
  std::size_t n = std::strftime(buf, sizeof buf, format.c_str(), &tm);
  return Trim(std::string_view(buf, n));
}

// Parses all of text with the format; true only when nothing but blanks is left.
bool ParseAll(const std::string& text, const std::string& format, std::tm& tm) {
  std::memset(&tm, 0, sizeof tm);
  tm.tm_mday = 0;
  const char* rest = strptime(text.c_str(), format.c_str(), &tm);
  if (!rest) return false;
  while (*rest == ' ') ++rest;
  return *rest == '\0';
}

std::string FormatStamp(TDateTime value, const TStampFormat& f) {
  TDateParts d = DecodeDate(value);
  TTimeParts t = DecodeTime(value);
  std::tm tm{};
  tm.tm_year = d.Year - 1900;
  tm.tm_mon = d.Month - 1;
  tm.tm_mday = d.Day;
  tm.tm_hour = t.Hour;
  tm.tm_min = t.Minute;
  tm.tm_sec = t.Second;
  tm.tm_wday = DayOfWeek(value) - 1;
  tm.tm_yday = static_cast<int>(std::trunc(value) - EncodeDate(d.Year, 1, 1));
  std::string text = FormatTm(f.date, tm);
  if (t.Hour != 0 || t.Minute != 0 || t.Second != 0) text += ' ' + FormatTm(f.time, tm);
  return text;
}

bool ParseStamp(std::string_view text, const TStampFormat& f, TDateTime& value) {
  std::string s = Trim(text);
  if (s.empty()) return false;
  std::tm tm{};
  bool ok = ParseAll(s, f.date + " " + f.time, tm);
  if (!ok) {
    ok = ParseAll(s, f.date, tm);
    tm.tm_hour = tm.tm_min = tm.tm_sec = 0;
  }
  if (!ok) return false;
  TDateTime date = 0, time = 0;
  if (!TryEncodeDate(tm.tm_year + 1900, tm.tm_mon + 1, tm.tm_mday, date)) return false;
  if (!TryEncodeTime(tm.tm_hour, tm.tm_min, tm.tm_sec, 0, time)) return false;
  value = date < 0 ? date - time : date + time;
  return true;
}

// Every month (for the names), both halves of the day, the zero date-time
// and a midnight: what a form must carry through a round trip.
bool ReadsBack(const TStampFormat& f) {
  std::vector<TDateTime> probes = {0, EncodeDate(1999, 1, 2), EncodeDate(2026, 7, 1) + EncodeTime(12, 0, 0, 0),
                                   EncodeDate(2026, 7, 1) + EncodeTime(0, 30, 0, 0),
                                   EncodeDate(2100, 12, 31) + EncodeTime(23, 59, 59, 0)};
  for (int m = 1; m <= 12; ++m)
    probes.push_back(EncodeDate(2026, m, m + 9) + EncodeTime(m * 2 - 1, m * 4, m * 3 + 1, 0));
  for (TDateTime v : probes) {
    TDateTime back = -1;
    if (!ParseStamp(FormatStamp(v, f), f, back) || back != v) return false;
  }
  return true;
}

// The form for the current locale, worked out once per locale and thread.
const TStampFormat& StampFormat() {
  thread_local std::string locale;
  thread_local TStampFormat format;
  const char* current = setlocale(LC_TIME, nullptr);
  const std::string name = current ? current : "";
  if (name == locale && !format.date.empty()) return format;
  locale = name;
  const std::string date = LocaleDateFormat();
  const TStampFormat candidates[] = {{date, LocaleTimeFormat()}, {date, "%H:%M:%S"}, {"%Y-%m-%d", "%H:%M:%S"}};
  for (const TStampFormat& candidate : candidates) {
    format = candidate;
    if (ReadsBack(format)) break;
  }
  return format;
}
}  // namespace

bool IsValidDate(int year, int month, int day) {
  static const int kDays[12] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
  if (year < 1 || year > 9999 || month < 1 || month > 12 || day < 1) return false;
  bool leap = (year % 4 == 0 && year % 100 != 0) || year % 400 == 0;
  return day <= kDays[month - 1] + (month == 2 && leap ? 1 : 0);
}

bool TryEncodeDate(int year, int month, int day, TDateTime& value) {
  if (!IsValidDate(year, month, day)) return false;
  value = static_cast<double>(DaysFromCivil(year, static_cast<unsigned>(month), static_cast<unsigned>(day)) + kEpochDelta);
  return true;
}

bool TryEncodeTime(int hour, int minute, int second, int msec, TDateTime& value) {
  if (hour < 0 || hour > 23 || minute < 0 || minute > 59 || second < 0 || second > 59 || msec < 0 || msec > 999)
    return false;
  value = static_cast<double>(((hour * 60 + minute) * 60 + second) * 1000 + msec) / MSecsPerDay;
  return true;
}

TDateTime EncodeDate(int year, int month, int day) {
  TDateTime v = 0;
  if (!TryEncodeDate(year, month, day, v)) throw EConvertError("Invalid argument to date encode");
  return v;
}

TDateTime EncodeTime(int hour, int minute, int second, int msec) {
  TDateTime v = 0;
  if (!TryEncodeTime(hour, minute, second, msec, v)) throw EConvertError("Invalid argument to time encode");
  return v;
}

TDateParts DecodeDate(TDateTime value) {
  int64_t days = 0, ms = 0;
  Split(value, days, ms);
  TDateParts d;
  CivilFromDays(days - kEpochDelta, d.Year, d.Month, d.Day);
  return d;
}

TTimeParts DecodeTime(TDateTime value) {
  int64_t days = 0, ms = 0;
  Split(value, days, ms);
  TTimeParts t;
  t.MSec = static_cast<int>(ms % 1000);
  int64_t secs = ms / 1000;
  t.Second = static_cast<int>(secs % 60);
  t.Minute = static_cast<int>(secs / 60 % 60);
  t.Hour = static_cast<int>(secs / 3600);
  return t;
}

int DayOfWeek(TDateTime value) {
  int64_t days = 0, ms = 0;
  Split(value, days, ms);
  // 1899-12-30 was a Saturday.
  int64_t w = (days + 6) % 7;
  if (w < 0) w += 7;
  return static_cast<int>(w) + 1;
}

TDateTime Now() {
  timeval tv{};
  gettimeofday(&tv, nullptr);
  std::tm tm{};
  time_t secs = tv.tv_sec;
  localtime_r(&secs, &tm);
  return EncodeDate(tm.tm_year + 1900, tm.tm_mon + 1, tm.tm_mday) +
         EncodeTime(tm.tm_hour, tm.tm_min, tm.tm_sec, static_cast<int>(tv.tv_usec / 1000));
}

TDateTime UnixToDateTime(int64_t seconds) {
  return static_cast<double>(seconds) / SecsPerDay + static_cast<double>(kEpochDelta);
}

int64_t DateTimeToUnix(TDateTime value) {
  return std::llround((value - static_cast<double>(kEpochDelta)) * SecsPerDay);
}

std::string IsoDateText(TDateTime value) {
  TDateParts d = DecodeDate(value);
  char buffer[32];
  std::snprintf(buffer, sizeof buffer, "%04d-%02d-%02d", d.Year, d.Month, d.Day);
  return buffer;
}

std::string TimeWithMsText(TDateTime value) {
  TTimeParts t = DecodeTime(value);
  char buffer[32];
  std::snprintf(buffer, sizeof buffer, "%02d:%02d:%02d, %dms", t.Hour, t.Minute, t.Second, t.MSec);
  return buffer;
}

std::string DateTimeToStr(TDateTime value) { return FormatStamp(value, StampFormat()); }

bool TryStrToDateTime(std::string_view text, TDateTime& value) { return ParseStamp(text, StampFormat(), value); }

TDateTime StrToDateTime(std::string_view text) {
  TDateTime v = 0;
  if (!TryStrToDateTime(text, v))
    throw EConvertError(Format("'%s' is not a valid date and time", std::string(text).c_str()));
  return v;
}
