#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cstdlib>
#include <filesystem>

#include "crash/delivery/CDBugRepFile.h"
#include "crash/delivery/CDMailHandOver.h"
#include "crash/delivery/CDSendReport.h"
#include "crash/settings/CDTextVars.h"
#include "runtime/SysUtils.h"
#include "tests/crash/FakeCDException.h"
#include "tests/support/TempDir.h"

namespace {

std::vector<std::string> Split0(const std::string& text) {
  std::vector<std::string> parts;
  std::size_t start = 0;
  for (std::size_t at = text.find('\0'); at != std::string::npos; at = text.find('\0', start)) {
    parts.push_back(text.substr(start, at - start));
    start = at + 1;
  }
  return parts;
}

TEST(Mailto, SubjectAndBodyEscapeTheCharactersThatWouldEndThemEarly) {
  std::vector<TCDMailRecipient> to = {{"Support", "support@pinmark.example"}, {"b@x.example", "b@x.example"}};
  EXPECT_EQ(MailtoUrl(to, "why? 100%", "a+b <c> \"d\" #e & f\r\ng"),
            "mailto:support@pinmark.example,b@x.example?subject=why%3F%20100%25"
            "&body=a%2Bb%20%3Cc%3E%20%22d%22%20%23e%20%26%20f%0D%0Ag");
}

TEST(Mailto, TheCommandIsCutWithoutBreakingAnEscape) {
  struct Case {
    std::string text;
    std::size_t limit;
    std::string expected;
  };
  const Case cases[] = {
      {"abcdef", 10, "abcdef"}, {"abc%3F", 6, "abc%3F"}, {"abc%3Fx", 6, "abc%3F"},
      {"abc%3Fx", 5, "abc"},    {"abc%3Fx", 4, "abc"},   {"abcd%3F", 5, "abcd"},
  };
  for (const Case& c : cases) EXPECT_EQ(CutKeepingEscapes(c.text, c.limit), c.expected) << c.text << " " << c.limit;

  std::string body(20000, '?');  // every character becomes three
  for (int shift = 0; shift < 3; ++shift) {
    std::vector<std::string> args = MailtoArguments(MailtoUrl({{"a@b.example", "a@b.example"}}, std::string(shift, 'x'), body));
    ASSERT_EQ(args.size(), 2u);
    EXPECT_EQ(args[0], "xdg-open");
    std::size_t command = args[0].size() + 1 + args[1].size();
    EXPECT_LE(command, CDMailtoCommandLimit);
    EXPECT_GE(command, CDMailtoCommandLimit - 2);
    EXPECT_TRUE(args[1].ends_with("%3F")) << args[1].substr(args[1].size() - 5);
  }
}

TEST(MailRecipients, NamedAndBareAddressesAreSplitAtCommas) {
  auto list = ParseMailRecipients(" Pinmark Support <support@pinmark.example>, bare@x.example,, <only@x.example> ");
  ASSERT_EQ(list.size(), 3u);
  EXPECT_EQ(list[0].Name, "Pinmark Support");
  EXPECT_EQ(list[0].Address, "support@pinmark.example");
  EXPECT_EQ(list[1].Name, "bare@x.example");
  EXPECT_EQ(list[2].Name, "only@x.example");
  EXPECT_EQ(DefaultMailSender(list), "crashDesk <support@pinmark.example>");
  EXPECT_EQ(DefaultMailSender({}), "");
}

TEST(ExceptionVars, AreReplacedIgnoringCaseAndNeverTwice) {
  EXPECT_EQ(ExpandExceptionVars("[%EXCEPTMSG%] %bugreport%", "it failed", "has %exceptMsg% inside"),
            "[it failed] has %exceptMsg% inside");
  EXPECT_EQ(ExpandExceptionVars("%exceptMsg%", "", ""), "Unknown");
  EXPECT_EQ(ReportExceptionMessage("date/time : x\r\nexception message : Socket: refused.\r\n\r\ns:\r\nexception message : no"),
            "Socket: refused.");
}

// A stand-in mail program and mailto handler on PATH that record their
// arguments and answer with the exit code the test sets.
class MailHandOver : public ::testing::Test {
 protected:
  void SetUp() override {
    std::filesystem::create_directories(dir.File("bin"));
    for (const char* program : {"xdg-email", "xdg-open"}) {
      std::string script = dir.File(std::string("bin/") + program);
      TempDir::Write(script, "#!/bin/sh\nwhile [ -f \"" + dir.File("hold") + "\" ]; do sleep 0.02; done\nfor a in \"$@\"; do printf '%s\\0' \"$a\"; done > \"" + dir.File(program) +
                                 ".args\"\nexit $(cat \"" + dir.File(program) + ".exit\" 2>/dev/null || echo 0)\n");
      chmod(script.c_str(), 0755);
    }
    oldPath = std::getenv("PATH");
    // Prepared attachments go into the test's folder.
    setenv("TMPDIR", dir.Path().c_str(), 1);
    setenv("PATH", (dir.File("bin") + ":" + oldPath).c_str(), 1);
    e.Settings().SetBugRepFile(dir.File("bugreport.txt"));
    e.FillReport();
    report = e.Report().Text();
    options.ShowFailure = [this](const std::string& text) { failures.push_back(text); };
  }
  void TearDown() override {
    setenv("PATH", oldPath.c_str(), 1);
    unsetenv("TMPDIR");
  }
  void ExitCode(const char* program, int code) { TempDir::Write(dir.File(program) + ".exit", std::to_string(code)); }
  std::vector<std::string> Args(const char* program) { return Split0(TempDir::Read(dir.File(program) + ".args")); }
  bool Ran(const char* program) { return std::filesystem::exists(dir.File(program) + ".args"); }

