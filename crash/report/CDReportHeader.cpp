#include "crash/report/CDReportHeader.h"

#include "crash/report/CDReportFormat.h"
#include "runtime/SysUtils.h"

namespace {

uint64_t RoundedMb(uint64_t bytes) { return (bytes + (1u << 19)) >> 20; }

}  // namespace

void FillReportHeader(TICDFields& h, const TCDHeaderInput& in) {
  const TCDSystemFacts& f = in.Facts;
  h.Set("date/time", FormatReportDateTime(in.Time));
  h.Set("computer name", f.ComputerName);
  h.Set("wts client name", f.RemoteClient);
  h.Set("user name", f.UserName.empty() ? std::string() : f.UserName + (f.UserIsAdmin ? "  <admin>" : ""));
  h.Set("operating system", (f.OsName.empty() ? std::string("Linux") : f.OsName) +
                                (f.KernelRelease.empty() ? std::string() : " build " + f.KernelRelease));
  h.Set("system language", f.Language);
  h.Set("system up time", FormatDuration(f.SystemUpMs));
  h.Set("program up time", FormatProgramUpTime(f.ProgramUpMs));
  if (!Trim(f.Cpu.ModelName).empty()) {
    if (f.Cpu.Count > 1)
      h.Set("processors", std::to_string(f.Cpu.Count) + "x " + Trim(f.Cpu.ModelName));
    else
      h.Set("processor", Trim(f.Cpu.ModelName));
  }
  if (f.Memory.TotalBytes > 0)
    h.Set("physical memory", Format("%llu/%llu MB (free/total)",
                                    static_cast<unsigned long long>(RoundedMb(f.Memory.AvailableBytes)),
                                    static_cast<unsigned long long>(RoundedMb(f.Memory.TotalBytes))));
  std::string disks;
  for (const TCDDiskSpace& d : f.Disks) {
    if (!disks.empty()) disks += ' ';
    disks += "(" + d.MountPoint + ") " + FormatSize(d.FreeBytes, in.DecimalSeparator);
  }
  h.Set("free disk space", disks);
  if (f.DisplayWidth > 0 && f.DisplayHeight > 0)
    h.Set("display mode", Format("%dx%d, %d bit", f.DisplayWidth, f.DisplayHeight, f.DisplayBits));
  h.Set("process id", DollarHex(f.ProcessId));
  h.Set("allocated memory", FormatSize(f.AllocatedBytes, in.DecimalSeparator));
  h.Set("executable", ExtractFileName(f.ExecutablePath));
  if (f.ExecutableMTime != 0) h.Set("exec. date/time", FormatFileDateTime(f.ExecutableMTime));
  h.Set("version", in.Version);
  h.Set("crashDesk version", "3.0b");
  for (const auto& [name, content] : in.PluginLines) h.Set(name, content);
  h.Set(CDCallstackCrcLabel, CDCalculatedSoon);
  h.Set("exception number", std::to_string(in.ExceptionNumber));
  const std::string cls = in.ExceptionClass.empty() ? std::string("Unknown") : in.ExceptionClass;
  if (in.Freeze) {
    h.Set("exception message", in.FrozenMsg);
  } else {
    h.Set("exception class", cls);
    h.Set("exception message", CleanExceptionMessage(in.ExceptionMessage, cls));
  }
  h.SetInsertIndex(h.IndexOf(CDCallstackCrcLabel));
}
