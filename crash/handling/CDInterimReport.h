// Interim report composition, until the full composition (call stacks,
// registers, plug-in lists) is plugged in: the header lines that identify
// the exception and, with a processor context, the registers, so that saving
// writes a real report. ComposeInterimReport is the one function the
// integration replaces.
//
// Not for signal handlers.
#pragma once

#include <string>

#include "crash/handling/ICDException.h"

void ComposeInterimReport(TICDException& exception);

// The "exception message" line's value by the report's rules: control
// characters other than CR and LF removed, trimmed, "Unknown" when empty,
// trailing "." and "!" turned into one "."; empty (no line) when it equals
// the class name.
std::string ReportMessageLine(const std::string& message, const std::string& className);
