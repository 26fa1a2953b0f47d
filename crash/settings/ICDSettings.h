// Typed access to one module's crash-report settings.
//
// Every module that carries a settings stream has its own property table, kept
// in the process-wide settings registry. A TICDSettings reads through its
// module's table and falls back to the executable's settings for properties
// that its own table lacks. Every setting of the key table can be read by its
// key (Get(CDKey::AutoSave)), by its named accessor (GetAutoSave()) or by its
// name (GetBool("AutoSave")); all three read the same entry. Each handled exception derives from TICDSettings and may change
// some values for itself only (see MakeOwnCopy).
//
// Reads take no lock: they happen while an exception is being handled, when
// another thread may hold anything. Building and releasing a table and the
// setters take the process-wide settings lock; change shared settings at
// start-up only, or on an own copy.
#pragma once

#include <cstdint>
#include <memory>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "crash/settings/CDClock.h"
#include "crash/settings/CDPropertyTable.h"
#include "crash/settings/CDSettingKeys.h"
#include "crash/settings/CDSettingsRegistry.h"
#include "crash/sys/CDModule.h"

// An additional attachment: file, the name it has in the mail, the archive
// it is packed into (empty: none) and the field name of an upload.
struct TCDAddAttach {
  std::string File, SendAs, Zip, Field;
};

// An additional report header field.
struct TCDAddField {
  std::string Name, Content;
};

// An assistant: its name, the title of its window and its pages in order.
struct TCDAssistant {
  std::string Name, Title;
  std::vector<std::string> Pages;
};

// What the exception filters decide for one exception.
struct TCDExceptionFlags {
  std::string Filter;  // "F1", "F2" or "Gn"
  bool CreateBugReport = true;
  bool CreateScreenShot = false;
  bool PauseThreads = false;
  bool CallHandlers = true;
  int32_t ShowMode = 0;  // 0 full box, 1 assistant, 2 small box with details, 3 small box
  std::string Assistant;
};

class ICDSettings {
 public:
  virtual ~ICDSettings() = default;

  // Typed access by key.
  bool Get(TCDBoolKey key) const { return GetBool(key.Name()); }
  int32_t Get(TCDIntKey key) const { return GetInt(key.Name()); }
  std::string Get(TCDTextKey key) const { return GetStr(key.Name()); }
  std::string Get(TCDFileNameKey key) const { return GetFileName(key.Name()); }
  void Set(TCDBoolKey key, bool value) { SetBool(key.Name(), value); }
  void Set(TCDIntKey key, int32_t value) { SetInt(key.Name(), value); }
  void Set(TCDTextKey key, const std::string& value) { SetStr(key.Name(), value); }
  void Set(TCDFileNameKey key, const std::string& value) { SetStr(key.Name(), value); }

  // One named getter and setter per setting of the key table.
#define PINMARK_CD_ACCESSORS_B(Name)                        \
  bool Get##Name() const { return Get(CDKey::Name); }       \
  void Set##Name(bool value) { Set(CDKey::Name, value); }
#define PINMARK_CD_ACCESSORS_I(Name)                        \
  int32_t Get##Name() const { return Get(CDKey::Name); }    \
  void Set##Name(int32_t value) { Set(CDKey::Name, value); }
#define PINMARK_CD_ACCESSORS_T(Name)                                   \
  std::string Get##Name() const { return Get(CDKey::Name); }           \
  void Set##Name(const std::string& value) { Set(CDKey::Name, value); }
  PINMARK_CD_SETTINGS(PINMARK_CD_ACCESSORS_B, PINMARK_CD_ACCESSORS_I, PINMARK_CD_ACCESSORS_T,
                      PINMARK_CD_ACCESSORS_T)
#undef PINMARK_CD_ACCESSORS_B
#undef PINMARK_CD_ACCESSORS_I
#undef PINMARK_CD_ACCESSORS_T

  // By name. Texts come back with their variables expanded.
  virtual bool GetBool(std::string_view name) const = 0;
  virtual int32_t GetInt(std::string_view name) const = 0;
  virtual uint32_t GetDword(std::string_view name) const = 0;
  virtual std::string GetStr(std::string_view name) const = 0;
  // A file name: the text with "%appname%" and "%modname%" turned into the
  // file names without extension, then its variables expanded.
  virtual std::string GetFileName(std::string_view name) const = 0;
  virtual void SetBool(std::string_view name, bool value) = 0;
  virtual void SetInt(std::string_view name, int32_t value) = 0;
  virtual void SetDword(std::string_view name, uint32_t value) = 0;
  virtual void SetStr(std::string_view name, const std::string& value) = 0;

