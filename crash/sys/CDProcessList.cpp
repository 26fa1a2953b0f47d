#include "crash/sys/CDProcessList.h"

#include <dirent.h>
#include <sched.h>
#include <unistd.h>

#include <algorithm>
#include <memory>

#include "crash/sys/CDModuleList.h"
#include "crash/sys/CDProcFile.h"
#include "runtime/SysUtils.h"

namespace {

bool ParseSigned(std::string_view s, int64_t& value) { return !s.empty() && TryDecimalToInt64(s, value); }

// The numeric entries of a /proc directory, in its order.
std::vector<int64_t> NumericEntries(const char* folder) {
  std::vector<int64_t> ids;
  std::unique_ptr<DIR, int (*)(DIR*)> dir(::opendir(folder), ::closedir);
  if (!dir) return ids;
  while (dirent* e = ::readdir(dir.get())) {
    int64_t id = 0;
    if (e->d_name[0] >= '1' && e->d_name[0] <= '9' && TryDecimalToInt64(e->d_name, id) && id > 0) ids.push_back(id);
  }
  return ids;
}

std::string PadRight(std::string s, std::size_t width) {
  if (s.size() < width) s.append(width - s.size(), ' ');
  return s;
}

std::string PadLeft(std::string s, std::size_t width, char fill) {
  if (s.size() < width) s.insert(0, width - s.size(), fill);
  return s;
}

}  // namespace

bool ParseProcStat(std::string_view text, TCDProcStat& stat) {
  // The name may hold blanks and parentheses: it ends at the last ')'.
  std::size_t open = text.find('(');
  std::size_t close = text.rfind(')');
  if (open == std::string_view::npos || close == std::string_view::npos || close < open) return false;
  TCDProcStat s;
  if (!ParseSigned(Trim(text.substr(0, open)), s.Pid)) return false;
  s.Comm = std::string(text.substr(open + 1, close - open - 1));
  // fields[0] is field 3 (state).
  const std::vector<std::string_view> fields = SplitWords(text.substr(close + 1), " \n");
  auto field = [&](std::size_t number) { return fields[number - 3]; };
  if (fields.size() < 22 - 2 || field(3).size() != 1) return false;
  s.State = field(3)[0];
  int64_t start = 0;
  if (!ParseSigned(field(6), s.Session) || !ParseSigned(field(19), s.Nice) || !ParseSigned(field(22), start) ||
      start < 0)
    return false;
  s.StartTime = static_cast<uint64_t>(start);
  if (fields.size() >= 41 - 2 && !ParseSigned(field(41), s.Policy)) s.Policy = -1;
  stat = std::move(s);
  return true;
}

int32_t PriorityClassOf(int64_t nice, int64_t policy) {
  if (policy == SCHED_FIFO || policy == SCHED_RR) return CDPriorityRealtime;
  if (policy == SCHED_IDLE) return CDPriorityIdle;
  if (nice < -10) return CDPriorityHigh;
  if (nice < 0) return CDPriorityAboveNormal;
  if (nice == 0) return CDPriorityNormal;
  if (nice <= 10) return CDPriorityBelowNormal;
  return CDPriorityIdle;
}

std::string PriorityClassText(int32_t priorityClass) {
  switch (priorityClass) {
    case 0:
    case -1: return std::string();
    case CDPriorityNormal: return "normal";
    case CDPriorityIdle: return "idle";
    case CDPriorityHigh: return "high";
    case CDPriorityRealtime: return "realtime";
    case CDPriorityBelowNormal: return "below normal";
    case CDPriorityAboveNormal: return "above normal";
    default: return Format("$%x", static_cast<uint32_t>(priorityClass));
  }
}

std::vector<TCDProcessEntry> CollectProcesses() {
  std::vector<TCDProcessEntry> out;
  out.reserve(64);
  for (int64_t pid : NumericEntries("/proc")) {
    if (pid > UINT32_MAX) continue;
    const std::string dir = "/proc/" + std::to_string(pid);
    TCDProcStat stat;
    if (!ParseProcStat(ReadProcFile(dir + "/stat", 4096), stat)) continue;  // ended meanwhile
    TCDProcessEntry e;
    e.Pid = static_cast<uint32_t>(pid);
    e.Session = stat.Session > 0 && stat.Session <= UINT32_MAX ? static_cast<uint32_t>(stat.Session) : 0;
    e.PriorityClass = PriorityClassOf(stat.Nice, stat.Policy);
    // The executable's path needs the right to look into the process; kernel
    // threads and other users' processes give their image name only.
    std::string exe = ReadProcLink(dir + "/exe");
    if (!exe.empty() && exe.front() == '/')
      SplitModulePath(exe, e.Folder, e.FileName);
    else
      e.FileName = stat.Comm;
    out.push_back(std::move(e));
  }
  return out;
}

std::string FormatProcessList(const std::vector<TCDProcessEntry>& processes) {
  std::size_t hexWidth = 0, sessionWidth = 0, priorityWidth = 0, nameWidth = 0;
  for (const TCDProcessEntry& p : processes) {
    hexWidth = std::max(hexWidth, Format("%x", p.Pid).size());
    if (p.Session != 0) sessionWidth = std::max(sessionWidth, std::to_string(p.Session).size());
    priorityWidth = std::max(priorityWidth, PriorityClassText(p.PriorityClass).size());
    nameWidth = std::max(nameWidth, p.FileName.size());
  }
  std::vector<std::string> lines;
  lines.reserve(processes.size());
  for (const TCDProcessEntry& p : processes) {
    std::string line = PadLeft(Format("%x", p.Pid), hexWidth, '0') + ' ' + PadRight(p.FileName, nameWidth + 1);
    if (sessionWidth > 0) line += PadRight(std::to_string(p.Session), sessionWidth + 1);
    line += PadRight(PriorityClassText(p.PriorityClass), priorityWidth + 1);
    line += p.Folder;
    lines.push_back(std::move(line));
  }
  return JoinListLines(lines);
}

std::string ListProcesses() { return FormatProcessList(CollectProcesses()); }

std::vector<pid_t> ListThreadIds() {
  std::vector<pid_t> ids;
  for (int64_t id : NumericEntries("/proc/self/task"))
    if (id <= INT32_MAX) ids.push_back(static_cast<pid_t>(id));
  return ids;
}

bool ReadThreadStat(pid_t tid, TCDProcStat& stat) {
  return ParseProcStat(ReadProcFile("/proc/self/task/" + std::to_string(tid) + "/stat", 4096), stat);
}

uint64_t PendingSignalsOf(std::string_view status) {
  uint64_t pending = 0;
  ForEachLine(status, [&pending](std::string_view line) {
    if (!line.starts_with("SigPnd:") && !line.starts_with("ShdPnd:")) return;
    line.remove_prefix(7);
    while (!line.empty() && (line.front() == '\t' || line.front() == ' ')) line.remove_prefix(1);
    // Sixteen hexadecimal digits; anything else is not a mask.
    if (line.empty() || line.size() > 16) return;
    uint64_t mask = 0;
    for (char c : line) {
      const int digit = c >= '0' && c <= '9' ? c - '0' : c >= 'a' && c <= 'f' ? c - 'a' + 10 : -1;
      if (digit < 0) return;
      mask = mask << 4 | static_cast<uint64_t>(digit);
    }
    pending |= mask;
  });
  return pending;
}

uint64_t PendingSignalsOfThisProcess() {
  uint64_t pending = 0;
  for (pid_t tid : ListThreadIds())
    pending |= PendingSignalsOf(ReadProcFile("/proc/self/task/" + std::to_string(tid) + "/status", 8192));
  return pending;
}

