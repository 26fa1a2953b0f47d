// Number, time and text forms of the bug report: addresses, ids, durations,
// sizes, the header's date forms and the cleaned exception message.
//
// Hexadecimal digits are lower case; an address is 16 digits (the machine's
// width). Pure functions on plain values; safe on any thread. Only the
// message rule's TCDSafeText form is also safe in a signal handler.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "crash/capture/CDSafeText.h"
#include "runtime/DateTime.h"

// 16 hexadecimal digits.
std::string HexAddress(uint64_t address);
// "$" and the hexadecimal digits (ids, checksums).
std::string DollarHex(uint64_t value);

// Days and hours once a day has passed, else hours and minutes once an hour
// has, else minutes and seconds; zero parts are left out and a unit whose
// number is not 1 gets an "s" ("2 days 3 hours", "1 hour", "5 minutes 1
// second"). Under one second: empty.
std::string FormatDuration(uint64_t milliseconds);
// The same, except that under one second it is the milliseconds and
// " milliseconds".
std::string FormatProgramUpTime(uint64_t milliseconds);

// Below 1024 bytes the number and " Bytes"; then KB, MB or GB with two
// decimals, truncated, with the given decimal separator.
std::string FormatSize(uint64_t bytes, char decimalSeparator);
// The decimal separator of the C library's current locale.
char LocaleDecimalSeparator();

// "2026-12-08, 14:03:07, 5ms".
std::string FormatReportDateTime(TDateTime value);
// A file's time in local time: "2026-12-08 14:03".
std::string FormatFileDateTime(int64_t unixSeconds);

// The message as the header shows it: control characters other than CR and LF
// removed, trimmed, "Unknown" when empty, and trailing "." and "!" replaced by
// one "."; empty (no line) when it equals the class name before that last
// step.
std::string CleanExceptionMessage(std::string_view message, std::string_view className);
// The same into a fixed buffer, for a process that may not allocate.
// Signal-safe.
void CleanExceptionMessage(std::string_view message, std::string_view className, TCDSafeText& out);
