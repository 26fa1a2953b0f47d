// The readers of /proc and other outside text the crash reporter relies on,
// fed arbitrary bytes: the maps with everything built on them (module list,
// allocated memory, address questions), stat and status lines, cpuinfo, meminfo,
// mountinfo, os-release, temporary-folder names, and device properties into
// the hardware list.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

#include "crash/snapshot/CDUnwinder.h"
#include "crash/sys/CDAddressSpace.h"
#include "crash/sys/CDHardwareList.h"
#include "crash/sys/CDModuleList.h"
#include "crash/sys/CDProcFile.h"
#include "crash/sys/CDProcessList.h"
#include "crash/sys/CDSystemFacts.h"
#include "crash/delivery/CDTempFolder.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 1) return 0;
  const std::string_view text(reinterpret_cast<const char*>(data) + 1, size - 1);
  switch (data[0] % 7) {
    case 0: {
      std::vector<TCDMapping> maps = ParseProcMaps(text);
      for (const TCDMapping& m : maps)
        if (m.End <= m.Start) std::abort();
      std::vector<TCDModuleEntry> modules = CollectModules(
          maps, [](const TCDMapping& m) { return m.Offset == 0; },
          [](const std::string& path) { return VersionFromLibraryName(path); });
      (void)FormatModuleList(modules);
      (void)AllocatedBytes(maps);
      TCDAddressSpace space(maps);
      for (const TCDMapping& m : maps) {
        if (space.Find(m.Start) == nullptr) std::abort();
        (void)space.IsReadable(m.Start, m.End - m.Start + 1);
        (void)space.ReadableEnd(m.End - 1);
        (void)OverflowedStack(space, m.Start - 1);
      }
      break;
    }
    case 1: {
      TCDProcStat stat;
      if (ParseProcStat(text, stat)) (void)PriorityClassText(PriorityClassOf(stat.Nice, stat.Policy));
      (void)PendingSignalsOf(text);
      break;
    }
    case 2:
      (void)ParseCpuInfo(text);
      break;
    case 3:
      (void)ParseMemInfo(text);
      break;
    case 4: {
      std::vector<TCDMount> mounts = ParseMountInfo(text);
      for (const TCDMount& m : mounts) (void)MountOf(mounts, m.MountPoint + "/x");
      break;
    }
    case 5:
      (void)ParseOsReleaseName(text);
      (void)LanguageName(text.substr(0, 64));
      {
        uid_t uid = 0;
        pid_t pid = 0;
        if (ParseCDTempFolderName(text.substr(0, 255), uid, pid) && pid <= 0) std::abort();
      }
      break;
    case 6: {
      // "subsystem", "devtype", then "KEY=value" lines (properties) and
      // "@attr=value" lines (attributes).
      TCDDeviceFacts d;
      int n = 0;
      ForEachLine(text, [&](std::string_view line) {
        if (n == 0) d.Subsystem = std::string(line);
        else if (n == 1) d.DevType = std::string(line);
        else if (std::size_t eq = line.find('='); eq != std::string_view::npos) {
          std::string key(line.substr(0, eq)), value(line.substr(eq + 1));
          if (!key.empty() && key[0] == '@')
            d.Attributes[key.substr(1)] = value;
          else
            d.Properties[key] = value;
        }
        ++n;
      });
      d.SysName = d.DevType;
      d.DriverOutOfTree = n % 2 == 0;
      d.DriverVersion = d.Subsystem;
      TCDHardwareList list;
      if (std::optional<TCDDevice> device = ClassifyDevice(d)) {
        if (device->DisplayName.find_first_of("\r\n") != std::string::npos) std::abort();
        list.Insert(*device);
        list.Insert(*device);
      }
      (void)FormatHardwareList(list);
      break;
    }
  }
  return 0;
}
