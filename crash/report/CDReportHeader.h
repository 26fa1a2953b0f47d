// The bug report's header lines, in their fixed order and forms, from the
// facts gathered about the machine, the process and the exception.
//
// Order: date/time, computer name, wts client name (only in a remote
// session), user name (with "  <admin>"), operating system, system
// language, system and program up time, processor(s), physical memory,
// free disk space, display mode, process id, allocated memory, executable,
// exec. date/time, version, crashDesk version, the plug-ins without a
// section of their own, callstack crc, exception number, exception class
// and exception message. A line without a value is left out. Fields added
// later are inserted before "callstack crc". Pure: tested on fixed facts.
#pragma once

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include "crash/report/ICDFields.h"
#include "crash/sys/CDSystemFacts.h"
#include "runtime/DateTime.h"

inline constexpr char CDCallstackCrcLabel[] = "callstack crc";
inline constexpr char CDCalculatedSoon[] = "will be calculated soon";

struct TCDHeaderInput {
  TDateTime Time = 0;
  TCDSystemFacts Facts;
  std::string Version;  // the version variable's text, else the file version
  std::vector<std::pair<std::string, std::string>> PluginLines;
  uint64_t ExceptionNumber = 0;
  bool Freeze = false;
  std::string ExceptionClass;  // empty: "Unknown"
  std::string ExceptionMessage;
  std::string FrozenMsg;
  char DecimalSeparator = '.';
};

void FillReportHeader(TICDFields& header, const TCDHeaderInput& in);
