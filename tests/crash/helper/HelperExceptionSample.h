// An access violation as a crashed process hands it to its helper, with the
// one setting it changed for itself: where its bug report goes.
#pragma once

#include <string>

#include "crash/helper/CDHelperProtocol.h"

inline TCDHelperException SampleHelperException(const std::string& bugRepFile) {
  TCDHelperException e;
  e.Type = 0;
  e.Source = 14;
  e.ClassName = "EAccessViolation";
  e.Message = "Access violation at address 0000000000401234.";
  TCDProperty p;
  p.Name = "BugRepFile";
  p.Kind = TCDPropKind::Text;
  p.TextValue = bugRepFile;
  e.Settings.push_back(p);
  return e;
}
