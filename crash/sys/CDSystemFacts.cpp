#include "crash/sys/CDSystemFacts.h"

#include <grp.h>
#include <langinfo.h>
#include <locale.h>
#include <pwd.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <sys/utsname.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cstdlib>
#include <set>

#include "crash/sys/CDProcFile.h"
#include "crash/sys/CDProcessList.h"
#include "runtime/SysUtils.h"

namespace {

std::atomic<int> gDisplayWidth{0}, gDisplayHeight{0}, gDisplayBits{0};
std::atomic<int64_t> gReporterStartMs{-1};

int64_t BootClockMs() {
  timespec ts{};
  clock_gettime(CLOCK_BOOTTIME, &ts);
  return static_cast<int64_t>(ts.tv_sec) * 1000 + ts.tv_nsec / 1000000;
}

std::string Unquote(std::string_view value) {
  std::string v = Trim(value);
  if (v.size() >= 2 && (v.front() == '"' || v.front() == '\'') && v.back() == v.front()) {
    std::string out;
    for (std::size_t i = 1; i + 1 < v.size(); ++i) {
      if (v[i] == '\\' && i + 2 < v.size()) ++i;
      out += v[i];
    }
    return out;
  }
  return v;
}

// "key : value" lines of /proc/cpuinfo and /proc/meminfo.
bool SplitKeyValue(std::string_view line, std::string& key, std::string_view& value) {
  std::size_t colon = line.find(':');
  if (colon == std::string_view::npos) return false;
  key = Trim(line.substr(0, colon));
  value = line.substr(colon + 1);
  return true;
}

uint64_t KbToBytes(std::string_view value) {
  std::string v = Trim(value);
  if (v.size() > 3 && SameText(v.substr(v.size() - 3), " kB")) v = Trim(v.substr(0, v.size() - 3));
  int64_t kb = 0;
  if (!TryDecimalToInt64(v, kb) || kb < 0 || kb > INT64_MAX / 1024) return 0;
  return static_cast<uint64_t>(kb) * 1024;
}

std::string UndoMountEscapes(std::string_view s) {
  std::string out;
  for (std::size_t i = 0; i < s.size(); ++i) {
    if (s[i] == '\\' && i + 3 < s.size() && s[i + 1] >= '0' && s[i + 1] <= '3' && s[i + 2] >= '0' &&
        s[i + 2] <= '7' && s[i + 3] >= '0' && s[i + 3] <= '7') {
      out += static_cast<char>((s[i + 1] - '0') * 64 + (s[i + 2] - '0') * 8 + (s[i + 3] - '0'));
      i += 3;
    } else {
      out += s[i];
    }
  }
  return out;
}

struct TLanguage {
  const char* Code;
  const char* Name;
};
constexpr TLanguage kLanguages[] = {
    {"af", "Afrikaans"}, {"ar", "Arabic"},     {"be", "Belarusian"}, {"bg", "Bulgarian"},  {"bn", "Bengali"},
    {"ca", "Catalan"},   {"cs", "Czech"},      {"cy", "Welsh"},      {"da", "Danish"},     {"de", "German"},
    {"el", "Greek"},     {"en", "English"},    {"eo", "Esperanto"},  {"es", "Spanish"},    {"et", "Estonian"},
    {"eu", "Basque"},    {"fa", "Persian"},    {"fi", "Finnish"},    {"fr", "French"},     {"ga", "Irish"},
    {"gl", "Galician"},  {"he", "Hebrew"},     {"hi", "Hindi"},      {"hr", "Croatian"},   {"hu", "Hungarian"},
    {"hy", "Armenian"},  {"id", "Indonesian"}, {"is", "Icelandic"},  {"it", "Italian"},    {"ja", "Japanese"},
    {"ka", "Georgian"},  {"kk", "Kazakh"},     {"ko", "Korean"},     {"lt", "Lithuanian"}, {"lv", "Latvian"},
    {"mk", "Macedonian"}, {"ms", "Malay"},     {"mt", "Maltese"},    {"nb", "Norwegian"},  {"nl", "Dutch"},
    {"nn", "Norwegian"}, {"no", "Norwegian"},  {"pl", "Polish"},     {"pt", "Portuguese"}, {"ro", "Romanian"},
    {"ru", "Russian"},   {"sk", "Slovak"},     {"sl", "Slovenian"},  {"sq", "Albanian"},   {"sr", "Serbian"},
    {"sv", "Swedish"},   {"sw", "Swahili"},    {"ta", "Tamil"},      {"th", "Thai"},       {"tr", "Turkish"},
    {"uk", "Ukrainian"}, {"ur", "Urdu"},       {"uz", "Uzbek"},      {"vi", "Vietnamese"}, {"zh", "Chinese"},
};

// The locale the system gives its users: the system-wide setting, else the
// environment the process was started with.
std::string SystemLocaleName() {
  std::string lang;
  for (const char* file : {"/etc/default/locale", "/etc/locale.conf"}) {
    ForEachLine(ReadProcFile(file, 65536), [&](std::string_view line) {
      std::string l = Trim(line);
      if (lang.empty() && StartsText("LANG=", l)) lang = Unquote(l.substr(5));
    });
    if (!lang.empty()) return lang;
  }
  for (const char* var : {"LC_ALL", "LC_MESSAGES", "LANG"}) {
    const char* v = std::getenv(var);
    if (v && *v) return v;
  }
  return "C";
}

bool IsAdministrator() {
  if (::geteuid() == 0) return true;
  std::set<gid_t> groups{::getegid()};
  int n = ::getgroups(0, nullptr);
  if (n > 0) {
    std::vector<gid_t> list(static_cast<std::size_t>(n));
    n = ::getgroups(n, list.data());
    if (n > 0) groups.insert(list.begin(), list.begin() + n);
  }
  for (const char* name : {"sudo", "wheel"}) {
    if (const group* g = ::getgrnam(name); g && groups.count(g->gr_gid)) return true;
  }
  return false;
}

std::string UserName() {
  std::string name;
  std::vector<char> buffer(16384);
  passwd pw{}, *found = nullptr;
  if (::getpwuid_r(::geteuid(), &pw, buffer.data(), buffer.size(), &found) == 0 && found && found->pw_name)
    name = found->pw_name;
  if (name.empty())
    if (const char* v = std::getenv("USER")) name = v;
  return name.substr(0, 260);
}

int64_t ProgramStartBootMs() {
  int64_t mark = gReporterStartMs.load();
  if (mark >= 0) return mark;
  TCDProcStat stat;
  long ticks = ::sysconf(_SC_CLK_TCK);
  if (ticks <= 0 || !ParseProcStat(ReadProcFile("/proc/self/stat", 4096), stat)) return -1;
  return static_cast<int64_t>(stat.StartTime * 1000 / static_cast<uint64_t>(ticks));
}

void AddDisk(std::vector<TCDDiskSpace>& disks, const std::vector<TCDMount>& mounts, const std::string& path) {
  const TCDMount* m = MountOf(mounts, path);
  if (m && IsNetworkFileSystem(m->FsType)) return;
  struct statvfs vfs {};
  if (::statvfs(path.c_str(), &vfs) != 0) return;
  disks.push_back(TCDDiskSpace{m ? m->MountPoint : std::string("/"),
                               static_cast<uint64_t>(vfs.f_bavail) * static_cast<uint64_t>(vfs.f_frsize)});
}

}  // namespace

