// The date text of HTTP headers ("Sun, 06 Nov 1994 08:49:37 GMT") written
// and read back, with a reader tolerant of the three classic forms, numeric
// zones, AM/PM and two-digit years.
#pragma once

#include <string>
#include <string_view>

#include "runtime/DateTime.h"

// The value's weekday, date and time followed by "GMT"; the value is written
// as it is, without any conversion from local time.
std::string FormatHttpDate(TDateTime value);

// The local date-time of a header date: the text is read as a time in the
// zone it names (a numeric "+hhmm"/"-hhmm", anything else counts as UTC) and
// moved to the local zone with the offset that applies at that moment,
// daylight saving included. Empty text gives 0; text whose date cannot be
// read gives 0 moved by the local offset. Raises
// EIdFailedToRetreiveTimeZoneInfo when the local offset cannot be had.
TDateTime ParseHttpDate(std::string_view text);
