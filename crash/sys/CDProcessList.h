// The "processes" list of a bug report, and the per-process and per-thread
// facts read from /proc that the report also uses (thread ids, nice values).
//
// ParseProcStat reads a /proc/<pid>/stat text alone, so it is tested on fixed
// texts and fuzzed; CollectProcesses walks /proc; FormatProcessList lays the
// entries out. Priority classes follow the classic names: a real-time policy
// (FIFO, round robin) is "realtime", the idle policy "idle", and otherwise
// the nice value decides: below -10 high, -10..-1 above normal, 0 normal,
// 1..10 below normal, above 10 idle. Failures leave entries or values out;
// nothing is raised.
#pragma once

#include "runtime/ThreadName.h"

#include <sys/types.h>

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

// Priority class values and their texts.
inline constexpr int32_t CDPriorityNormal = 0x20;
inline constexpr int32_t CDPriorityIdle = 0x40;
inline constexpr int32_t CDPriorityHigh = 0x80;
inline constexpr int32_t CDPriorityRealtime = 0x100;
inline constexpr int32_t CDPriorityBelowNormal = 0x4000;
inline constexpr int32_t CDPriorityAboveNormal = 0x8000;

// The fields of /proc/<pid>/stat (or /proc/<pid>/task/<tid>/stat) the
// report needs.
struct TCDProcStat {
  int64_t Pid = 0;
  std::string Comm;  // the name between the parentheses
  char State = '?';
  int64_t Session = 0;
  int64_t Nice = 0;
  uint64_t StartTime = 0;  // clock ticks after boot
  int64_t Policy = -1;     // -1 when the text is too short to hold it
};

// False when the text is not a stat line.
bool ParseProcStat(std::string_view text, TCDProcStat& stat);

// The class for a nice value and a scheduling policy (SCHED_* number, -1
// unknown).
int32_t PriorityClassOf(int64_t nice, int64_t policy);
// "" for 0 and -1, the class's name, or "$" and the value in hex.
std::string PriorityClassText(int32_t priorityClass);

struct TCDProcessEntry {
  std::string FileName;
  std::string Folder;  // empty when only the image name is known
  uint32_t Pid = 0;
  uint32_t Session = 0;
  int32_t PriorityClass = -1;  // -1: could not be read
};

// Every process of the system, in the order /proc lists them.
std::vector<TCDProcessEntry> CollectProcesses();

// One line per process: the id in hex zero-padded to the widest, the name
// padded to the longest plus one, the session (only when some process has
// one) padded to the widest plus one, the priority text padded to the widest
// plus one, the folder.
std::string FormatProcessList(const std::vector<TCDProcessEntry>& processes);

// The list of this system, as the report's "processes" section shows it.
std::string ListProcesses();

// The ids of this process's threads, in the order /proc lists them.
std::vector<pid_t> ListThreadIds();
// The stat of one of this process's threads; false when it has ended.
bool ReadThreadStat(pid_t tid, TCDProcStat& stat);

// The signals a thread's status text ("/proc/self/task/<tid>/status") holds
// pending, for the thread ("SigPnd") and for the whole process ("ShdPnd"),
// signal n as bit n-1. 0 when neither line can be read.
uint64_t PendingSignalsOf(std::string_view status);
// The signals pending for any thread of this process.
uint64_t PendingSignalsOfThisProcess();
