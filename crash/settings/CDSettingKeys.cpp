#include "crash/settings/CDSettingKeys.h"

#include "runtime/SysUtils.h"

std::optional<TCDSetting> FindCDSetting(std::string_view name) {
  for (std::size_t i = 0; i < CDSettingCount; ++i)
    if (SameText(CDSettingTable[i].Name, name)) return static_cast<TCDSetting>(i);
  return std::nullopt;
}
