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

std::string CleanExceptionMessage(std::string_view message, std::string_view className) {
  std::string kept;
  kept.reserve(message.size());
  for (char c : message)
    if ((static_cast<unsigned char>(c) >= 32 && c != 127) || c == '\r' || c == '\n') kept += c;
  std::string text = Trim(kept);
  if (text.empty()) text = "Unknown";
  if (text == className) return std::string();
  std::size_t end = text.find_last_not_of(".!");
  if (end + 1 < text.size()) text = text.substr(0, end + 1) + ".";
  return text;
}