  TempDir dir;
  std::string oldPath;
  TFakeCDException e;
  std::string report;
  TCDSendOptions options;
  std::vector<std::string> failures;
};

TEST_F(MailHandOver, TheMailProgramGetsSubjectBodyRecipientAndTheFileWithTheNewReport) {
  const std::string earlier = "date/time : earlier\r\n\r\n";
  TempDir::Write(dir.File("bugreport.txt"), earlier);
  e.Settings().SetMailSubj("bug report: %exceptMsg%");

  EXPECT_EQ(SendBugReport(e, report, "", options), TCDSendResult::Sent);
  std::vector<std::string> args = Args("xdg-email");
  ASSERT_EQ(args.size(), 7u);
  EXPECT_EQ(args[0], "--subject");
  EXPECT_EQ(args[1], "bug report: Socket Error # 10061 Connection refused.");
  EXPECT_EQ(args[2], "--body");
  EXPECT_EQ(args[3], "please find the bug report attached");
  EXPECT_EQ(args[4], "--attach");
  EXPECT_TRUE(args[5].ends_with("/bugreport.txt"));
  EXPECT_EQ(args[6], "support@pinmark.example");
  EXPECT_EQ(TempDir::Read(args[5]), earlier + report + "\r\n\r\n");
  EXPECT_FALSE(Ran("xdg-open"));
  EXPECT_TRUE(e.Sent());
  // The file's reports went out with the mail.
  EXPECT_FALSE(std::filesystem::exists(dir.File("bugreport.txt")));
  EXPECT_TRUE(failures.empty());
}

TEST_F(MailHandOver, AReportSavedMeanwhileStaysInTheFile) {
  // Without DelBugRepFile nothing is deleted; with it only what went out.
  TempDir::Write(dir.File("bugreport.txt"), "date/time : earlier\r\n\r\n");
  e.Settings().SetDelBugRepFile(false);
  ASSERT_EQ(SendBugReport(e, report, "", options), TCDSendResult::Sent);
  EXPECT_EQ(TempDir::Read(dir.File("bugreport.txt")), "date/time : earlier\r\n\r\n");

  EXPECT_FALSE(RemoveSentBugReports(dir.File("bugreport.txt"), "date/time : other\r\n\r\n"));
  TempDir::Write(dir.File("bugreport.txt"), "date/time : earlier\r\n\r\ndate/time : later\r\n\r\n");
  EXPECT_TRUE(RemoveSentBugReports(dir.File("bugreport.txt"), "date/time : earlier\r\n\r\n"));
  EXPECT_EQ(TempDir::Read(dir.File("bugreport.txt")), "date/time : later\r\n\r\n");
}

TEST_F(MailHandOver, AFailedMailProgramFallsBackToTheMailtoHandlerWithTheReportAsBody) {
  ExitCode("xdg-email", 3);
  e.Settings().SetMailSubj("crash?");
  EXPECT_EQ(SendBugReport(e, report, "", options), TCDSendResult::Sent);
  std::vector<std::string> args = Args("xdg-open");
  ASSERT_EQ(args.size(), 1u);
  EXPECT_EQ(args[0], MailtoUrl({{"", "support@pinmark.example"}}, "crash?", report));
  EXPECT_NE(args[0].find("?subject=crash%3F&body=date/time"), std::string::npos);
  EXPECT_TRUE(e.Sent());
}

TEST_F(MailHandOver, WhenEveryWayFailsTheUserIsToldUnlessTheSendIsHidden) {
  ExitCode("xdg-email", 4);
  ExitCode("xdg-open", 4);
  EXPECT_EQ(SendBugReport(e, report, "", options), TCDSendResult::Failed);
  EXPECT_EQ(failures, std::vector<std::string>{"Sorry, sending the bug report didn't work."});
  EXPECT_FALSE(e.Sent());

  std::filesystem::remove(dir.File("xdg-open.args"));
  options.Hidden = true;
  EXPECT_EQ(SendBugReport(e, report, "", options), TCDSendResult::Failed);
  EXPECT_EQ(failures.size(), 1u);
  EXPECT_FALSE(Ran("xdg-open"));  // no handler window for a send nobody asked for
}

TEST_F(MailHandOver, ABlockedProcessStartsNoProgram) {
  struct Blocked : TFakeCDException {
    bool ProcessBlocked() const override { return true; }
  } blocked;
  blocked.Settings().SetBugRepFile(dir.File("bugreport.txt"));
  options.Background = true;  // and is never sent in background either
  EXPECT_EQ(SendBugReport(blocked, report, "", options), TCDSendResult::Failed);
  EXPECT_FALSE(Ran("xdg-email"));
  EXPECT_EQ(failures.size(), 1u);
}

TEST_F(MailHandOver, InBackgroundTheSendAnswersAtOnceAndMarksTheExceptionWhenDone) {
  std::string shot = dir.File("shot.png");
  TempDir::Write(shot, "png");
  e.Settings().SetAttachBugRep(false);
  options.Background = true;
  EXPECT_EQ(SendBugReport(e, report, shot, options), TCDSendResult::Sent);
  WaitForRunningSends();
  EXPECT_TRUE(e.Sent());
  std::vector<std::string> args = Args("xdg-email");
  ASSERT_EQ(args.size(), 7u);
  EXPECT_TRUE(args[5].ends_with("/screenshot.png"));
  EXPECT_EQ(TempDir::Read(args[5]), "png");

  TFakeCDException forgotten;
  forgotten.Settings().SetAttachBugRep(false);
  TempDir::Write(dir.File("hold"), "");
  EXPECT_EQ(SendBugReport(forgotten, report, "", options), TCDSendResult::Sent);
  ForgetSendsOf(forgotten);
  std::filesystem::remove(dir.File("hold"));
  WaitForRunningSends();
  EXPECT_FALSE(forgotten.Sent());
}

}  // namespace
