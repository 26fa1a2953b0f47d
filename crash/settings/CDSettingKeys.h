// The one table of the crash reporter's settings: every setting's name and
// type, in a fixed order, and a typed key per setting. Code asks for a
// setting by its key (settings.Get(CDKey::AutoSave)) or through the named
// accessor (settings.GetAutoSave()); both read the same entry of the table,
// and the key's type decides what comes back.
//
// Plain constants and pure functions; safe anywhere, signal handlers included.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string_view>

// Every setting with its type: B Boolean, I integer, T text, F a file name (a
// text whose %appname% and %modname% become the file names without
// extension). The assistants (Assistant1, Assistant2, ...) are numbered
// without end and are read by name.
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

enum class TCDSettingType : uint8_t { Bool, Int, Text, FileName };

// One enumerator per setting, in table order.
enum class TCDSetting : uint16_t {
#define PINMARK_CD_ENUM(Name) Name,
  PINMARK_CD_SETTINGS(PINMARK_CD_ENUM, PINMARK_CD_ENUM, PINMARK_CD_ENUM, PINMARK_CD_ENUM)
#undef PINMARK_CD_ENUM
};

struct TCDSettingInfo {
  std::string_view Name;
  TCDSettingType Type;
};

inline constexpr TCDSettingInfo CDSettingTable[] = {
#define PINMARK_CD_INFO_B(Name) {#Name, TCDSettingType::Bool},
#define PINMARK_CD_INFO_I(Name) {#Name, TCDSettingType::Int},
#define PINMARK_CD_INFO_T(Name) {#Name, TCDSettingType::Text},
#define PINMARK_CD_INFO_F(Name) {#Name, TCDSettingType::FileName},
    PINMARK_CD_SETTINGS(PINMARK_CD_INFO_B, PINMARK_CD_INFO_I, PINMARK_CD_INFO_T, PINMARK_CD_INFO_F)
#undef PINMARK_CD_INFO_B
#undef PINMARK_CD_INFO_I
#undef PINMARK_CD_INFO_T
#undef PINMARK_CD_INFO_F
};
inline constexpr std::size_t CDSettingCount = std::size(CDSettingTable);

constexpr const TCDSettingInfo& CDSettingInfo(TCDSetting setting) {
  return CDSettingTable[static_cast<std::size_t>(setting)];
}

// The setting of that name (case ignored), if it is one of the table.
std::optional<TCDSetting> FindCDSetting(std::string_view name);

// A setting's key carries its type, so that typed access returns the right
// kind of value without a cast.
template <TCDSettingType Type>
struct TCDKey {
  TCDSetting Setting;
  constexpr std::string_view Name() const { return CDSettingInfo(Setting).Name; }
};
using TCDBoolKey = TCDKey<TCDSettingType::Bool>;
using TCDIntKey = TCDKey<TCDSettingType::Int>;
using TCDTextKey = TCDKey<TCDSettingType::Text>;
using TCDFileNameKey = TCDKey<TCDSettingType::FileName>;

namespace CDKey {
#define PINMARK_CD_KEY_B(Name) inline constexpr TCDBoolKey Name{TCDSetting::Name};
#define PINMARK_CD_KEY_I(Name) inline constexpr TCDIntKey Name{TCDSetting::Name};
#define PINMARK_CD_KEY_T(Name) inline constexpr TCDTextKey Name{TCDSetting::Name};
#define PINMARK_CD_KEY_F(Name) inline constexpr TCDFileNameKey Name{TCDSetting::Name};
PINMARK_CD_SETTINGS(PINMARK_CD_KEY_B, PINMARK_CD_KEY_I, PINMARK_CD_KEY_T, PINMARK_CD_KEY_F)
#undef PINMARK_CD_KEY_B
#undef PINMARK_CD_KEY_I
#undef PINMARK_CD_KEY_T
#undef PINMARK_CD_KEY_F
}  // namespace CDKey