  // True when the name is one of the "|"-separated items of Plugins (case
  // ignored); the setter adds or removes the item.
  virtual bool GetPlugin(std::string_view name) const = 0;
  virtual void SetPlugin(std::string_view name, bool enabled) = 0;

  virtual std::vector<TCDAddAttach> GetAddAttachList() const = 0;
  virtual std::vector<TCDAddField> GetAddFieldList() const = 0;
  // Assistant1, Assistant2, ... up to the first empty one.
  virtual std::vector<TCDAssistant> GetAssistants() const = 0;
  // The assistant of that name (case ignored); without a screenshot its
  // "ScrShotForm" page is left out.
  virtual bool FindAssistant(std::string_view name, TCDAssistant& assistant) const = 0;

  // Decides the per-exception flags from the exception's class names (its
  // own class first, then its ancestors).
  virtual TCDExceptionFlags EvaluateExceptionFilters(const std::vector<std::string>& classNames) const = 0;

  // Characters of the callstack checksum text that must agree for two
  // reports to be the same exception or freeze.
  virtual int DupExceptKeyLength() const = 0;
  virtual int DupFreezeKeyLength() const = 0;

  // Whether AutoRestart / AutoClose pass their thresholds now, over the
  // process's exception times.
  virtual bool AutoRestartPasses() const = 0;
  virtual bool AutoClosePasses() const = 0;
};

class TICDSettings : public ICDSettings {
 public:
  // The executable's settings.
  TICDSettings();
  explicit TICDSettings(TCDModuleHandle module);
  ~TICDSettings() override = default;
  TICDSettings(const TICDSettings&) = default;
  TICDSettings& operator=(const TICDSettings&) = default;

  TCDModuleHandle Module() const { return module_; }
  // The module has a settings table of its own.
  bool Valid() const { return table_ != nullptr; }
  // The text of the version variable (see VersionVar), or empty.
  const std::string& VersionVarText() const { return versionVar_; }

  // From now on this object reads and writes a private copy of its table, so
  // that its setters change nothing for anyone else.
  void MakeOwnCopy();
  // The entries of the private copy (empty without one): what this object
  // holds for itself, to be handed on to another process.
  std::vector<TCDProperty> OwnEntries() const;

  // Expands the variables that can be known at read time; "%exceptMsg%" and
  // "%bugReport%" are left for whoever knows them.
  std::string ExpandVars(std::string_view text) const;

  bool GetBool(std::string_view name) const override;
  int32_t GetInt(std::string_view name) const override;
  uint32_t GetDword(std::string_view name) const override;
  std::string GetStr(std::string_view name) const override;
  std::string GetFileName(std::string_view name) const override;
  void SetBool(std::string_view name, bool value) override;
  void SetInt(std::string_view name, int32_t value) override;
  void SetDword(std::string_view name, uint32_t value) override;
  void SetStr(std::string_view name, const std::string& value) override;

  bool GetPlugin(std::string_view name) const override;
  void SetPlugin(std::string_view name, bool enabled) override;
  std::vector<TCDAddAttach> GetAddAttachList() const override;
  std::vector<TCDAddField> GetAddFieldList() const override;
  std::vector<TCDAssistant> GetAssistants() const override;
  bool FindAssistant(std::string_view name, TCDAssistant& assistant) const override;
  TCDExceptionFlags EvaluateExceptionFilters(const std::vector<std::string>& classNames) const override;
  int DupExceptKeyLength() const override;
  int DupFreezeKeyLength() const override;
  bool AutoRestartPasses() const override;
  bool AutoClosePasses() const override;

 protected:
  // Whether a screenshot will be taken; an exception whose filter switched
  // the screenshot off answers false.
  virtual bool WillCreateScreenShot() const;

 private:
  const TCDProperty* Lookup(std::string_view name) const;
  std::string GetRawStr(std::string_view name) const;
  void Put(std::string_view name, const TCDProperty& value);
  void ReadVersionVar();

  TCDModuleHandle module_ = 0;
  std::shared_ptr<TCDPropertyTable> table_;
  // The executable's table, for properties that the own table lacks; null
  // when this is the executable's own settings.
  std::shared_ptr<const TCDPropertyTable> fallback_;
  bool ownCopy_ = false;
  std::string versionVar_;
};

// Characters of the callstack checksum text compared for a duplicate
// definition: 0 the first value (9), 1 the first two (20), 2 all three (31);
// any other definition compares all three.
int CallstackCrcKeyLength(int32_t definition);
