#include "crash/settings/ICDSettings.h"

#include <algorithm>
#include <cstring>

#include "crash/settings/CDExceptionTimes.h"
#include "crash/settings/CDTextVars.h"
#include "crash/sys/CDMemory.h"
#include "runtime/SysUtils.h"

namespace {

// ---- text helpers ----

std::string NameWithoutExt(const std::string& fileName) { return ChangeFileExt(fileName, ""); }

constexpr std::size_t kMaxVersionText = 1024;

}  // namespace

int CallstackCrcKeyLength(int32_t definition) {
  switch (definition) {
    case 0:
      return 9;
    case 1:
      return 20;
    default:
      return 31;
  }
}

// ---- TICDSettings ----

TICDSettings::TICDSettings() : TICDSettings(MainModuleHandle()) {}

TICDSettings::TICDSettings(TCDModuleHandle module) : module_(module) {
  TCDModuleTables tables = TCDSettingsRegistry::Instance().Tables(module_);
  table_ = std::move(tables.Own);
  fallback_ = std::move(tables.Fallback);
  ReadVersionVar();
}

void TICDSettings::MakeOwnCopy() {
  if (ownCopy_) return;
  table_ = TCDSettingsRegistry::Instance().Copy(table_);
  ownCopy_ = true;
}

std::vector<TCDProperty> TICDSettings::OwnEntries() const {
  std::vector<TCDProperty> entries;
  if (!ownCopy_ || !table_) return entries;
  for (int i = 0; i < table_->Count(); ++i) entries.push_back((*table_)[i]);
  return entries;
}

const TCDProperty* TICDSettings::Lookup(std::string_view name) const {
  if (table_)
    if (const TCDProperty* p = table_->Find(name)) return p;
  if (fallback_) return fallback_->Find(name);
  return nullptr;
}

bool TICDSettings::GetBool(std::string_view name) const {
  const TCDProperty* p = Lookup(name);
  if (!p) return false;
  switch (p->Kind) {
    case TCDPropKind::Boolean:
      return p->BoolValue;
    case TCDPropKind::Integer:
      return p->IntValue != 0;
    case TCDPropKind::Text:
      return SameText(Trim(p->TextValue), "True") || StrToIntDef(p->TextValue, 0) != 0;
    default:
      return false;
  }
}

int32_t TICDSettings::GetInt(std::string_view name) const {
  const TCDProperty* p = Lookup(name);
  if (!p) return 0;
  switch (p->Kind) {
    case TCDPropKind::Boolean:
      return p->BoolValue ? 1 : 0;
    case TCDPropKind::Integer:
      return p->IntValue;
    case TCDPropKind::Text:
      return StrToIntDef(Trim(p->TextValue), 0);
    default:
      return 0;
  }
}

uint32_t TICDSettings::GetDword(std::string_view name) const { return static_cast<uint32_t>(GetInt(name)); }

std::string TICDSettings::GetRawStr(std::string_view name) const {
  const TCDProperty* p = Lookup(name);
  if (!p) return std::string();
  switch (p->Kind) {
    case TCDPropKind::Boolean:
      return p->BoolValue ? "True" : "False";
    case TCDPropKind::Integer:
      return IntToStr(p->IntValue);
    case TCDPropKind::Text:
      return p->TextValue;
    default:
      return std::string();
  }
}

std::string TICDSettings::GetStr(std::string_view name) const { return ExpandVars(GetRawStr(name)); }

std::string TICDSettings::GetFileName(std::string_view name) const {
  std::string text = GetRawStr(name);
  text = ReplaceAll(text, "%appname%", NameWithoutExt(ExtractFileName(ApplicationExeName())), true);
  text = ReplaceAll(text, "%modname%", NameWithoutExt(ExtractFileName(ModuleFilePath(module_))), true);
  return ExpandVars(text);
}

void TICDSettings::Put(std::string_view name, const TCDProperty& value) {
  if (ownCopy_) {
    table_->Put(name, value);
    return;
  }
  TCDSettingsRegistry::Instance().Put(module_, table_, name, value);
}

