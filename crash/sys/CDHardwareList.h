// The "hardware" list of a bug report: the machine's devices, grouped in
// classes with readable labels ("Disk drives", "Network adapters", ...).
//
// Three layers, each tested on its own: the source (CollectDevices asks
// libudev for the devices of the subsystems that name hardware, and reads
// each bound driver's kernel module from sysfs), the classification
// (ClassifyDevice: pure, decides label, display name and driver version of
// one device or leaves it out) and the ordered list with its layout
// (TCDHardwareList, FormatHardwareList).
//
// Ordering: classes and the devices of a class are ordered by their texts
// without regard to letter case; a new entry goes in front of the first one
// that is not smaller. A class is reused only for exactly the same label, so
// labels differing in case are two classes; devices are never merged.
// Devices of the kernel's own making (/sys/devices/virtual) are left out,
// like software devices. A driver version is shown only for a driver that
// is not part of the kernel itself (a module built outside the kernel tree)
// and reports one. Failures leave entries out; nothing is raised.
#pragma once

#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

// What the source knows of one device.
struct TCDDeviceFacts {
  std::string Subsystem, DevType, SysName, SysPath;
  std::map<std::string, std::string> Properties;  // udev properties
  std::map<std::string, std::string> Attributes;  // sysfs attributes the classification reads
  std::string DriverModule;                       // kernel module of the bound driver, if any
  bool DriverOutOfTree = false;                   // the module was built outside the kernel tree
  std::string DriverVersion;                      // the module's own version text
};

struct TCDDevice {
  std::string Label;        // the class
  std::string DisplayName;
  std::string DriverVersion;  // empty: none to show
};

// The subsystems whose devices the list may show.
const std::vector<std::string>& HardwareSubsystems();

// Label, display name and driver version of a device, or nothing when the
// list leaves it out.
std::optional<TCDDevice> ClassifyDevice(const TCDDeviceFacts& device);

class TCDHardwareList {
 public:
  struct TClass {
    std::string Label;
    std::vector<TCDDevice> Devices;
  };

  void Insert(TCDDevice device);
  const std::vector<TClass>& Classes() const { return classes_; }

 private:
  std::vector<TClass> classes_;
};

// "+ " and the label for each class, "  - " and the display name for each of
// its devices, with " (driver <version>)" where there is one to show.
std::string FormatHardwareList(const TCDHardwareList& list);

// The devices of this machine.
std::vector<TCDDeviceFacts> CollectDevices();

// The list of this machine, as the report's "hardware" section shows it.
std::string ListHardware();
