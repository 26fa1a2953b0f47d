#include "crash/report/CDPluginRegistry.h"

#include <algorithm>

#include "crash/sys/CDHardwareList.h"
#include "crash/sys/CDModuleList.h"
#include "crash/sys/CDProcessList.h"
#include "runtime/SysUtils.h"

TCDPluginRegistry& TCDPluginRegistry::Global() {
  static TCDPluginRegistry* registry = new TCDPluginRegistry;  // outlives every report thread
  return *registry;
}

void TCDPluginRegistry::Register(TCDPlugin plugin) {
  std::lock_guard<std::mutex> guard(lock_);
  auto it = std::find_if(plugins_.begin(), plugins_.end(),
                         [&](const TCDPlugin& p) { return SameText(p.Name, plugin.Name); });
  if (it != plugins_.end())
    *it = std::move(plugin);
  else
    plugins_.push_back(std::move(plugin));
}

void TCDPluginRegistry::Unregister(std::string_view name) {
  std::lock_guard<std::mutex> guard(lock_);
  plugins_.erase(std::remove_if(plugins_.begin(), plugins_.end(),
                                [&](const TCDPlugin& p) { return SameText(p.Name, name); }),
                 plugins_.end());
}

bool TCDPluginRegistry::Find(std::string_view name, TCDPlugin& plugin) const {
  std::lock_guard<std::mutex> guard(lock_);
  for (const TCDPlugin& p : plugins_)
    if (SameText(p.Name, name)) {
      plugin = p;
      return true;
    }
  return false;
}

std::vector<TCDPlugin> TCDPluginRegistry::Items() const {
  std::lock_guard<std::mutex> guard(lock_);
  return plugins_;
}

void RegisterSystemListPlugins(TCDPluginRegistry& registry) {
  registry.Register(TCDPlugin{"hardware", "list of installed hardware", ListHardware, true});
  registry.Register(TCDPlugin{"processes", "list of running processes", ListProcesses, true});
  registry.Register(TCDPlugin{"modules", "list of loaded modules", ListModules, true});
}

void UnregisterSystemListPlugins(TCDPluginRegistry& registry) {
  for (const char* name : {"hardware", "processes", "modules"}) registry.Unregister(name);
}
