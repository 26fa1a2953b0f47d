// The report plug-ins: named procedures that give the bug report a header
// line or a section of their own, registered at start-up and called while a
// report is being completed, in the order of the Plugins setting.
//
// Thread-safe: the registry is locked while it is changed or copied; the
// procedures run outside the lock on the report's completing thread.
#pragma once

#include <functional>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

struct TCDPlugin {
  std::string Name;
  std::string Description;
  std::function<std::string()> Procedure;
  bool OwnSection = true;  // a section of its own, else a header line
};

class TCDPluginRegistry {
 public:
  // The process's registry.
  static TCDPluginRegistry& Global();

  // Registering a name again replaces the earlier plug-in of that name
  // (names are compared without regard to case).
  void Register(TCDPlugin plugin);
  void Unregister(std::string_view name);
  bool Find(std::string_view name, TCDPlugin& plugin) const;
  std::vector<TCDPlugin> Items() const;

 private:
  mutable std::mutex lock_;
  std::vector<TCDPlugin> plugins_;
};

// The system lists: "hardware", "processes" and "modules", in this order,
// each with its own section.
void RegisterSystemListPlugins(TCDPluginRegistry& registry = TCDPluginRegistry::Global());
void UnregisterSystemListPlugins(TCDPluginRegistry& registry = TCDPluginRegistry::Global());
