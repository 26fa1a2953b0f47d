// The three system lists on fixed inputs: their sources' parsing, their
// orderings and filters, and their column layouts.
#include <gtest/gtest.h>

#include <sched.h>

#include "crash/sys/CDHardwareList.h"
#include "crash/sys/CDModuleList.h"
#include "crash/sys/CDProcessList.h"

namespace {

const char kMaps[] =
    "55d1c0a00000-55d1c0a20000 r--p 00000000 08:01 1311 /opt/pinmark/Pinmark\n"
    "55d1c0a20000-55d1c0b00000 r-xp 00020000 08:01 1311 /opt/pinmark/Pinmark\n"
    "55d1c2000000-55d1c2100000 rw-p 00000000 00:00 0    [heap]\n"
    // A symbol reader's mappings of loaded libraries: below and above their images.
    "7eff00000000-7eff00200000 r--p 00000000 08:01 4001 /usr/lib/x86_64-linux-gnu/libc.so.6\n"
    "7eff00400000-7eff00480000 r--p 00000000 08:01 2001 /usr/lib/x86_64-linux-gnu/libQt6Core.so.6.4.2\n"
    "7f0000000000-7f0000010000 r--p 00000000 08:01 2001 /usr/lib/x86_64-linux-gnu/libQt6Core.so.6.4.2\n"
    "7f0000010000-7f0000100000 r-xp 00010000 08:01 2001 /usr/lib/x86_64-linux-gnu/libQt6Core.so.6.4.2\n"
    "7f0000200000-7f0000300000 r--p 00000000 08:01 3001 /usr/lib/locale/locale-archive\n"
    "7f0000400000-7f0000410000 r--p 00000000 08:01 4001 /usr/lib/x86_64-linux-gnu/libc.so.6\n"
    "7f0000410000-7f0000420000 ---p 00010000 08:01 4001 /usr/lib/x86_64-linux-gnu/libc.so.6\n"
    "7f0000420000-7f0000430000 r-xp 00020000 08:01 4001 /usr/lib/x86_64-linux-gnu/libc.so.6\n"
    "7f0000500000-7f0000501000 r--p 00000000 08:01 5001 /tmp/my lib (x).so\n"
    "7f0000501000-7f0000502000 r-xp 00001000 08:01 5001 /tmp/my lib (x).so\n"
    "7f0000600000-7f0000680000 r--p 00000000 08:01 6001 /usr/lib/debug/.build-id/ab/cdef.debug\n"
    "7f0000700000-7f0000780000 r--p 00000000 08:01 4001 /usr/lib/x86_64-linux-gnu/libc.so.6\n"
    "7ffc00000000-7ffc00021000 rw-p 00000000 00:00 0    [stack]\n"
    "garbage line\n"
    "7ffc00030000-7ffc00031000 r-xp 00000000 00:00 0    [vdso]";

std::vector<TCDModuleEntry> Modules() {
  return CollectModules(
      ParseProcMaps(kMaps), [](const TCDMapping& m) { return m.Offset == 0 && m.Path.find("locale") == std::string::npos; },
      [](const std::string& path) { return path == "/opt/pinmark/Pinmark" ? std::string("1.0.0.2") : VersionFromLibraryName(path); });
}

TCDDeviceFacts Device(const char* subsystem, const char* sysName, std::map<std::string, std::string> props = {},
                      std::map<std::string, std::string> attrs = {}, const char* devType = "") {
  TCDDeviceFacts f;
  f.Subsystem = subsystem;
  f.SysName = sysName;
  f.DevType = devType;
  f.SysPath = std::string("/sys/devices/pci0000:00/") + sysName;
  f.Properties = std::move(props);
  f.Attributes = std::move(attrs);
  return f;
}

}  // namespace

