// The process-wide list of module settings: one property table per module
// that carries a settings stream (the executable first of all), built from
// the stream under the registry's lock and shared by every TICDSettings of
// that module.
//
// Thread-safe. Building, releasing and changing a shared table take the
// lock; readers hold their tables by shared pointer and read without it.
// Not for signal handlers.
#pragma once

#include <cstdint>
#include <memory>
#include <span>
#include <string_view>

#include "crash/settings/CDPropertyTable.h"
#include "crash/sys/CDModule.h"

// What a module's settings read from: its own table (null when it has none)
// and, for any module but the executable, the executable's table.
struct TCDModuleTables {
  std::shared_ptr<TCDPropertyTable> Own;
  std::shared_ptr<const TCDPropertyTable> Fallback;
};

class TCDSettingsRegistry {
 public:
  // The one registry of the process.
  static TCDSettingsRegistry& Instance();

  // (Re)builds a module's table from a settings stream. A damaged stream is
  // reported in a box captioned "crashDesk"; a stream without the header
  // leaves the module without a table. Returns whether the module has a
  // table now. Readers made earlier keep the table they had.
  bool Load(TCDModuleHandle module, std::span<const uint8_t> stream);
  // Builds the executable's table from its "TCRASHREPORTER" resource, unless
  // that was done already.
  void InitMainModule();
  // Forgets a module's table (a library being unloaded).
  void Release(TCDModuleHandle module);

  TCDModuleTables Tables(TCDModuleHandle module);

  // Writes a value into a module's shared table under the lock; a module
  // without a table gets one that every later reader of the module shares.
  // `table` is the caller's pointer to that table and is updated.
  void Put(TCDModuleHandle module, std::shared_ptr<TCDPropertyTable>& table, std::string_view name,
           const TCDProperty& value);
  // A private copy of a shared table (an empty table for none), taken under
  // the lock so that no writer changes it halfway.
  std::shared_ptr<TCDPropertyTable> Copy(const std::shared_ptr<TCDPropertyTable>& table);

 private:
  TCDSettingsRegistry() = default;
  struct TImpl;
  TImpl& Impl();
};

// Shorthands for the registry's operations, as the program calls them.
bool LoadModuleSettings(TCDModuleHandle module, std::span<const uint8_t> stream);
void InitMainModuleSettings();
void ReleaseModuleSettings(TCDModuleHandle module);
