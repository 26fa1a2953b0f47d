// Facts about the machine and the process for the bug report's header: the
// computer, the user, the system and its language, up times, processors,
// memory, disk space, the display, the process's memory and executable.
//
// Every reader of outside text (os-release, /proc/cpuinfo, /proc/meminfo,
// /proc/self/mountinfo) takes a string_view and is tested on fixed texts and
// fuzzed; GatherSystemFacts puts them together for the running process. A
// fact that cannot be had stays empty or 0, and the header leaves its line
// out; nothing is raised.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "crash/sys/CDAddressSpace.h"

// PRETTY_NAME of an os-release text, else NAME, else empty.
std::string ParseOsReleaseName(std::string_view text);

struct TCDCpuInfo {
  std::string ModelName;  // of the first processor, trimmed
  int Count = 0;          // "processor" entries
};
TCDCpuInfo ParseCpuInfo(std::string_view text);

struct TCDMemInfo {
  uint64_t TotalBytes = 0;
  uint64_t AvailableBytes = 0;  // MemAvailable, else MemFree
};
TCDMemInfo ParseMemInfo(std::string_view text);

struct TCDMount {
  std::string MountPoint;
  std::string FsType;
};
// The mounts of a mountinfo text, in its order, with escapes ("\040") undone.
std::vector<TCDMount> ParseMountInfo(std::string_view text);
// The mount that holds the absolute path: the last one mounted on the longest
// prefix. Null when none does.
const TCDMount* MountOf(const std::vector<TCDMount>& mounts, std::string_view path);
// File systems that live on another machine.
bool IsNetworkFileSystem(std::string_view fsType);

// The English name of a locale's language: "de_DE.UTF-8" is "German"; the C
// and POSIX locales speak English; an unknown language gives the name glibc
// has for it, else its code.
std::string LanguageName(std::string_view locale);

// Bytes of every mapping that is not a mere reservation and does not belong
// to a module image (a file that is mapped executable somewhere).
uint64_t AllocatedBytes(const std::vector<TCDMapping>& mappings);

// The screen as the user interface sees it. The crash reporter has no user
// interface of its own, so the program's start-up tells it (and again when the
// screen changes); 0 x 0 means unknown.
void SetCDDisplayMode(int width, int height, int bitsPerPixel);

// The process's crash reporter began its work now (called by its start-up);
// without this call the process's own start counts.
void MarkCrashReporterStart();

struct TCDDiskSpace {
  std::string MountPoint;
  uint64_t FreeBytes = 0;
};

struct TCDSystemFacts {
  std::string ComputerName;
  std::string RemoteClient;  // the SSH client's address, empty outside a remote session
  std::string UserName;
  bool UserIsAdmin = false;
  std::string OsName;  // os-release name
  std::string KernelRelease;
  std::string Language;
  uint64_t SystemUpMs = 0;
  uint64_t ProgramUpMs = 0;
  TCDCpuInfo Cpu;
  TCDMemInfo Memory;
  std::vector<TCDDiskSpace> Disks;  // the root file system, then the executable's when another
  int DisplayWidth = 0, DisplayHeight = 0, DisplayBits = 0;
  uint32_t ProcessId = 0;
  uint64_t AllocatedBytes = 0;
  std::string ExecutablePath;
  int64_t ExecutableMTime = 0;  // seconds since the epoch, 0 when unknown
};

TCDSystemFacts GatherSystemFacts();
