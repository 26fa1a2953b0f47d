#include "crash/sys/CDHardwareList.h"

#include <libudev.h>

#include <algorithm>
#include <memory>

#include "crash/sys/CDLibrary.h"
#include "crash/sys/CDModuleList.h"
#include "crash/sys/CDProcFile.h"
#include "runtime/SysUtils.h"

namespace {

// Outside text goes into one line of the report: control characters become
// blanks, and a runaway value is cut.
std::string Clean(std::string_view text) {
  std::string out;
  for (char c : text.substr(0, 200)) out += static_cast<unsigned char>(c) < 32 || c == 127 ? ' ' : c;
  return Trim(out);
}

std::string Lookup(const std::map<std::string, std::string>& values, const char* key) {
  auto it = values.find(key);
  return it == values.end() ? std::string() : Clean(it->second);
}

// Vendor and model joined, without repeating a vendor the model names.
std::string VendorModel(const std::string& vendor, const std::string& model) {
  if (model.empty()) return vendor;
  if (vendor.empty() || StartsText(vendor, model)) return model;
  return vendor + " " + model;
}

// PCI class codes (the top byte, then the top two bytes) to labels.
std::string PciLabel(const std::string& classAttr) {
  int64_t code = 0;
  if (!TryStrToInt64(classAttr, code)) return "Other devices";
  const int64_t base = (code >> 16) & 0xFF, sub = (code >> 8) & 0xFF;
  switch (base) {
    case 0x01: return "Storage controllers";
    case 0x02: return "Network adapters";
    case 0x03: return "Display adapters";
    case 0x04: return "Sound, video and game controllers";
    case 0x05: return "Memory technology devices";
    case 0x06: return "System devices";
    case 0x07: return "Ports";
    case 0x08: return "System devices";
    case 0x09: return "Human Interface Devices";
    case 0x0c: return sub == 0x03 ? "Universal Serial Bus controllers" : "System devices";
    case 0x0d: return "Network adapters";
    default: return "Other devices";
  }
}

std::string PciName(const TCDDeviceFacts& d) {
  std::string name = VendorModel(Lookup(d.Properties, "ID_VENDOR_FROM_DATABASE"),
                                 Lookup(d.Properties, "ID_MODEL_FROM_DATABASE"));
  if (!name.empty()) return name;
  // Without the hardware database: the numbers the device reports.
  std::string vendor = Lookup(d.Attributes, "vendor"), device = Lookup(d.Attributes, "device");
  if (StartsText("0x", vendor)) vendor.erase(0, 2);
  if (StartsText("0x", device)) device.erase(0, 2);
  if (vendor.empty() || device.empty()) return "PCI device " + d.SysName;
  return "PCI device " + vendor + ":" + device;
}

std::string InputLabel(const TCDDeviceFacts& d) {
  if (Lookup(d.Properties, "ID_INPUT_KEYBOARD") == "1") return "Keyboards";
  if (Lookup(d.Properties, "ID_INPUT_MOUSE") == "1" || Lookup(d.Properties, "ID_INPUT_TOUCHPAD") == "1")
    return "Mice and other pointing devices";
  return "Human Interface Devices";
}

std::string FirstOf(std::initializer_list<std::string> candidates) {
  for (const std::string& c : candidates)
    if (!c.empty()) return c;
  return std::string();
}

std::string Unquoted(std::string s) {
  if (s.size() >= 2 && s.front() == '"' && s.back() == '"') s = s.substr(1, s.size() - 2);
  return s;
}

// Ordered insertion: in front of the first entry that is not smaller.
template <typename T, typename Key>
typename std::vector<T>::iterator InsertPosition(std::vector<T>& items, const std::string& text, Key key) {
  const std::string lower = LowerCase(text);
  return std::find_if(items.begin(), items.end(), [&](const T& item) { return LowerCase(key(item)) >= lower; });
}

}  // namespace

const std::vector<std::string>& HardwareSubsystems() {
  static const std::vector<std::string> subsystems{"pci",   "usb",          "block",      "input",     "sound",
                                                   "hid",   "power_supply", "bluetooth",  "video4linux", "cpu"};
  return subsystems;
}