TEST(CDModuleList, OneModulePerLoadedElfFileAtTheStartOfTheImageHoldingItsCodeWithItsVersion) {
  // The debug file is an ELF file mapped for reading only: no module. A
  // reader's mapping of a loaded library is not where it was loaded.
  std::vector<TCDModuleEntry> m = Modules();
  ASSERT_EQ(m.size(), 4u);
  EXPECT_EQ(m[0].Base, 0x55d1c0a00000u);
  EXPECT_EQ(m[0].FileName, "Pinmark");
  EXPECT_EQ(m[0].Folder, "/opt/pinmark");
  EXPECT_EQ(m[1].FileName, "libQt6Core.so.6.4.2");
  EXPECT_EQ(m[1].Version, "6.4.2");
  EXPECT_EQ(m[2].FileName, "libc.so.6");
  EXPECT_EQ(m[3].FileName, "my lib (x).so");
  EXPECT_EQ(m[3].Version, "");
  EXPECT_EQ(FormatModuleList(m),
            "000055d1c0a00000 Pinmark             1.0.0.2 /opt/pinmark\r\n"
            "00007f0000000000 libQt6Core.so.6.4.2 6.4.2   /usr/lib/x86_64-linux-gnu\r\n"
            "00007f0000400000 libc.so.6           6       /usr/lib/x86_64-linux-gnu\r\n"
            "00007f0000500000 my lib (x).so               /tmp");
}

TEST(CDModuleList, WithoutAnyVersionTheColumnIsOneBlankAndAnEmptyListIsEmpty) {
  std::vector<TCDModuleEntry> m{{0x1000, "a.so", "/lib", ""}, {0x2000, "bb.so", "/usr/lib", ""}};
  EXPECT_EQ(FormatModuleList(m), "0000000000001000 a.so   /lib\r\n0000000000002000 bb.so  /usr/lib");
  EXPECT_EQ(FormatModuleList({}), "");
}

TEST(CDModuleList, VersionsComeOnlyFromNumbersAfterSo) {
  const std::pair<const char*, const char*> cases[] = {
      {"libQt6Core.so.6.4.2", "6.4.2"}, {"libc.so.6", "6"},        {"ld-linux-x86-64.so.2", "2"},
      {"libfoo.so", ""},                {"libfoo.so.", ""},        {"libfoo.so.1..2", ""},
      {"libfoo.so.1.2.", ""},           {"libfoo.so.conf", ""},    {"Pinmark", ""},
  };
  for (const auto& [name, version] : cases) EXPECT_EQ(VersionFromLibraryName(name), version) << name;
}

TEST(CDProcessList, ReadsStatLinesWhoseNamesHoldBlanksAndParentheses) {
  TCDProcStat s;
  ASSERT_TRUE(ParseProcStat(
      "4242 (my (odd) name) S 1 4242 4242 0 -1 4194560 100 0 0 0 1 2 0 0 20 -5 3 0 98765 1000 100 18446744073709551615 "
      "1 1 0 0 0 0 0 0 0 0 0 0 17 1 0 0 0 0 0 0 0 0 0 0 0 0 0\n",
      s));
  EXPECT_EQ(s.Pid, 4242);
  EXPECT_EQ(s.Comm, "my (odd) name");
  EXPECT_EQ(s.State, 'S');
  EXPECT_EQ(s.Session, 4242);
  EXPECT_EQ(s.Nice, -5);
  EXPECT_EQ(s.StartTime, 98765u);
  EXPECT_EQ(s.Policy, 0);
  // A kernel too old to have the policy field still gives the rest.
  ASSERT_TRUE(ParseProcStat("1 (init) S 0 1 1 0 -1 0 0 0 0 0 0 0 0 0 20 0 1 0 5 0", s));
  EXPECT_EQ(s.Policy, -1);
  for (const char* bad : {"", "1 init S", "(x) S 1", "1 (x) SS 0 1 1 0 -1 0 0 0 0 0 0 0 0 0 20 0 1 0 5",
                          "1 (x) S 0 1 one 0 -1 0 0 0 0 0 0 0 0 0 20 0 1 0 5"})
    EXPECT_FALSE(ParseProcStat(bad, s)) << bad;
}

// The end of the process waits for a fatal signal that a thread still has
// pending: a misread mask would let it end without that thread's report.
TEST(CDProcessList, PendingSignalsAreTheThreadsAndTheProcesssTogether) {
  const struct {
    const char* status;
    uint64_t pending;
  } cases[] = {
      {"Name:\tx\nSigPnd:\t0000000000000020\nShdPnd:\t0000000000000100\nSigBlk:\tffffffffffffffff\n", 0x120},
      {"SigPnd:\t0000000000000000\nShdPnd:\t0000000000000000\n", 0},
      {"SigQ:\t1/100\nSigBlk:\t0000000000000020\n", 0},            // blocked is not pending
      {"SigPnd:\t00000000000000zz\nShdPnd:\t0000000000000004", 4},  // a broken mask counts for nothing
      {"SigPnd:\t10000000000000000\n", 0},                           // seventeen digits
      {"SigPnd:\n", 0},
  };
  for (const auto& c : cases) EXPECT_EQ(PendingSignalsOf(c.status), c.pending) << c.status;
}

