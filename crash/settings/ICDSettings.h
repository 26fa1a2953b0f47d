// Typed access to one module's crash-report settings.
//
// Every module that carries a settings stream has its own property table, kept
// in one process-wide list. A TICDSettings reads through its module's table
// and falls back to the executable's settings for properties that its own
// table lacks. Each handled exception derives from TICDSettings and may change
// some values for itself only (see MakeOwnCopy).
//
// Reads take no lock: they happen while an exception is being handled, when
// another thread may hold anything. Building and releasing a table and the
// setters take the process-wide settings lock; change shared settings at
// start-up only, or on an own copy.
#pragma once

#include <cstdint>
#include <exception>
#include <functional>
#include <memory>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "crash/sys/CDModule.h"
#include "crash/settings/CDPropertyTable.h"
#include "runtime/DateTime.h"

// Every setting with its type, in a fixed order: B Boolean, I integer,
// T text, F a file name (a text whose %appname% and %modname% become the
// file names without extension).
#define PINMARK_CD_SETTINGS(B, I, T, F)                                                                      \
  /* activation and behaviour */                                                                             \
  B(Enabled) B(NoSettings) B(CheckFileCrc) B(CheckFreeze) I(FreezeTimeout) B(AutoSave) B(AutoSaveIfNotSent) \
  B(AutoSend) B(AutoSendBox) B(AutoClip) B(PauseThreads) B(PlWaitBox) B(AutoContinue) I(AutoRestart)        \
  I(AutoClose) I(AutoDelay)                                                                                  \
  /* exception box buttons */                                                                                \
  B(SendBtnVis) B(SaveBtnVis) B(PrintBtnVis) B(ShowBtnVis) B(ContinueBtnVis) B(RestartBtnVis)                \
  B(CloseBtnVis) I(FocusedBtn) T(SendAssis) T(SaveAssis) T(PrintAssis) B(AutoShowBugRep) B(UglyBtns)        \
  /* mail and upload */                                                                                      \
  T(MailAddr) T(MailFrom) B(SendInBackgr) B(MailAsSmtpServer) B(MailAsSmtpClient) B(UploadViaHttp)          \
  B(MailViaMapi) B(MailViaMailto) T(SmtpServer) T(SmtpAccount) T(SmtpPassword) I(SmtpPort) T(HttpServer)    \
  T(HttpAccount) T(HttpPassword) I(HttpPort) T(MailSubj) T(MailBody)                                         \
  /* attachments */                                                                                          \
  B(AttachBugRep) B(AttachBugRepFile) B(DelBugRepFile) T(BugRepSendAs) T(BugRepZip) I(ScrShotDepth)         \
  B(ScrShotAppOnly) T(ScrShotSendAs) T(ScrShotZip) T(AddAttachs) T(AddFields)                                \
  /* bug-report file */                                                                                      \
  F(BugRepFile) B(AppendBugReps) I(BugRepFileSize) B(NoDupExcepts) B(NoDupFreezes) I(DupExceptDef)         \
  I(DupFreezeDef)                                                                                            \
  /* report contents */                                                                                      \
  B(ListThreads) B(CpuRegs) B(StackDump) B(ShowDisAsm) B(HideUglyItems) B(ShowRelAddrs) B(ShowRelLines)     \
  B(FormatDisAsm) I(LimitDisAsm) T(Plugins) T(MinDebugInfo) T(VersionVar)                                    \
  /* exception filters */                                                                                    \
  T(F1Classes) B(F1NoBugRep) B(F1NoScrShot) B(F1NoHandlers) B(F1NoSuspend) I(F1ShowCfg) T(F1Assis)          \
  T(F2Classes) B(F2NoBugRep) B(F2NoScrShot) B(F2NoHandlers) B(F2NoSuspend) I(F2ShowCfg) T(F2Assis)          \
  B(GnNoBugRep) B(GnNoScrShot) B(GnNoHandlers) B(GnNoSuspend) I(GnShowCfg) T(GnAssis)                       \
  /* texts */                                                                                                \
  T(TitleBar) T(ExceptMsg) T(FrozenMsg) T(BitFaultMsg) T(SendBtnTxt) T(SaveBtnTxt) T(PrintBtnTxt)           \
  T(ShowBtnTxt) T(ContinueBtnTxt) T(RestartBtnTxt) T(CloseBtnTxt) T(OkBtnTxt) T(DetailsBtnTxt)              \
  T(PlWaitTitle) T(PlWaitText) T(SendBoxTitle) T(PrepAttMsg) T(MxLookMsg) T(ConnMsg) T(AuthMsg)             \
  T(SendMailMsg) T(FieldMsg) T(SendAttMsg) T(SendFinalMsg) T(SendFailMsg)

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