std::optional<TCDDevice> ClassifyDevice(const TCDDeviceFacts& d) {
  if (d.SysPath.find("/devices/virtual/") != std::string::npos) return std::nullopt;
  TCDDevice out;
  const auto& p = d.Properties;
  const auto& a = d.Attributes;
  if (d.Subsystem == "pci") {
    out.Label = PciLabel(Lookup(a, "class"));
    out.DisplayName = PciName(d);
  } else if (d.Subsystem == "usb") {
    if (d.DevType != "usb_device") return std::nullopt;  // its interfaces are parts of it
    out.Label = Lookup(a, "bDeviceClass") == "09" ? "Universal Serial Bus controllers" : "Universal Serial Bus devices";
    out.DisplayName = FirstOf({VendorModel(Lookup(p, "ID_VENDOR_FROM_DATABASE"), Lookup(p, "ID_MODEL_FROM_DATABASE")),
                               VendorModel(Lookup(a, "manufacturer"), Lookup(a, "product")), "USB device " + d.SysName});
  } else if (d.Subsystem == "block") {
    if (d.DevType != "disk") return std::nullopt;  // partitions belong to their disk
    const std::string model = FirstOf({Lookup(p, "ID_MODEL_FROM_DATABASE"), Lookup(a, "device/model"),
                                       ReplaceAll(Lookup(p, "ID_MODEL"), "_", " ")});
    out.Label = Lookup(a, "removable") == "1" ? "Removable drives" : "Disk drives";
    out.DisplayName = model.empty() ? d.SysName : Trim(model) + " (" + d.SysName + ")";
  } else if (d.Subsystem == "input") {
    // The input device itself carries the name; its event and mouse nodes repeat it.
    const std::string name = Clean(Unquoted(Lookup(p, "NAME")));
    if (name.empty()) return std::nullopt;
    out.Label = InputLabel(d);
    out.DisplayName = name;
  } else if (d.Subsystem == "sound") {
    if (!StartsText("card", d.SysName)) return std::nullopt;  // pcm and control nodes of a card
    out.Label = "Sound, video and game controllers";
    out.DisplayName = FirstOf({Lookup(a, "id"), d.SysName});
  } else if (d.Subsystem == "hid") {
    out.Label = "Human Interface Devices";
    out.DisplayName = FirstOf({Lookup(p, "HID_NAME"), d.SysName});
  } else if (d.Subsystem == "power_supply") {
    if (Lookup(a, "type") != "Battery") return std::nullopt;
    out.Label = "Batteries";
    out.DisplayName = FirstOf({VendorModel(Lookup(a, "manufacturer"), Lookup(a, "model_name")), d.SysName});
  } else if (d.Subsystem == "bluetooth") {
    if (d.DevType == "link") return std::nullopt;
    out.Label = "Bluetooth";
    out.DisplayName = d.SysName;
  } else if (d.Subsystem == "video4linux") {
    out.Label = "Cameras";
    out.DisplayName = FirstOf({Lookup(a, "name"), d.SysName});
  } else if (d.Subsystem == "cpu") {
    out.Label = "Processors";
    out.DisplayName = FirstOf({Lookup(a, "model name"), d.SysName});
  } else {
    return std::nullopt;
  }
  out.DisplayName = Clean(out.DisplayName);
  if (out.Label.empty() || out.DisplayName.empty()) return std::nullopt;
  if (d.DriverOutOfTree) out.DriverVersion = Clean(d.DriverVersion);
  return out;
}

void TCDHardwareList::Insert(TCDDevice device) {
  auto cls = std::find_if(classes_.begin(), classes_.end(), [&](const TClass& c) { return c.Label == device.Label; });
  if (cls == classes_.end())
    cls = classes_.insert(InsertPosition(classes_, device.Label, [](const TClass& c) { return c.Label; }),
                          TClass{device.Label, {}});
  auto& devices = cls->Devices;
  devices.insert(InsertPosition(devices, device.DisplayName, [](const TCDDevice& x) { return x.DisplayName; }),
                 std::move(device));
}

std::string FormatHardwareList(const TCDHardwareList& list) {
  std::vector<std::string> lines;
  for (const TCDHardwareList::TClass& c : list.Classes()) {
    lines.push_back("+ " + c.Label);
    for (const TCDDevice& d : c.Devices) {
      std::string line = "  - " + d.DisplayName;
      if (!d.DriverVersion.empty()) line += " (driver " + d.DriverVersion + ")";
      lines.push_back(std::move(line));
    }
  }
  return JoinListLines(lines);
}

