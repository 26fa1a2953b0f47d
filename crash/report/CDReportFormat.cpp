#include "crash/report/CDReportFormat.h"

#include <locale.h>

#include <ctime>

#include "runtime/SysUtils.h"

std::string HexAddress(uint64_t address) { return Format("%016llx", static_cast<unsigned long long>(address)); }

std::string DollarHex(uint64_t value) { return Format("$%llx", static_cast<unsigned long long>(value)); }

namespace {

void AddPart(std::string& out, uint64_t number, const char* unit) {
  if (number == 0) return;
  if (!out.empty()) out += ' ';
  out += std::to_string(number) + ' ' + unit;
  if (number != 1) out += 's';
}

}  // namespace

std::string FormatDuration(uint64_t milliseconds) {
  const uint64_t seconds = milliseconds / 1000;
  const uint64_t minutes = seconds / 60, hours = minutes / 60, days = hours / 24;
  std::string out;
  if (days > 0) {
    AddPart(out, days, "day");
    AddPart(out, hours % 24, "hour");
  } else if (hours > 0) {
    AddPart(out, hours, "hour");
    AddPart(out, minutes % 60, "minute");
  } else {
    AddPart(out, minutes, "minute");
    AddPart(out, seconds % 60, "second");
  }
  return out;
}

std::string FormatProgramUpTime(uint64_t milliseconds) {
  if (milliseconds < 1000) return std::to_string(milliseconds) + " milliseconds";
  return FormatDuration(milliseconds);
}

std::string FormatSize(uint64_t bytes, char decimalSeparator) {
  if (bytes < 1024) return std::to_string(bytes) + " Bytes";
  const char* unit = " KB";
  uint64_t scale = 1024;
  if (bytes >= (1ull << 30)) {
    unit = " GB";
    scale = 1ull << 30;
  } else if (bytes >= (1ull << 20)) {
    unit = " MB";
    scale = 1ull << 20;
  }
  // Hundredths, truncated; computed without overflow for any 64-bit size.
  const uint64_t whole = bytes / scale;
  const uint64_t hundredths = (bytes % scale) * 100 / scale;
  return std::to_string(whole) + decimalSeparator + Format("%02llu", static_cast<unsigned long long>(hundredths)) +
         unit;
}

char LocaleDecimalSeparator() {
  const lconv* lc = localeconv();
  return lc && lc->decimal_point && lc->decimal_point[0] ? lc->decimal_point[0] : '.';
}

std::string FormatReportDateTime(TDateTime value) { return IsoDateText(value) + ", " + TimeWithMsText(value); }

std::string FormatFileDateTime(int64_t unixSeconds) {
  time_t t = static_cast<time_t>(unixSeconds);
  std::tm tm{};
  if (!localtime_r(&t, &tm)) return std::string();
  return Format("%04d-%02d-%02d %02d:%02d", tm.tm_year + 1900, tm.tm_mon + 1, tm.tm_mday, tm.tm_hour, tm.tm_min);
}

namespace {
bool KeptInMessage(char c) {
  const auto u = static_cast<unsigned char>(c);
  return (u >= 32 && u != 127) || c == '\r' || c == '\n';
}
bool Blank(char c) { return static_cast<unsigned char>(c) <= ' '; }
}  // namespace

void CleanExceptionMessage(std::string_view message, std::string_view className, TCDSafeText& out) {
  // Works on the message in place: what is kept of it, trimmed, lies between
  // the first and the last kept character that is not blank.
  std::size_t first = message.size(), last = 0;
  for (std::size_t i = 0; i < message.size(); ++i)
    if (KeptInMessage(message[i]) && !Blank(message[i])) {
      if (first == message.size()) first = i;
      last = i;
    }
  if (first == message.size()) {
    if (className != "Unknown") out.Add("Unknown");
    return;
  }
  // Equal to the class name, character by character of what is kept.
  std::size_t matched = 0;
  bool same = true;
  for (std::size_t i = first; i <= last && same; ++i) {
    if (!KeptInMessage(message[i])) continue;
    same = matched < className.size() && className[matched] == message[i];
    ++matched;
  }
  if (same && matched == className.size()) return;
  // Trailing full stops and exclamation marks become one full stop.
  std::size_t end = last + 1;
  while (end > first && (!KeptInMessage(message[end - 1]) || message[end - 1] == '.' || message[end - 1] == '!')) --end;
  for (std::size_t i = first; i < end; ++i)
    if (KeptInMessage(message[i])) out.Add(message[i]);
  if (end <= last) out.Add('.');
}

std::string CleanExceptionMessage(std::string_view message, std::string_view className) {
  std::string buffer(message.size() + 16, '\0');
  TCDSafeText text(buffer.data(), buffer.size());
  CleanExceptionMessage(message, className, text);
  return std::string(text.View());
}
