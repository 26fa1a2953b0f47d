#include "crash/settings/ICDSettings.h"

#include <cxxabi.h>
#include <sys/uio.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <typeinfo>

#include "crash/settings/CDExceptionTimes.h"
#include "crash/settings/CDMessageBox.h"
#include "runtime/Resources.h"
#include "runtime/SysUtils.h"

namespace {

// ---- the process-wide list of module tables ----

struct TModuleEntry {
  TCDModuleHandle Module = 0;
  std::shared_ptr<TCDPropertyTable> Table;  // null: the module has no settings
};

struct TModuleList {
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

TModuleList& Modules() {
  static TModuleList list;
  return list;
}

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

// ---- the clock ----

std::mutex& ClockLock() {
  static std::mutex lock;
  return lock;
}
TCDClock& Clock() {
  static TCDClock clock;
  return clock;
}
TDateTime ReadClock() {
  TCDClock clock;
  {
    std::lock_guard<std::mutex> guard(ClockLock());
    clock = Clock();
  }
  return clock ? clock() : Now();
}

// ---- text helpers ----

std::string NameWithoutExt(const std::string& fileName) { return ChangeFileExt(fileName, ""); }

// ---- reading our own memory without risking a fault ----

// Copies from an address of this process; fewer bytes (or none) come back
// where the memory cannot be read. Reads stay within one page at a time, so
// that a readable start is never lost to an unreadable end.
std::size_t ReadOwnMemory(uintptr_t address, void* buffer, std::size_t size) {
  static const std::size_t pageSize = static_cast<std::size_t>(sysconf(_SC_PAGESIZE));
  std::size_t done = 0;
  while (done < size) {
    uintptr_t at = address + done;
    if (at < address) break;  // wrapped round
    std::size_t chunk = std::min(size - done, pageSize - at % pageSize);
    iovec local{static_cast<char*>(buffer) + done, chunk};
    iovec remote{reinterpret_cast<void*>(at), chunk};
    ssize_t n = process_vm_readv(getpid(), &local, 1, &remote, 1, 0);
    if (n != static_cast<ssize_t>(chunk)) break;
    done += chunk;
  }
  return done;
}

constexpr std::size_t kMaxVersionText = 1024;

}  // namespace

// ---- module list operations ----

bool LoadModuleSettings(TCDModuleHandle module, std::span<const uint8_t> stream) {
  std::string boxText;
  std::shared_ptr<TCDPropertyTable> table = BuildTable(stream, boxText);
  bool valid = table != nullptr;
  {
    std::lock_guard<std::mutex> guard(Modules().Lock);
    Modules().Set(module, std::move(table));
  }
  // Outside the lock: the box may stay open for a long time.
  ShowInvalidResource(boxText);
  return valid;
}

void InitMainModuleSettings() {
  std::string boxText;
  {
    std::lock_guard<std::mutex> guard(Modules().Lock);
    if (Modules().Find(MainModuleHandle())) return;
    Modules().Set(MainModuleHandle(), BuildTable(FindResource("RCDATA", "TCRASHREPORTER"), boxText));
  }
  ShowInvalidResource(boxText);
}

void ReleaseModuleSettings(TCDModuleHandle module) {
  std::lock_guard<std::mutex> guard(Modules().Lock);
  auto& entries = Modules().Entries;
  entries.erase(std::remove_if(entries.begin(), entries.end(), [&](const TModuleEntry& e) { return e.Module == module; }),
                entries.end());
}

TCDClock SetCDClock(TCDClock clock) {
  std::lock_guard<std::mutex> guard(ClockLock());
  TCDClock previous = std::move(Clock());
  Clock() = std::move(clock);
  return previous;
}

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

std::vector<std::string> ExceptionClassNames(const std::exception& e) {
  if (const auto* own = dynamic_cast<const Exception*>(&e)) return own->ClassAncestry();
  const char* mangled = typeid(e).name();
  int status = 0;
  char* demangled = abi::__cxa_demangle(mangled, nullptr, nullptr, &status);
  std::string name = status == 0 && demangled ? demangled : mangled;
  std::free(demangled);
  return {name};
}

// ---- TICDSettings ----

TICDSettings::TICDSettings() : TICDSettings(MainModuleHandle()) {}

TICDSettings::TICDSettings(TCDModuleHandle module) : module_(module) {
  const TCDModuleHandle main = MainModuleHandle();
  InitMainModuleSettings();
  {
    std::lock_guard<std::mutex> guard(Modules().Lock);
    if (TModuleEntry* own = Modules().Find(module_)) table_ = own->Table;
    if (module_ != main)
      if (TModuleEntry* exe = Modules().Find(main)) fallback_ = exe->Table;
  }
  ReadVersionVar();
}

void TICDSettings::MakeOwnCopy() {
  if (ownCopy_) return;
  std::lock_guard<std::mutex> guard(Modules().Lock);
  table_ = table_ ? std::make_shared<TCDPropertyTable>(*table_) : std::make_shared<TCDPropertyTable>();
  ownCopy_ = true;
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
  std::lock_guard<std::mutex> guard(Modules().Lock);
  if (!table_) {
    // The module had no settings: it gets a table of its own that every
    // later TICDSettings of the module shares.
    table_ = std::make_shared<TCDPropertyTable>();
    Modules().Set(module_, table_);
  }
  table_->Put(name, value);
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
  if (text.find('%') == std::string_view::npos) return std::string(text);

  // One pass from left to right, so that a replacement (an executable called
  // "%date%", say) is never expanded a second time.
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
      now = ReadClock();
      haveClock = true;
    }
  };
  auto date = [&] { return IsoDateText(now); };
  auto time = [&] { return TimeWithMsText(now); };

  std::string out;
  out.reserve(text.size());
  std::size_t i = 0;
  while (i < text.size()) {
    if (text[i] != '%') {
      out += text[i++];
      continue;
    }
    std::size_t close = text.find('%', i + 1);
    if (close == std::string_view::npos) {
      out.append(text.substr(i));
      break;
    }
    std::string_view var = text.substr(i + 1, close - i - 1);
    if (SameText(var, "appname")) {
      names();
      out += appName;
    } else if (SameText(var, "modname")) {
      names();
      out += modName;
    } else if (SameText(var, "LF")) {
      out += "\r\n";
    } else if (SameText(var, "date")) {
      clock();
      out += date();
    } else if (SameText(var, "time")) {
      clock();
      out += time();
    } else if (SameText(var, "datetime")) {
      clock();
      out += date() + ", " + time();
    } else {
      // Not a variable of ours (or one expanded later): keep the "%" and look
      // again from the next one, which may open a variable.
      out += '%';
      i += 1;
      continue;
    }
    i = close + 1;
  }
  return out;
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
  if (ReadOwnMemory(module_ + static_cast<uintptr_t>(offset), &pointer, sizeof pointer) != sizeof pointer ||
      pointer == 0)
    return;
  char buffer[kMaxVersionText];
  std::size_t got = ReadOwnMemory(pointer, buffer, sizeof buffer);
  const void* end = std::memchr(buffer, 0, got);
  // Without a terminator within reach the text is not trusted at all.
  if (!end) return;
  versionVar_.assign(static_cast<const char*>(buffer), static_cast<const char*>(end));
}