#define PINMARK_CD_DECLARE_B(Name) \
  virtual bool Get##Name() const = 0; \
  virtual void Set##Name(bool value) = 0;
#define PINMARK_CD_DECLARE_I(Name)       \
  virtual int32_t Get##Name() const = 0; \
  virtual void Set##Name(int32_t value) = 0;
#define PINMARK_CD_DECLARE_T(Name)           \
  virtual std::string Get##Name() const = 0; \
  virtual void Set##Name(const std::string& value) = 0;
  PINMARK_CD_SETTINGS(PINMARK_CD_DECLARE_B, PINMARK_CD_DECLARE_I, PINMARK_CD_DECLARE_T, PINMARK_CD_DECLARE_T)
#undef PINMARK_CD_DECLARE_B
#undef PINMARK_CD_DECLARE_I
#undef PINMARK_CD_DECLARE_T

  // By name. Texts come back with their variables expanded.
  virtual bool GetBool(std::string_view name) const = 0;
  virtual int32_t GetInt(std::string_view name) const = 0;
  virtual uint32_t GetDword(std::string_view name) const = 0;
  virtual std::string GetStr(std::string_view name) const = 0;
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

  // Expands the variables that can be known at read time; "%exceptMsg%" and
  // "%bugReport%" are left for whoever knows them.
  std::string ExpandVars(std::string_view text) const;

#define PINMARK_CD_IMPLEMENT_B(Name)                                   \
  bool Get##Name() const override { return GetBool(#Name); }          \
  void Set##Name(bool value) override { SetBool(#Name, value); }
#define PINMARK_CD_IMPLEMENT_I(Name)                                   \
  int32_t Get##Name() const override { return GetInt(#Name); }        \
  void Set##Name(int32_t value) override { SetInt(#Name, value); }
#define PINMARK_CD_IMPLEMENT_T(Name)                                           \
  std::string Get##Name() const override { return GetStr(#Name); }            \
  void Set##Name(const std::string& value) override { SetStr(#Name, value); }
#define PINMARK_CD_IMPLEMENT_F(Name)                                           \
  std::string Get##Name() const override { return GetFileName(#Name); }       \
  void Set##Name(const std::string& value) override { SetStr(#Name, value); }
  PINMARK_CD_SETTINGS(PINMARK_CD_IMPLEMENT_B, PINMARK_CD_IMPLEMENT_I, PINMARK_CD_IMPLEMENT_T,
                      PINMARK_CD_IMPLEMENT_F)
#undef PINMARK_CD_IMPLEMENT_B
#undef PINMARK_CD_IMPLEMENT_I
#undef PINMARK_CD_IMPLEMENT_T
#undef PINMARK_CD_IMPLEMENT_F

  bool GetBool(std::string_view name) const override;
  int32_t GetInt(std::string_view name) const override;
  uint32_t GetDword(std::string_view name) const override;
  std::string GetStr(std::string_view name) const override;
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
  std::string GetFileName(std::string_view name) const;
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

// (Re)builds a module's table from a settings stream under the settings lock.
// A damaged stream is reported in a box captioned "crashDesk"; a stream
// without the header leaves the module without a table. Returns whether the
// module has a table now. Objects made earlier keep the table they had.
bool LoadModuleSettings(TCDModuleHandle module, std::span<const uint8_t> stream);
// Builds the executable's table from its "TCRASHREPORTER" resource, unless
// that was done already; call it before the first exception can be handled.
void InitMainModuleSettings();
// Forgets a module's table (a library being unloaded).
void ReleaseModuleSettings(TCDModuleHandle module);

// The local clock used for %date%, %time% and %datetime%; replaceable so that
// tests can fix the time. An empty function restores the real clock. Returns
// the previous clock (empty for the real one).
using TCDClock = std::function<TDateTime()>;
TCDClock SetCDClock(TCDClock clock);

// Characters of the callstack checksum text compared for a duplicate
// definition: 0 the first value (9), 1 the first two (20), 2 all three (31);
// any other definition compares all three.
int CallstackCrcKeyLength(int32_t definition);

// The class names the filters see: for a program exception its class and
// every ancestor, for anything else its own (demangled) type name.
std::vector<std::string> ExceptionClassNames(const std::exception& e);
