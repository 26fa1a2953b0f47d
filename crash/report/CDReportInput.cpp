#include "crash/report/CDReportInput.h"

void TCDReportInput::FromSettings(const TICDSettings& s) {
  ListThreads = s.GetListThreads();
  CpuRegs = s.GetCpuRegs();
  StackDump = s.GetStackDump();
  ShowDisAsm = s.GetShowDisAsm();
  HideUglyItems = s.GetHideUglyItems();
  ShowRelAddrs = s.GetShowRelAddrs();
  ShowRelLines = s.GetShowRelLines();
  FormatDisAsm = s.GetFormatDisAsm();
  LimitDisAsm = s.GetLimitDisAsm();
  Plugins = s.GetPlugins();
  FrozenMsg = s.GetFrozenMsg();
  PlWaitText = s.GetPlWaitText();
  VersionVar = s.VersionVarText();
}
