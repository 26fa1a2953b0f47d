#include "crash/settings/CDSettingsRegistry.h"

#include <algorithm>
#include <mutex>
#include <string>
#include <vector>

#include "crash/settings/CDMessageBox.h"
#include "runtime/Resources.h"

namespace {

struct TModuleEntry {
  TCDModuleHandle Module = 0;
  std::shared_ptr<TCDPropertyTable> Table;  // null: the module has no settings
};

// Parses a stream into a new table; null when the stream is not a settings
// stream. The box text for a damaged stream goes to boxText.
std::shared_ptr<TCDPropertyTable> BuildTable(std::span<const uint8_t> stream, std::string& boxText) {
  auto table = std::make_shared<TCDPropertyTable>();
  TCDStreamResult result = table->LoadFromStream(stream);
  boxText = InvalidSettingsResourceText(result);
  if (result.Status == TCDStreamStatus::NoHeader) return nullptr;
  return table;
}

void ShowInvalidResource(const std::string& boxText) {
  if (!boxText.empty()) CDMessageBox(std::string(CDStreamObjectName), boxText, TCDMsgIcon::Error);
}

}  // namespace

struct TCDSettingsRegistry::TImpl {
  std::mutex Lock;
  std::vector<TModuleEntry> Entries;

  TModuleEntry* Find(TCDModuleHandle module) {
    for (auto& e : Entries)
      if (e.Module == module) return &e;
    return nullptr;
  }
  void Set(TCDModuleHandle module, std::shared_ptr<TCDPropertyTable> table) {
    if (TModuleEntry* e = Find(module))
      e->Table = std::move(table);
    else
      Entries.push_back({module, std::move(table)});
  }
};

TCDSettingsRegistry& TCDSettingsRegistry::Instance() {
  static TCDSettingsRegistry registry;
  return registry;
}

TCDSettingsRegistry::TImpl& TCDSettingsRegistry::Impl() {
  static TImpl impl;
  return impl;
}

bool TCDSettingsRegistry::Load(TCDModuleHandle module, std::span<const uint8_t> stream) {
  std::string boxText;
  std::shared_ptr<TCDPropertyTable> table = BuildTable(stream, boxText);
  const bool valid = table != nullptr;
  {
    std::lock_guard<std::mutex> guard(Impl().Lock);
    Impl().Set(module, std::move(table));
  }
  // Outside the lock: the box may stay open for a long time.
  ShowInvalidResource(boxText);
  return valid;
}

void TCDSettingsRegistry::InitMainModule() {
  std::string boxText;
  {
    std::lock_guard<std::mutex> guard(Impl().Lock);
    if (Impl().Find(MainModuleHandle())) return;
    Impl().Set(MainModuleHandle(), BuildTable(FindResource("RCDATA", "TCRASHREPORTER"), boxText));
  }
  ShowInvalidResource(boxText);
}

void TCDSettingsRegistry::Release(TCDModuleHandle module) {
  std::lock_guard<std::mutex> guard(Impl().Lock);
  std::erase_if(Impl().Entries, [&](const TModuleEntry& e) { return e.Module == module; });
}

TCDModuleTables TCDSettingsRegistry::Tables(TCDModuleHandle module) {
  const TCDModuleHandle main = MainModuleHandle();
  InitMainModule();
  TCDModuleTables tables;
  std::lock_guard<std::mutex> guard(Impl().Lock);
  if (TModuleEntry* own = Impl().Find(module)) tables.Own = own->Table;
  if (module != main)
    if (TModuleEntry* exe = Impl().Find(main)) tables.Fallback = exe->Table;
  return tables;
}

void TCDSettingsRegistry::Put(TCDModuleHandle module, std::shared_ptr<TCDPropertyTable>& table,
                              std::string_view name, const TCDProperty& value) {
  std::lock_guard<std::mutex> guard(Impl().Lock);
  if (!table) {
    table = std::make_shared<TCDPropertyTable>();
    Impl().Set(module, table);
  }
  table->Put(name, value);
}

std::shared_ptr<TCDPropertyTable> TCDSettingsRegistry::Copy(const std::shared_ptr<TCDPropertyTable>& table) {
  std::lock_guard<std::mutex> guard(Impl().Lock);
  return table ? std::make_shared<TCDPropertyTable>(*table) : std::make_shared<TCDPropertyTable>();
}

bool LoadModuleSettings(TCDModuleHandle module, std::span<const uint8_t> stream) {
  return TCDSettingsRegistry::Instance().Load(module, stream);
}

void InitMainModuleSettings() { TCDSettingsRegistry::Instance().InitMainModule(); }

void ReleaseModuleSettings(TCDModuleHandle module) { TCDSettingsRegistry::Instance().Release(module); }
