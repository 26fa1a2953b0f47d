// Interim saving, until the bug-report file with duplicate merging and its
// size limit is plugged in: appends the complete report, followed by an
// empty line, to the configured bug-report file (beside the executable for
// a relative name), or replaces the file without AppendBugReps. A save to
// the configured file marks the exception as saved. InterimSaveBugReport is
// the one function the integration replaces.
//
// Not for signal handlers.
#pragma once

#include <string>

#include "crash/handling/ICDException.h"

bool InterimSaveBugReport(ICDException& exception);

// The configured file's path: BugRepFile with its variables, relative names
// taken beside the executable.
std::string InterimBugReportPath(const ICDSettings& settings);