void TICDSettings::SetBool(std::string_view name, bool value) {
  TCDProperty p;
  p.Kind = TCDPropKind::Boolean;
  p.BoolValue = value;
  Put(name, p);
}

void TICDSettings::SetInt(std::string_view name, int32_t value) {
  TCDProperty p;
  p.Kind = TCDPropKind::Integer;
  p.IntValue = value;
  Put(name, p);
}

void TICDSettings::SetDword(std::string_view name, uint32_t value) { SetInt(name, static_cast<int32_t>(value)); }

void TICDSettings::SetStr(std::string_view name, const std::string& value) {
  TCDProperty p;
  p.Kind = TCDPropKind::Text;
  p.TextValue = value;
  Put(name, p);
}

std::string TICDSettings::ExpandVars(std::string_view text) const {
  // Names and clock are asked for once, and only when a variable needs them.
  std::string appName, modName;
  bool haveNames = false, haveClock = false;
  TDateTime now = 0;
  auto names = [&] {
    if (!haveNames) {
      appName = ExtractFileName(ApplicationExeName());
      modName = ExtractFileName(ModuleFilePath(module_));
      haveNames = true;
    }
  };
  auto clock = [&] {
    if (!haveClock) {
      now = CDNow();
      haveClock = true;
    }
  };
  return ExpandTextVars(text, [&](std::string_view var) -> std::optional<std::string> {
    if (SameText(var, "appname")) {
      names();
      return appName;
    }
    if (SameText(var, "modname")) {
      names();
      return modName;
    }
    if (SameText(var, "LF")) return std::string("\r\n");
    if (SameText(var, "date") || SameText(var, "time") || SameText(var, "datetime")) {
      clock();
      if (SameText(var, "date")) return IsoDateText(now);
      if (SameText(var, "time")) return TimeWithMsText(now);
      return IsoDateText(now) + ", " + TimeWithMsText(now);
    }
    // "%exceptMsg%" and "%bugReport%" are left for whoever knows them.
    return std::nullopt;
  });
}

bool TICDSettings::GetPlugin(std::string_view name) const {
  for (const std::string& item : SplitItems(GetRawStr("Plugins"), '|'))
    if (!item.empty() && SameText(item, name)) return true;
  return false;
}

void TICDSettings::SetPlugin(std::string_view name, bool enabled) {
  std::vector<std::string> kept;
  bool present = false;
  for (std::string& item : SplitItems(GetRawStr("Plugins"), '|')) {
    if (item.empty()) continue;
    if (SameText(item, name)) {
      if (!enabled || present) continue;
      present = true;
    }
    kept.push_back(std::move(item));
  }
  if (enabled && !present) kept.emplace_back(name);
  std::string joined;
  for (std::size_t i = 0; i < kept.size(); ++i) joined += (i ? "|" : "") + kept[i];
  SetStr("Plugins", joined);
}

std::vector<TCDAddAttach> TICDSettings::GetAddAttachList() const {
  std::vector<TCDAddAttach> list;
  for (const std::string& item : SplitItems(GetStr("AddAttachs"), '|')) {
    std::vector<std::string> f = SplitItems(item, '>');
    if (f.empty() || f[0].empty()) continue;
    f.resize(std::max<std::size_t>(f.size(), 4));
    list.push_back({f[0], f[1], f[2], f[3]});
  }
  return list;
}

std::vector<TCDAddField> TICDSettings::GetAddFieldList() const {
  std::vector<TCDAddField> list;
  for (const std::string& item : SplitItems(GetStr("AddFields"), '|')) {
    std::size_t sep = item.find('>');
    std::string name = Trim(std::string_view(item).substr(0, sep));
    if (name.empty()) continue;
    list.push_back({name, sep == std::string::npos ? std::string() : Trim(std::string_view(item).substr(sep + 1))});
  }
  return list;
}