std::string ParseOsReleaseName(std::string_view text) {
  std::string pretty, name;
  ForEachLine(text, [&](std::string_view line) {
    std::string l = Trim(line);
    if (l.compare(0, 12, "PRETTY_NAME=") == 0)
      pretty = Unquote(std::string_view(l).substr(12));
    else if (l.compare(0, 5, "NAME=") == 0)
      name = Unquote(std::string_view(l).substr(5));
  });
  return Trim(!pretty.empty() ? pretty : name);
}

TCDCpuInfo ParseCpuInfo(std::string_view text) {
  TCDCpuInfo info;
  ForEachLine(text, [&](std::string_view line) {
    std::string key;
    std::string_view value;
    if (!SplitKeyValue(line, key, value)) return;
    if (key == "processor")
      ++info.Count;
    else if (key == "model name" && info.ModelName.empty())
      info.ModelName = Trim(value);
  });
  return info;
}

TCDMemInfo ParseMemInfo(std::string_view text) {
  TCDMemInfo info;
  uint64_t free = 0;
  bool haveAvailable = false;
  ForEachLine(text, [&](std::string_view line) {
    std::string key;
    std::string_view value;
    if (!SplitKeyValue(line, key, value)) return;
    if (key == "MemTotal") info.TotalBytes = KbToBytes(value);
    if (key == "MemFree") free = KbToBytes(value);
    if (key == "MemAvailable") {
      info.AvailableBytes = KbToBytes(value);
      haveAvailable = true;
    }
  });
  if (!haveAvailable) info.AvailableBytes = free;
  return info;
}

std::vector<TCDMount> ParseMountInfo(std::string_view text) {
  std::vector<TCDMount> mounts;
  ForEachLine(text, [&](std::string_view line) {
    std::vector<std::string_view> w = SplitWords(line);
    // id parent major:minor root mount-point options [optional...] - type source super-options
    auto dash = std::find(w.begin(), w.end(), std::string_view("-"));
    if (w.size() < 6 || dash == w.end() || dash - w.begin() < 6 || w.end() - dash < 2) return;
    mounts.push_back(TCDMount{UndoMountEscapes(w[4]), std::string(*(dash + 1))});
  });
  return mounts;
}

