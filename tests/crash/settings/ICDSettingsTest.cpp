#include "crash/settings/ICDSettings.h"

#include <gtest/gtest.h>

#include <stdexcept>
#include <variant>

#include "crash/settings/CDMessageBox.h"
#include "crash/handling/CDClassNames.h"
#include "runtime/Resources.h"
#include "runtime/SysUtils.h"
#include "tests/crash/settings/StreamBuilder.h"

namespace {

PINMARK_EXCEPTION_CLASS(EMaskRefused, EDBEditError);
PINMARK_EXCEPTION_CLASS(ETransferFailed, Exception);

std::span<const uint8_t> RealStream() { return FindResource("RCDATA", "TCRASHREPORTER"); }

// Captures the boxes and puts the executable's settings back after each test.
class CrashSettings : public ::testing::Test {
 protected:
  struct Box {
    std::string caption, text;
    TCDMsgIcon icon;
  };
  void SetUp() override {
    SetCDMessageBoxHook([this](const std::string& c, const std::string& t, TCDMsgIcon i) { boxes.push_back({c, t, i}); });
  }
  void TearDown() override {
    SetCDMessageBoxHook(nullptr);
    SetCDClock(nullptr);
    LoadModuleSettings(MainModuleHandle(), RealStream());
    for (TCDModuleHandle m : {kPlugin, kBare}) ReleaseModuleSettings(m);
  }
  std::vector<Box> boxes;
  // Handles of modules that do not exist: their settings are all we need.
  static constexpr TCDModuleHandle kPlugin = 0x10000, kBare = 0x20000;
};

using Value = std::variant<bool, int32_t, std::string>;
struct Expected {
  const char* name;
  Value value;
};

// This program's settings as its documentation gives them.
const Expected kStored[] = {
    {"Enabled", true}, {"NoSettings", false}, {"CheckFileCrc", true}, {"CheckFreeze", false},
    {"FreezeTimeout", 60000}, {"AutoSave", true}, {"AutoSaveIfNotSent", true}, {"AutoSend", false},
    {"AutoSendBox", false}, {"AutoClip", false}, {"PauseThreads", false}, {"PlWaitBox", true},
    {"AutoContinue", false}, {"AutoRestart", 0}, {"AutoClose", 0},
    {"SendBtnVis", true}, {"SaveBtnVis", false}, {"PrintBtnVis", false}, {"ShowBtnVis", true},
    {"ContinueBtnVis", true}, {"RestartBtnVis", true}, {"CloseBtnVis", true}, {"FocusedBtn", 0},
    {"SendAssis", "SendAssistant"}, {"SaveAssis", "SaveAssistant"}, {"PrintAssis", "PrintAssistant"},
    {"AutoShowBugRep", false}, {"UglyBtns", false},
    {"MailAddr", "Pinmark Support <support@pinmark.example>"}, {"SendInBackgr", true},
    {"MailAsSmtpServer", false}, {"MailAsSmtpClient", false}, {"UploadViaHttp", false}, {"MailViaMapi", true},
    {"MailViaMailto", true}, {"SmtpServer", ""}, {"SmtpAccount", ""}, {"SmtpPassword", ""}, {"SmtpPort", 25},
    {"HttpServer", ""}, {"HttpAccount", ""}, {"HttpPassword", ""}, {"HttpPort", 80}, {"MailSubj", "bug report"},
    {"MailBody", "please find the bug report attached"},
    {"AttachBugRep", true}, {"AttachBugRepFile", true}, {"DelBugRepFile", true}, {"BugRepSendAs", "bugreport.txt"},
    {"BugRepZip", ""}, {"ScrShotDepth", 0}, {"ScrShotAppOnly", false}, {"ScrShotSendAs", "screenshot.png"},
    {"ScrShotZip", ""}, {"AddAttachs", ""},
    {"BugRepFile", "bugreport.txt"}, {"AppendBugReps", true}, {"BugRepFileSize", 100000}, {"NoDupExcepts", true},
    {"NoDupFreezes", true}, {"DupExceptDef", 1}, {"DupFreezeDef", 2},
    {"ListThreads", true}, {"CpuRegs", true}, {"StackDump", true}, {"ShowDisAsm", true}, {"HideUglyItems", false},
    {"ShowRelAddrs", true}, {"ShowRelLines", true}, {"FormatDisAsm", false}, {"LimitDisAsm", 5},
    {"Plugins", "modules|processes|hardware"},
    {"F1Classes", "EDBEditError"}, {"F1NoBugRep", true}, {"F1NoScrShot", true}, {"F1NoHandlers", true},
    {"F1NoSuspend", true}, {"F1ShowCfg", 3}, {"F1Assis", ""},
    {"F2Classes", ""}, {"F2NoBugRep", false}, {"F2NoScrShot", false}, {"F2NoHandlers", false},
    {"F2NoSuspend", false}, {"F2ShowCfg", 0}, {"F2Assis", ""},
    {"GnNoBugRep", false}, {"GnNoScrShot", false}, {"GnNoHandlers", false}, {"GnNoSuspend", false},
    {"GnShowCfg", 0}, {"GnAssis", ""},
    {"Assistant1", "SendAssistant|Send Assistant|ContactForm|DetailsForm|ScrShotForm"},
    {"Assistant2", "SaveAssistant|Save Assistant|ContactForm|DetailsForm"},
    {"Assistant3", "PrintAssistant|Print Assistant|ContactForm|DetailsForm"},
    {"TitleBar", "%appname%"}, {"ExceptMsg", "An error occurred in the application."},
    {"FrozenMsg", "The application seems to be frozen."}, {"BitFaultMsg", "The file \"%modname%\" seems to be corrupt!"},
    {"SendBtnTxt", "send bug report"}, {"SaveBtnTxt", "save bug report"}, {"PrintBtnTxt", "print bug report"},
    {"ShowBtnTxt", "show bug report"}, {"ContinueBtnTxt", "continue application"},
    {"RestartBtnTxt", "restart application"}, {"CloseBtnTxt", "close application"}, {"OkBtnTxt", "&OK"},
    {"DetailsBtnTxt", "&Details"}, {"PlWaitTitle", "Information"}, {"PlWaitText", "Please wait a moment..."},
    {"SendBoxTitle", "Sending bug report..."}, {"PrepAttMsg", "Preparing attachments..."},
    {"MxLookMsg", "Searching for mail server..."}, {"ConnMsg", "Connecting to server..."},
    {"AuthMsg", "Authentication..."}, {"SendMailMsg", "Sending mail..."}, {"FieldMsg", "Setting fields..."},
    {"SendAttMsg", "Sending attachments..."}, {"SendFinalMsg", "Finalizing..."},
    {"SendFailMsg", "Sorry, sending the bug report didn't work."},
};

TEST_F(CrashSettings, TheEmbeddedStreamReadsBackEveryValueWithItsType) {
  TCDPropertyTable table;
  ASSERT_EQ(table.LoadFromStream(RealStream()).Status, TCDStreamStatus::Complete);
  EXPECT_EQ(table.Count(), static_cast<int>(std::size(kStored)));
  for (const Expected& e : kStored) {
    const TCDProperty* p = table.Find(e.name);
    ASSERT_NE(p, nullptr) << e.name;
    EXPECT_EQ(p->Name, e.name);
    if (auto* b = std::get_if<bool>(&e.value)) {
      EXPECT_EQ(p->Kind, TCDPropKind::Boolean) << e.name;
      EXPECT_EQ(p->BoolValue, *b) << e.name;
    } else if (auto* i = std::get_if<int32_t>(&e.value)) {
      EXPECT_EQ(p->Kind, TCDPropKind::Integer) << e.name;
      EXPECT_EQ(p->IntValue, *i) << e.name;
    } else {
      EXPECT_EQ(p->Kind, TCDPropKind::Text) << e.name;
      EXPECT_EQ(p->TextValue, std::get<std::string>(e.value)) << e.name;
    }
  }
  for (const char* notStored : {"AutoDelay", "MailFrom", "AddFields", "MinDebugInfo", "VersionVar", "Assistant4"})
    EXPECT_EQ(table.Find(notStored), nullptr) << notStored;
}

TEST_F(CrashSettings, TheKeyTableKnowsEveryStoredSettingWithTheTypeItIsStoredAs) {
  TICDSettings s;
  for (const Expected& e : kStored) {
    std::optional<TCDSetting> key = FindCDSetting(LowerCase(e.name));
    if (StartsText("Assistant", e.name)) {
      EXPECT_FALSE(key) << e.name;  // numbered without end: read by name
      continue;
    }
    ASSERT_TRUE(key) << e.name;
    const TCDSettingInfo& info = CDSettingInfo(*key);
    EXPECT_EQ(info.Name, e.name);
    if (std::holds_alternative<bool>(e.value)) {
      EXPECT_EQ(info.Type, TCDSettingType::Bool) << e.name;
    } else if (std::holds_alternative<int32_t>(e.value)) {
      EXPECT_EQ(info.Type, TCDSettingType::Int) << e.name;
    } else {
      EXPECT_TRUE(info.Type == TCDSettingType::Text || info.Type == TCDSettingType::FileName) << e.name;
    }
  }
  EXPECT_FALSE(FindCDSetting("NoSuchSetting"));
  // Key, named accessor and name read the same entry.
  EXPECT_EQ(s.Get(CDKey::LimitDisAsm), 5);
  s.MakeOwnCopy();
  s.Set(CDKey::BugRepFile, "%appname%.log");
  EXPECT_EQ(s.GetBugRepFile(), ChangeFileExt(ExtractFileName(ApplicationExeName()), "") + ".log");
  EXPECT_EQ(s.GetStr("BugRepFile"), ExtractFileName(ApplicationExeName()) + ".log");
}

TEST_F(CrashSettings, TypedGettersReadTheExecutablesSettings) {
  TICDSettings s;
  EXPECT_TRUE(s.Valid());
  EXPECT_TRUE(boxes.empty());
  EXPECT_FALSE(s.GetSaveBtnVis());
  EXPECT_EQ(s.GetBugRepFileSize(), 100000);
  EXPECT_EQ(s.GetSendFailMsg(), "Sorry, sending the bug report didn't work.");
  EXPECT_EQ(s.GetTitleBar(), ExtractFileName(ApplicationExeName()));
  EXPECT_EQ(s.GetBitFaultMsg(), "The file \"" + ExtractFileName(ApplicationExeName()) + "\" seems to be corrupt!");
  // Not stored: False, 0 or empty.
  EXPECT_EQ(s.GetAutoDelay(), 0);
  EXPECT_EQ(s.GetMailFrom(), "");
  EXPECT_EQ(s.VersionVarText(), "");
  // How much of the callstack checksum text must agree for duplicates.
  EXPECT_EQ(s.DupExceptKeyLength(), 20);
  EXPECT_EQ(s.DupFreezeKeyLength(), 31);
  EXPECT_EQ(CallstackCrcKeyLength(0), 9);
}

TEST_F(CrashSettings, PluginQueryIgnoresCaseAndTheSetterAddsOrRemovesItems) {
  TICDSettings s;
  EXPECT_TRUE(s.GetPlugin("Processes"));
  EXPECT_TRUE(s.GetPlugin("MODULES"));
  EXPECT_TRUE(s.GetPlugin("hardware"));
  EXPECT_FALSE(s.GetPlugin("module"));
  EXPECT_FALSE(s.GetPlugin(""));

  s.MakeOwnCopy();
  s.SetPlugin("threads", true);
  s.SetPlugin("Threads", true);
  EXPECT_EQ(s.GetPlugins(), "modules|processes|hardware|threads");
  s.SetPlugin("PROCESSES", false);
  EXPECT_EQ(s.GetPlugins(), "modules|hardware|threads");
  EXPECT_FALSE(s.GetPlugin("processes"));
  // The own copy changed nothing for the rest of the program.
  EXPECT_TRUE(TICDSettings().GetPlugin("processes"));
}

TEST_F(CrashSettings, AssistantsLoseTheScreenshotPageWhenNoScreenshotIsTaken) {
  TICDSettings s;
  auto all = s.GetAssistants();
  ASSERT_EQ(all.size(), 3u);
  EXPECT_EQ(all[2].Name, "PrintAssistant");

  TCDAssistant a;
  ASSERT_TRUE(s.FindAssistant("sendassistant", a));
  EXPECT_EQ(a.Name, "SendAssistant");
  EXPECT_EQ(a.Title, "Send Assistant");
  EXPECT_EQ(a.Pages, (std::vector<std::string>{"ContactForm", "DetailsForm"}));
  ASSERT_TRUE(s.FindAssistant(s.GetSaveAssis(), a));
  EXPECT_EQ(a.Title, "Save Assistant");
  EXPECT_FALSE(s.FindAssistant("NoSuchAssistant", a));
  EXPECT_FALSE(s.FindAssistant("", a));

  s.MakeOwnCopy();
  s.SetScrShotDepth(24);
  ASSERT_TRUE(s.FindAssistant("SendAssistant", a));
  EXPECT_EQ(a.Pages, (std::vector<std::string>{"ContactForm", "DetailsForm", "ScrShotForm"}));
}

TEST_F(CrashSettings, ExceptionFiltersChooseTheFirstMatchingFilterByClassOrAncestor) {
  TICDSettings s;
  s.MakeOwnCopy();
  s.SetPauseThreads(true);
  s.SetScrShotDepth(24);
  s.SetF2Classes(" ESocketError , etransferfailed ");
  s.SetF2ShowCfg(2);
  s.SetF2NoScrShot(true);
  s.SetF2Assis("SaveAssistant");

  struct Case {
    const char* what;
    std::vector<std::string> classes;
    const char* filter;
    bool report, screenshot, pause, handlers;
    int show;
    const char* assistant;
  } cases[] = {
      {"derived from EDBEditError", ExceptionClassNames(EMaskRefused("mask")), "F1", false, false, false, false, 3, ""},
      {"EDBEditError in other case", {"edbediterror"}, "F1", false, false, false, false, 3, ""},
      {"F2 by its own class", ExceptionClassNames(ETransferFailed("x")), "F2", true, false, true, true, 2,
       "SaveAssistant"},
      {"F1 wins over F2", {"ETransferFailed", "EDBEditError"}, "F1", false, false, false, false, 3, ""},
      {"no filter matches", ExceptionClassNames(EConvertError("x")), "Gn", true, true, true, true, 0, ""},
      {"foreign exception", ExceptionClassNames(std::runtime_error("x")), "Gn", true, true, true, true, 0, ""},
      {"no names at all", {}, "Gn", true, true, true, true, 0, ""},
  };
  for (const Case& c : cases) {
    TCDExceptionFlags f = s.EvaluateExceptionFilters(c.classes);
    EXPECT_EQ(f.Filter, c.filter) << c.what;
    EXPECT_EQ(f.CreateBugReport, c.report) << c.what;
    EXPECT_EQ(f.CreateScreenShot, c.screenshot) << c.what;
    EXPECT_EQ(f.PauseThreads, c.pause) << c.what;
    EXPECT_EQ(f.CallHandlers, c.handlers) << c.what;
    EXPECT_EQ(f.ShowMode, c.show) << c.what;
    EXPECT_EQ(f.Assistant, c.assistant) << c.what;
  }
  EXPECT_EQ(ExceptionClassNames(std::runtime_error("x")), std::vector<std::string>{"std::runtime_error"});
}

TEST_F(CrashSettings, TheProgramsOwnSettingsGiveEDBEditErrorTheQuietestTreatment) {
  TCDExceptionFlags f = TICDSettings().EvaluateExceptionFilters(ExceptionClassNames(EMaskRefused("mask")));
  EXPECT_FALSE(f.CreateBugReport);
  EXPECT_FALSE(f.CreateScreenShot);
  EXPECT_FALSE(f.CallHandlers);
  EXPECT_FALSE(f.PauseThreads);
  EXPECT_EQ(f.ShowMode, 3);
  TCDExceptionFlags g = TICDSettings().EvaluateExceptionFilters(ExceptionClassNames(ETransferFailed("x")));
  EXPECT_EQ(g.Filter, "Gn");
  EXPECT_TRUE(g.CreateBugReport);
  EXPECT_FALSE(g.CreateScreenShot);  // ScrShotDepth is 0
  EXPECT_EQ(g.ShowMode, 0);
}

TEST_F(CrashSettings, AModuleFallsBackToTheExecutableForWhatItsTableLacks) {
  ASSERT_TRUE(LoadModuleSettings(
      kPlugin,
      StreamBuilder().Header().TextProp("ExceptMsg", "plug-in failed").Prop("Enabled", 8).End().bytes));
  TICDSettings plugin(kPlugin);
  EXPECT_TRUE(plugin.Valid());
  EXPECT_EQ(plugin.GetExceptMsg(), "plug-in failed");
  EXPECT_FALSE(plugin.GetEnabled());                     // its own value wins
  EXPECT_EQ(plugin.GetSendBtnTxt(), "send bug report");  // the executable's
  EXPECT_EQ(plugin.GetInt("NoSuchSetting"), 0);

  TICDSettings bare(kBare);  // a module without settings of its own
  EXPECT_FALSE(bare.Valid());
  EXPECT_TRUE(bare.GetEnabled());
  EXPECT_EQ(bare.GetFreezeTimeout(), 60000);

  // A module's setters reach every later reader of that module, nobody else.
  bare.SetFreezeTimeout(5000);
  EXPECT_EQ(TICDSettings(kBare).GetFreezeTimeout(), 5000);
  EXPECT_EQ(TICDSettings().GetFreezeTimeout(), 60000);
  EXPECT_TRUE(boxes.empty());
}

TEST_F(CrashSettings, WithoutATableEveryGetterReadsFalseZeroOrEmpty) {
  for (auto bytes : {std::vector<uint8_t>{}, StreamBuilder().Raw("TPF0").Short("TForm").Short("crashDesk").End().bytes}) {
    EXPECT_FALSE(LoadModuleSettings(MainModuleHandle(), bytes));
    TICDSettings s;
    EXPECT_FALSE(s.Valid());
    for (const Expected& e : kStored) {
      EXPECT_FALSE(s.GetBool(e.name)) << e.name;
      EXPECT_EQ(s.GetInt(e.name), 0) << e.name;
      EXPECT_EQ(s.GetStr(e.name), "") << e.name;
    }
    EXPECT_TRUE(s.GetAssistants().empty());
    EXPECT_FALSE(s.GetPlugin("processes"));
    // Another module has nothing to fall back on either.
    EXPECT_EQ(TICDSettings(kBare).GetExceptMsg(), "");
  }
  EXPECT_TRUE(boxes.empty());
}

TEST_F(CrashSettings, ADamagedStreamIsReportedInABoxAndKeepsWhatCameBeforeIt) {
  EXPECT_TRUE(LoadModuleSettings(
      MainModuleHandle(),
      StreamBuilder().Header().IntProp("FreezeTimeout", 1234).Prop("Odd", 0x1C).TextProp("ExceptMsg", "x").End().bytes));
  ASSERT_EQ(boxes.size(), 1u);
  EXPECT_EQ(boxes[0].caption, "crashDesk");
  EXPECT_EQ(boxes[0].text, "Internal error: Invalid settings resource ($1c).");
  TICDSettings s;
  EXPECT_EQ(s.GetFreezeTimeout(), 1234);
  EXPECT_EQ(s.GetExceptMsg(), "");

  boxes.clear();
  EXPECT_TRUE(LoadModuleSettings(MainModuleHandle(),
                                 StreamBuilder().Header().Prop("MailAddr", 12).Int(0x7FFFFFFF, 4).Raw("x").bytes));
  ASSERT_EQ(boxes.size(), 1u);
  EXPECT_EQ(boxes[0].text, "Internal error: Invalid settings resource (truncated).");
}

TEST_F(CrashSettings, VariablesExpandAtReadTimeFromTheClockIgnoringCase) {
  SetCDClock([] { return EncodeDate(2024, 2, 9) + EncodeTime(7, 5, 3, 45); });
  const std::string app = ExtractFileName(ApplicationExeName());
  TICDSettings s;
  struct Case {
    const char* text;
    std::string expanded;
  } cases[] = {
      {"%date%", "2024-02-09"},
      {"%time%", "07:05:03, 45ms"},
      {"%DateTime%", "2024-02-09, 07:05:03, 45ms"},
      {"a%LF%b%lf%", "a\r\nb\r\n"},
      {"%APPNAME% / %modname%", app + " / " + app},
      {"%exceptMsg% and %bugReport% stay", "%exceptMsg% and %bugReport% stay"},
      {"100% sure", "100% sure"},
      {"%%date%", "%2024-02-09"},
      {"%other%date%", "%other2024-02-09"},
      {"%date", "%date"},
      {"", ""},
  };
  for (const Case& c : cases) EXPECT_EQ(s.ExpandVars(c.text), c.expanded) << c.text;

  SetCDClock([] { return EncodeDate(1999, 12, 31) + EncodeTime(23, 59, 59, 0); });
  EXPECT_EQ(s.ExpandVars("%datetime%"), "1999-12-31, 23:59:59, 0ms");

  // Text getters expand; the stored text keeps its variables.
  s.MakeOwnCopy();
  s.SetMailSubj("bug report of %appname% at %time%");
  EXPECT_EQ(s.GetMailSubj(), "bug report of " + app + " at 23:59:59, 0ms");
  s.SetBugRepFile("logs/%APPNAME%-%date%.txt");
  EXPECT_EQ(s.GetBugRepFile(), "logs/" + ChangeFileExt(app, "") + "-1999-12-31.txt");
}

TEST_F(CrashSettings, AdditionalAttachmentsAndFieldsAreSplitIntoTheirParts) {
  TICDSettings s;
  s.MakeOwnCopy();
  s.SetAddAttachs("%appname%.log>log.txt>logs.zip>Log| |config.ini");
  auto attachs = s.GetAddAttachList();
  ASSERT_EQ(attachs.size(), 2u);
  EXPECT_EQ(attachs[0].File + attachs[0].SendAs + attachs[0].Zip + attachs[0].Field,
            ExtractFileName(ApplicationExeName()) + ".loglog.txtlogs.zipLog");
  EXPECT_EQ(attachs[1].File + attachs[1].SendAs + attachs[1].Field, "config.ini");

  EXPECT_TRUE(s.GetAddFieldList().empty());
  s.SetAddFields("build>nightly 7|flavour|>orphan|note> a > b ");
  auto fields = s.GetAddFieldList();
  ASSERT_EQ(fields.size(), 3u);
  EXPECT_EQ(fields[0].Name + "=" + fields[0].Content, "build=nightly 7");
  EXPECT_EQ(fields[1].Name + "=" + fields[1].Content, "flavour=");
  EXPECT_EQ(fields[2].Content, "a > b");
}

const char* const kVersionText = "1.2.3-nightly";
const char* const kNullPointer = nullptr;

TEST_F(CrashSettings, TheVersionVariableIsReadSafelyFromTheModule) {
  const auto offsetOf = [](const void* p) {
    return "$" + IntToHex(reinterpret_cast<uintptr_t>(p) - MainModuleHandle(), 1);
  };
  struct Case {
    std::string offset;
    std::string text;
  } cases[] = {
      {offsetOf(&kVersionText), "1.2.3-nightly"},
      {offsetOf(&kNullPointer), ""},
      {"$7FFFFFFFFFF0", ""},  // nothing mapped there
  };
  for (const Case& c : cases) {
    TICDSettings().SetVersionVar(c.offset);
    EXPECT_EQ(TICDSettings().VersionVarText(), c.text) << c.offset;
  }
}

}  // namespace