std::vector<TCDAssistant> TICDSettings::GetAssistants() const {
  std::vector<TCDAssistant> list;
  // A table holds at most CDMaxProperties entries, and there are two tables
  // to look in: the bound only guards against a mistake of ours.
  for (int i = 1; i <= 2 * CDMaxProperties; ++i) {
    std::string text = GetStr("Assistant" + IntToStr(i));
    if (Trim(text).empty()) break;
    std::vector<std::string> items = SplitItems(text, '|');
    TCDAssistant a;
    a.Name = items[0];
    if (items.size() > 1) a.Title = items[1];
    for (std::size_t k = 2; k < items.size(); ++k)
      if (!items[k].empty()) a.Pages.push_back(items[k]);
    list.push_back(std::move(a));
  }
  return list;
}

bool TICDSettings::WillCreateScreenShot() const { return GetScrShotDepth() > 0; }

bool TICDSettings::FindAssistant(std::string_view name, TCDAssistant& assistant) const {
  if (Trim(name).empty()) return false;
  for (TCDAssistant& a : GetAssistants()) {
    if (!SameText(a.Name, Trim(name))) continue;
    if (!WillCreateScreenShot())
      std::erase_if(a.Pages, [](const std::string& page) { return SameText(page, "ScrShotForm"); });
    assistant = std::move(a);
    return true;
  }
  return false;
}

TCDExceptionFlags TICDSettings::EvaluateExceptionFilters(const std::vector<std::string>& classNames) const {
  auto matches = [&](std::string_view filterClasses) {
    for (const std::string& wanted : SplitItems(filterClasses, ','))
      if (!wanted.empty())
        for (const std::string& cls : classNames)
          if (SameText(wanted, cls)) return true;
    return false;
  };
  std::string prefix = matches(GetRawStr("F1Classes")) ? "F1" : matches(GetRawStr("F2Classes")) ? "F2" : "Gn";

  TCDExceptionFlags flags;
  flags.Filter = prefix;
  flags.CreateBugReport = !GetBool(prefix + "NoBugRep");
  flags.CreateScreenShot = !GetBool(prefix + "NoScrShot") && GetScrShotDepth() > 0;
  flags.PauseThreads = GetPauseThreads() && !GetBool(prefix + "NoSuspend");
  flags.CallHandlers = !GetBool(prefix + "NoHandlers");
  flags.ShowMode = GetInt(prefix + "ShowCfg");
  flags.Assistant = GetStr(prefix + "Assis");
  return flags;
}

int TICDSettings::DupExceptKeyLength() const { return CallstackCrcKeyLength(GetDupExceptDef()); }
int TICDSettings::DupFreezeKeyLength() const { return CallstackCrcKeyLength(GetDupFreezeDef()); }

bool TICDSettings::AutoRestartPasses() const {
  return AutoActionThresholdPasses(GetAutoRestart(), ProcessExceptionTimes().Times(), CDSecondsNow());
}

bool TICDSettings::AutoClosePasses() const {
  return AutoActionThresholdPasses(GetAutoClose(), ProcessExceptionTimes().Times(), CDSecondsNow());
}

void TICDSettings::ReadVersionVar() {
  versionVar_.clear();
  std::string offsetText = Trim(GetRawStr("VersionVar"));
  int64_t offset = 0;
  if (offsetText.empty() || !TryStrToInt64(offsetText, offset) || offset == 0) return;

  // The setting names a variable (by its offset from the module's base) that
  // points to the version text. A wrong offset must not cost the program its
  // life, so both reads go through the checked copy.
  uintptr_t pointer = 0;
  if (!ReadOwnMemory(module_ + static_cast<uintptr_t>(offset), &pointer, sizeof pointer) ||
      pointer == 0)
    return;
  char buffer[kMaxVersionText];
  std::size_t got = ReadOwnMemoryPartly(pointer, buffer, sizeof buffer);
  const void* end = std::memchr(buffer, 0, got);
  // Without a terminator within reach the text is not trusted at all.
  if (!end) return;
  versionVar_.assign(static_cast<const char*>(buffer), static_cast<const char*>(end));
}