TEST(CDProcessList, PriorityClassesFollowPolicyAndNiceAndReadAsTheirNames) {
  const struct {
    int64_t nice, policy;
    int32_t cls;
  } classes[] = {{0, SCHED_FIFO, CDPriorityRealtime}, {19, SCHED_RR, CDPriorityRealtime},
                 {0, SCHED_IDLE, CDPriorityIdle},     {-20, SCHED_OTHER, CDPriorityHigh},
                 {-11, 0, CDPriorityHigh},            {-10, 0, CDPriorityAboveNormal},
                 {-1, 0, CDPriorityAboveNormal},      {0, SCHED_BATCH, CDPriorityNormal},
                 {1, 0, CDPriorityBelowNormal},       {10, -1, CDPriorityBelowNormal},
                 {11, 0, CDPriorityIdle}};
  for (const auto& c : classes) EXPECT_EQ(PriorityClassOf(c.nice, c.policy), c.cls) << c.nice << " " << c.policy;
  const std::pair<int32_t, const char*> texts[] = {
      {0, ""},           {-1, ""},      {0x20, "normal"},         {0x40, "idle"},          {0x80, "high"},
      {0x100, "realtime"}, {0x4000, "below normal"}, {0x8000, "above normal"}, {0x1234, "$1234"}, {-2, "$fffffffe"}};
  for (const auto& [value, text] : texts) EXPECT_EQ(PriorityClassText(value), text) << value;
}

TEST(CDProcessList, LeavesTheSessionColumnOutWhenEverySessionIsZero) {
  std::vector<TCDProcessEntry> p{{"systemd", "/usr/lib/systemd", 1, 0, CDPriorityNormal},
                                 {"kthreadd", "", 2, 0, -1},
                                 {"Pinmark", "/opt/pinmark", 0x1f2a, 0, CDPriorityBelowNormal}};
  EXPECT_EQ(FormatProcessList(p),
            "0001 systemd  normal       /usr/lib/systemd\r\n"
            "0002 kthreadd              \r\n"
            "1f2a Pinmark  below normal /opt/pinmark");
  p[0].Session = 1;
  p[2].Session = 12345;
  EXPECT_EQ(FormatProcessList(p),
            "0001 systemd  1     normal       /usr/lib/systemd\r\n"
            "0002 kthreadd 0                  \r\n"
            "1f2a Pinmark  12345 below normal /opt/pinmark");
  EXPECT_EQ(FormatProcessList({}), "");
}

TEST(CDHardwareList, ClassifiesDevicesByTheirSubsystem) {
  struct Case {
    TCDDeviceFacts device;
    const char* label;  // "" = left out
    const char* name;
  } cases[] = {
      {Device("pci", "0000:00:02.0", {{"ID_VENDOR_FROM_DATABASE", "Intel Corporation"}, {"ID_MODEL_FROM_DATABASE", "UHD Graphics 620"}},
              {{"class", "0x030000"}}),
       "Display adapters", "Intel Corporation UHD Graphics 620"},
      {Device("pci", "0000:00:03.0", {}, {{"class", "0x020000"}, {"vendor", "0x1af4"}, {"device", "0x1041"}}),
       "Network adapters", "PCI device 1af4:1041"},
      {Device("pci", "0000:00:14.0", {}, {{"class", "0x0c0330"}}), "Universal Serial Bus controllers",
       "PCI device 0000:00:14.0"},
      {Device("block", "sda", {{"ID_MODEL", "Samsung_SSD_860"}}, {}, "disk"), "Disk drives", "Samsung SSD 860 (sda)"},
      {Device("block", "sda1", {}, {}, "partition"), "", ""},
      {Device("block", "sdb", {}, {{"removable", "1"}}, "disk"), "Removable drives", "sdb"},
      {Device("input", "input3", {{"NAME", "\"AT Translated Set 2 keyboard\""}, {"ID_INPUT_KEYBOARD", "1"}}), "Keyboards",
       "AT Translated Set 2 keyboard"},
      {Device("input", "event3", {{"ID_INPUT_KEYBOARD", "1"}}), "", ""},
      {Device("usb", "1-1", {}, {{"manufacturer", "Logitech"}, {"product", "USB Receiver"}}, "usb_device"),
       "Universal Serial Bus devices", "Logitech USB Receiver"},
      {Device("usb", "1-1:1.0", {}, {}, "usb_interface"), "", ""},
      {Device("sound", "card0", {}, {{"id", "PCH"}}), "Sound, video and game controllers", "PCH"},
      {Device("sound", "pcmC0D0p"), "", ""},
      {Device("power_supply", "AC", {}, {{"type", "Mains"}}), "", ""},
      {Device("cpu", "cpu0", {}, {{"model name", "AMD Ryzen 7"}}), "Processors", "AMD Ryzen 7"},
      {Device("tty", "ttyS0"), "", ""},
      {Device("pci", "0000:00:1f.0", {{"ID_MODEL_FROM_DATABASE", "line\r\nbreak"}}, {{"class", "0x060100"}}),
       "System devices", "line  break"},
  };
  for (const Case& c : cases) {
    std::optional<TCDDevice> d = ClassifyDevice(c.device);
    if (!*c.label) {
      EXPECT_FALSE(d.has_value()) << c.device.SysName;
      continue;
    }
    ASSERT_TRUE(d.has_value()) << c.device.SysName;
    EXPECT_EQ(d->Label, c.label) << c.device.SysName;
    EXPECT_EQ(d->DisplayName, c.name) << c.device.SysName;
  }
  TCDDeviceFacts net = Device("net", "eth0");
  EXPECT_FALSE(ClassifyDevice(net));
  TCDDeviceFacts virt = Device("block", "loop0", {}, {}, "disk");
  virt.SysPath = "/sys/devices/virtual/block/loop0";
  EXPECT_FALSE(ClassifyDevice(virt));
}