const TCDMount* MountOf(const std::vector<TCDMount>& mounts, std::string_view path) {
  const TCDMount* best = nullptr;
  for (const TCDMount& m : mounts) {
    const std::string& mp = m.MountPoint;
    bool holds = mp == "/" ? !path.empty() && path.front() == '/'
                           : path.substr(0, mp.size()) == mp && (path.size() == mp.size() || path[mp.size()] == '/');
    if (holds && (!best || mp.size() >= best->MountPoint.size())) best = &m;
  }
  return best;
}

bool IsNetworkFileSystem(std::string_view fsType) {
  for (std::string_view t : {"nfs", "nfs4", "cifs", "smb3", "smbfs", "ncpfs", "afs", "9p", "ceph", "glusterfs",
                             "fuse.sshfs", "fuse.glusterfs", "fuse.davfs", "davfs", "lustre"})
    if (fsType == t) return true;
  return false;
}

std::string LanguageName(std::string_view locale) {
  std::string code(locale.substr(0, locale.find_first_of("_.@")));
  if (code.empty() || code == "C" || code == "POSIX") return "English";
  const std::string lower = LowerCase(code);
  for (const TLanguage& l : kLanguages)
    if (lower == l.Code) return l.Name;
  std::string name;
  if (locale_t loc = ::newlocale(LC_ALL_MASK, std::string(locale).c_str(), static_cast<locale_t>(nullptr))) {
    const char* v = ::nl_langinfo_l(_NL_IDENTIFICATION_LANGUAGE, loc);
    if (v) name = v;
    ::freelocale(loc);
  }
  return name.empty() ? code : name;
}

uint64_t AllocatedBytes(const std::vector<TCDMapping>& mappings) {
  std::set<std::string> images;
  for (const TCDMapping& m : mappings)
    if (m.Exec && m.IsFile()) images.insert(m.Path);
  uint64_t total = 0;
  for (const TCDMapping& m : mappings) {
    if (m.IsReservation() || (m.IsFile() && images.count(m.Path))) continue;
    total += m.End - m.Start;
  }
  return total;
}

void SetCDDisplayMode(int width, int height, int bitsPerPixel) {
  gDisplayWidth = width;
  gDisplayHeight = height;
  gDisplayBits = bitsPerPixel;
}

void MarkCrashReporterStart() { gReporterStartMs = BootClockMs(); }

TCDSystemFacts GatherSystemFacts() {
  TCDSystemFacts f;
  utsname u{};
  if (::uname(&u) == 0) {
    f.ComputerName = u.nodename;
    f.KernelRelease = u.release;
  }
  if (const char* ssh = std::getenv("SSH_CLIENT")) {
    std::vector<std::string_view> w = SplitWords(ssh);
    if (!w.empty()) f.RemoteClient = std::string(w.front());
  }
  f.UserName = UserName();
  f.UserIsAdmin = IsAdministrator();
  f.OsName = ParseOsReleaseName(ReadProcFile("/etc/os-release", 65536));
  if (f.OsName.empty()) f.OsName = ParseOsReleaseName(ReadProcFile("/usr/lib/os-release", 65536));
  f.Language = LanguageName(SystemLocaleName());
  const int64_t now = BootClockMs();
  f.SystemUpMs = static_cast<uint64_t>(now);
  const int64_t start = ProgramStartBootMs();
  if (start >= 0 && start <= now) f.ProgramUpMs = static_cast<uint64_t>(now - start);
  f.Cpu = ParseCpuInfo(ReadProcFile("/proc/cpuinfo", 4u << 20));
  f.Memory = ParseMemInfo(ReadProcFile("/proc/meminfo", 65536));
  f.ExecutablePath = ApplicationExeName();
  const std::vector<TCDMount> mounts = ParseMountInfo(ReadProcFile("/proc/self/mountinfo", 4u << 20));
  AddDisk(f.Disks, mounts, "/");
  struct stat root {}, exe {};
  if (!f.ExecutablePath.empty() && ::stat("/", &root) == 0 && ::stat(f.ExecutablePath.c_str(), &exe) == 0) {
    if (exe.st_dev != root.st_dev) AddDisk(f.Disks, mounts, f.ExecutablePath);
    f.ExecutableMTime = static_cast<int64_t>(exe.st_mtime);
  }
  f.DisplayWidth = gDisplayWidth;
  f.DisplayHeight = gDisplayHeight;
  f.DisplayBits = gDisplayBits;
  f.ProcessId = static_cast<uint32_t>(::getpid());
  f.AllocatedBytes = AllocatedBytes(TCDAddressSpace::OfThisProcess().Mappings());
  return f;
}