namespace {

const char* const kAttributes[] = {"class",   "vendor",    "device", "bDeviceClass", "manufacturer", "product",
                                   "removable", "device/model", "id", "type",  "model_name",  "name"};

// libudev's functions, bound when the first device list is made.
#define PINMARK_UDEV_FUNCTIONS(X)                                                                           \
  X(udev_new) X(udev_unref) X(udev_enumerate_new) X(udev_enumerate_unref) X(udev_enumerate_add_match_subsystem) \
  X(udev_enumerate_scan_devices) X(udev_enumerate_get_list_entry) X(udev_list_entry_get_next)               \
  X(udev_list_entry_get_name) X(udev_list_entry_get_value) X(udev_device_new_from_syspath) X(udev_device_unref) \
  X(udev_device_get_subsystem) X(udev_device_get_devtype) X(udev_device_get_sysname) X(udev_device_get_syspath) \
  X(udev_device_get_properties_list_entry) X(udev_device_get_sysattr_value)

struct TUdevApi {
  PINMARK_UDEV_FUNCTIONS(PINMARK_CD_FUNCTION)
};

const TUdevApi* UdevApi() {
  return CDBindOnce<TUdevApi>("libudev.so.1", [](void* library, TUdevApi& api) {
    bool ok = true;
    PINMARK_UDEV_FUNCTIONS(PINMARK_CD_BIND)
    return ok;
  });
}

using TUdev = std::unique_ptr<udev, udev* (*)(udev*)>;
using TUdevEnumerate = std::unique_ptr<udev_enumerate, udev_enumerate* (*)(udev_enumerate*)>;
using TUdevDevice = std::unique_ptr<udev_device, udev_device* (*)(udev_device*)>;

std::string Text(const char* s) { return s ? std::string(s) : std::string(); }

void ReadDriver(const std::string& sysPath, TCDDeviceFacts& facts) {
  std::string module = ReadProcLink(sysPath + "/driver/module");
  if (module.empty()) return;  // no driver, or one built into the kernel
  facts.DriverModule = ExtractFileName(module);
  const std::string dir = "/sys/module/" + facts.DriverModule;
  // The kernel marks a module built outside its tree with "O" in its taint.
  facts.DriverOutOfTree = ReadProcFile(dir + "/taint", 64).find('O') != std::string::npos;
  facts.DriverVersion = Trim(ReadProcFile(dir + "/version", 256));
}

std::string CpuModelName() {
  std::string model;
  ForEachLine(ReadProcFile("/proc/cpuinfo", 1u << 20), [&](std::string_view line) {
    if (model.empty() && StartsText("model name", line) && line.find(':') != std::string_view::npos)
      model = Trim(line.substr(line.find(':') + 1));
  });
  return model;
}

}  // namespace

std::vector<TCDDeviceFacts> CollectDevices() {
  std::vector<TCDDeviceFacts> out;
  const TUdevApi* api = UdevApi();
  if (api == nullptr) return out;
  TUdev u(api->udev_new(), api->udev_unref);
  if (!u) return out;
  TUdevEnumerate e(api->udev_enumerate_new(u.get()), api->udev_enumerate_unref);
  if (!e) return out;
  for (const std::string& s : HardwareSubsystems()) api->udev_enumerate_add_match_subsystem(e.get(), s.c_str());
  if (api->udev_enumerate_scan_devices(e.get()) < 0) return out;
  const std::string cpuModel = CpuModelName();
  for (udev_list_entry* entry = api->udev_enumerate_get_list_entry(e.get()); entry != nullptr;
       entry = api->udev_list_entry_get_next(entry)) {
    TUdevDevice dev(api->udev_device_new_from_syspath(u.get(), api->udev_list_entry_get_name(entry)),
                    api->udev_device_unref);
    if (!dev) continue;
    TCDDeviceFacts f;
    f.Subsystem = Text(api->udev_device_get_subsystem(dev.get()));
    f.DevType = Text(api->udev_device_get_devtype(dev.get()));
    f.SysName = Text(api->udev_device_get_sysname(dev.get()));
    f.SysPath = Text(api->udev_device_get_syspath(dev.get()));
    for (udev_list_entry* prop = api->udev_device_get_properties_list_entry(dev.get()); prop != nullptr;
         prop = api->udev_list_entry_get_next(prop)) {
      if (f.Properties.size() >= 256) break;
      f.Properties[Text(api->udev_list_entry_get_name(prop))] = Text(api->udev_list_entry_get_value(prop));
    }
    for (const char* attr : kAttributes)
      if (const char* v = api->udev_device_get_sysattr_value(dev.get(), attr)) f.Attributes[attr] = v;
    if (f.Subsystem == "cpu" && !cpuModel.empty()) f.Attributes["model name"] = cpuModel;
    ReadDriver(f.SysPath, f);
    out.push_back(std::move(f));
  }
  return out;
}

std::string ListHardware() {
  TCDHardwareList list;
  for (const TCDDeviceFacts& f : CollectDevices())
    if (std::optional<TCDDevice> d = ClassifyDevice(f)) list.Insert(std::move(*d));
  return FormatHardwareList(list);
}