TEST(CDHardwareList, ShowsDriverVersionsOnlyForDriversFromOutsideTheKernel) {
  TCDDeviceFacts gpu = Device("pci", "0000:01:00.0", {{"ID_MODEL_FROM_DATABASE", "GA104"}}, {{"class", "0x030000"}});
  gpu.DriverModule = "nvidia";
  gpu.DriverVersion = " 535.104.05 ";
  gpu.DriverOutOfTree = true;
  TCDDeviceFacts nic = Device("pci", "0000:00:03.0", {{"ID_MODEL_FROM_DATABASE", "I219-V"}}, {{"class", "0x020000"}});
  nic.DriverModule = "e1000e";
  nic.DriverVersion = "3.2.6-k";
  TCDHardwareList list;
  list.Insert(*ClassifyDevice(gpu));
  list.Insert(*ClassifyDevice(nic));
  EXPECT_EQ(FormatHardwareList(list),
            "+ Display adapters\r\n"
            "  - GA104 (driver 535.104.05)\r\n"
            "+ Network adapters\r\n"
            "  - I219-V");
}

TEST(CDHardwareList, OrdersWithoutCaseKeepsCaseDifferentClassesApartAndNeverMergesDevices) {
  TCDHardwareList list;
  list.Insert({"disk drives", "b", ""});
  list.Insert({"Disk drives", "B", ""});
  list.Insert({"Cameras", "cam", ""});
  list.Insert({"Disk drives", "a", ""});
  list.Insert({"Disk drives", "a", ""});
  EXPECT_EQ(FormatHardwareList(list),
            "+ Cameras\r\n"
            "  - cam\r\n"
            "+ Disk drives\r\n"
            "  - a\r\n"
            "  - a\r\n"
            "  - B\r\n"
            "+ disk drives\r\n"
            "  - b");
  EXPECT_EQ(FormatHardwareList(TCDHardwareList{}), "");
}

TEST(CDSystemLists, TheListsOfThisProcessAndMachineAreWellFormed) {
  // The live sources: this test program is among the modules, this process
  // among the processes, and no list ends in a line break.
  std::string modules = ListModules();
  EXPECT_NE(modules.find("crash_tests"), std::string::npos);
  EXPECT_NE(modules.find("libc.so.6"), std::string::npos);
  std::string processes = ListProcesses();
  EXPECT_NE(processes.find(" crash_tests "), std::string::npos) << processes;
  for (const std::string& list : {modules, processes, ListHardware()})
    EXPECT_TRUE(list.empty() || list.back() != '\n');
  std::vector<pid_t> threads = ListThreadIds();
  EXPECT_NE(std::find(threads.begin(), threads.end(), CurrentThreadId()), threads.end());
}
