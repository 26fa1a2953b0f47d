#include "crash/delivery/CDBugRepFile.h"

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>

#include "crash/report/CDReportText.h"
#include "runtime/SysUtils.h"
#include "tests/crash/FakeCDException.h"
#include "tests/support/TempDir.h"

namespace {

struct ReportFacts {
  std::string crc = "$11111111, $22222222, $33333333";
  std::string cls = "EIdSocketError";
  std::string version = "1.0.0.2";
  std::string exe = "Pinmark";
  std::string execDate = "2024-05-01 12:00";
  std::string stamp = "2024-05-06, 07:08:09, 10ms";
  std::string body = "0000000000401000 Pinmark frmPinmark.cpp 12 TFormMain::btnClick";
};

std::string MakeReport(const ReportFacts& s) {
  std::vector<TCDField> header = {{"date/time", s.stamp},        {"computer name", "box"},
                                  {"executable", s.exe},         {"exec. date/time", s.execDate},
                                  {"version", s.version},        {"callstack crc", s.crc},
                                  {"exception number", "1"},     {"exception class", s.cls},
                                  {"exception message", "Socket Error # 10061 Connection refused."}};
  std::erase_if(header, [](const TCDField& f) { return f.Content.empty(); });
  return RenderBugReport(header, {{"main thread ($1):", s.body}});
}

std::string Crc(const std::string& a, const std::string& b, const std::string& c) {
  return "$" + a + ", $" + b + ", $" + c;
}

int Occurrences(const std::string& text, const std::string& what) {
  int n = 0;
  for (std::size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1)) ++n;
  return n;
}

// A save into a file as the settings of this program describe it.
class BugRepFile : public ::testing::Test {
 protected:
  void SetUp() override {
    file = dir.File("reports/bugreport.txt");
    std::filesystem::create_directories(dir.File("reports"));
    e.Settings().SetBugRepFile(file);
  }
  bool Save(const std::string& report) { return SaveBugReport(e, report); }
  std::string Content() const { return TempDir::Read(file); }

  TempDir dir;
  std::string file;
  TFakeCDException e;
};

TEST_F(BugRepFile, AFirstReportCreatesTheFoldersAndIsFollowedByAnEmptyLine) {
  std::filesystem::remove_all(dir.File("reports"));
  std::string report = MakeReport({});
  ASSERT_TRUE(Save(report));
  EXPECT_EQ(Content(), report + "\r\n\r\n");
  EXPECT_TRUE(e.Saved());
}

TEST_F(BugRepFile, TheSameFailureAgainReplacesTheEarlierReportAndCountsUp) {
  ReportFacts first, second, third;
  second.stamp = "2024-05-06, 08:00:00, 1ms";
  third.stamp = "2024-05-06, 09:00:00, 2ms";
  third.crc = Crc("11111111", "22222222", "ffffffff");  // only the third value differs
  ASSERT_TRUE(Save(MakeReport(first)));
  ASSERT_TRUE(Save(MakeReport(second)));
  std::string text = Content();
  EXPECT_EQ(Occurrences(text, "date/time      "), 1);
  EXPECT_NE(text.find("08:00:00"), std::string::npos);
  EXPECT_EQ(text.find("07:08:09"), std::string::npos);
  EXPECT_NE(text.find("\r\ncallstack crc     : " + first.crc + "\r\ncount             : 2\r\n"), std::string::npos)
      << text;

  ASSERT_TRUE(Save(MakeReport(third)));
  text = Content();
  EXPECT_EQ(Occurrences(text, "\r\ncount"), 1);
  EXPECT_NE(text.find("count             : 3"), std::string::npos);
  EXPECT_NE(text.find("09:00:00"), std::string::npos);
  EXPECT_TRUE(text.ends_with("\r\n\r\n"));
}

TEST_F(BugRepFile, ReportsOfOtherFailuresAreAppendedAndKept) {
  struct Case {
    const char* what;
    ReportFacts facts;
  };
  std::vector<Case> cases(5);
  cases[0] = {"another second checksum value", {}};
  cases[0].facts.crc = Crc("11111111", "aaaaaaaa", "33333333");
  cases[1] = {"another class", {}};
  cases[1].facts.cls = "EIdHTTPProtocolException";
  cases[2] = {"another version", {}};
  cases[2].facts.version = "1.0.0.3";
  cases[3] = {"another executable", {}};
  cases[3].facts.exe = "crashdemo";
  cases[4] = {"a checksum that is not complete yet", {}};
  cases[4].facts.crc = "will be calculated soon";
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    std::filesystem::remove(file);
    ASSERT_TRUE(Save(MakeReport({})));
    ASSERT_TRUE(Save(MakeReport(c.facts)));
    ASSERT_TRUE(Save(MakeReport(c.facts)));  // an exact repeat does merge, unless the key is incomplete
    std::string text = Content();
    EXPECT_TRUE(text.starts_with(MakeReport({}) + "\r\n\r\n"));
    int expectedReports = c.facts.crc.size() == 31 ? 2 : 3;
    EXPECT_EQ(Occurrences(text, "exception number"), expectedReports);
  }
}

TEST_F(BugRepFile, TheDuplicateDefinitionSetsHowMuchOfTheChecksumMustAgree) {
  struct Case {
    int definition;
    std::string crc;
    bool merges;
  };
  const Case cases[] = {
      {0, Crc("11111111", "99999999", "99999999"), true},  {0, Crc("99999999", "22222222", "33333333"), false},
      {1, Crc("11111111", "22222222", "99999999"), true},  {1, Crc("11111111", "99999999", "33333333"), false},
      {2, Crc("11111111", "22222222", "33333333"), true},  {2, Crc("11111111", "22222222", "99999999"), false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.definition);
    SCOPED_TRACE(c.crc);
    std::filesystem::remove(file);
    e.Settings().SetDupExceptDef(c.definition);
    ReportFacts later;
    later.crc = c.crc;
    ASSERT_TRUE(Save(MakeReport({})));
    ASSERT_TRUE(Save(MakeReport(later)));
    EXPECT_EQ(Occurrences(Content(), "exception number"), c.merges ? 1 : 2);
  }
}

TEST_F(BugRepFile, FreezesUseTheirOwnDefinitionAndSwitch) {
  ReportFacts freeze;
  freeze.cls = "";  // a freeze report has no exception class line
  ReportFacts nearly = freeze;
  nearly.crc = Crc("11111111", "22222222", "99999999");
  ASSERT_TRUE(Save(MakeReport(freeze)));
  ASSERT_TRUE(Save(MakeReport(nearly)));  // freezes compare all three values
  EXPECT_EQ(Occurrences(Content(), "exception number"), 2);
  ASSERT_TRUE(Save(MakeReport(nearly)));
  EXPECT_EQ(Occurrences(Content(), "exception number"), 2);

  e.Settings().SetNoDupFreezes(false);
  ASSERT_TRUE(Save(MakeReport(nearly)));
  EXPECT_EQ(Occurrences(Content(), "exception number"), 3);
}

TEST_F(BugRepFile, WithoutAVersionTheFileDatesMustAgreeToo) {
  ReportFacts a;
  a.version = "";
  ReportFacts b = a;
  b.execDate = "2024-05-02 12:00";
  ASSERT_TRUE(Save(MakeReport(a)));
  ASSERT_TRUE(Save(MakeReport(b)));
  EXPECT_EQ(Occurrences(Content(), "exception number"), 2);
  ASSERT_TRUE(Save(MakeReport(b)));
  EXPECT_EQ(Occurrences(Content(), "exception number"), 2);
}

TEST_F(BugRepFile, ALargeFileLosesItsOldestReportsBeforeTheNewOneIsAppended) {
  // 120000 bytes of reports of 3000 bytes each (with their empty lines).
  std::string old;
  int n = 0;
  while (old.size() < 120000) {
    ReportFacts s;
    s.crc = Crc(IntToHex(static_cast<uint64_t>(n), 8), "00000000", "00000000");
    s.stamp = "report " + std::to_string(n++);
    std::string r = MakeReport(s) + "\r\n\r\n";
    s.body.append(3000 - r.size(), 'x');
    old += MakeReport(s) + "\r\n\r\n";
  }
  ASSERT_EQ(old.size(), 120000u);
  TempDir::Write(file, old);
  ASSERT_TRUE(Save(MakeReport({})));
  std::string text = Content();
  std::string before = text.substr(0, text.size() - MakeReport({}).size() - 4);
  EXPECT_LT(before.size(), 75000u);
  EXPECT_GE(before.size() + 3000, 75000u);  // no more than needed went
  EXPECT_TRUE(old.ends_with(before));
  EXPECT_TRUE(before.starts_with("date/time"));
}

// The limit is a size the file may have: a file of exactly that size keeps
// every report, one byte more and the oldest go.
TEST_F(BugRepFile, AFileExactlyAtTheLimitKeepsEveryReportOneByteMoreDoesNot) {
  e.Settings().SetBugRepFileSize(100000);
  for (std::size_t size : {100000u, 100001u}) {
    SCOPED_TRACE(size);
    std::string old;
    // Forty reports of 2500 bytes, the first one longer by what is over.
    for (int n = 0; n < 40; ++n) {
      ReportFacts s;
      s.crc = Crc(IntToHex(static_cast<uint64_t>(n), 8), "00000000", "00000000");
      s.stamp = "report " + std::to_string(n);
      const std::size_t bare = MakeReport(s).size() + 4;
      s.body.append(2500 + (n == 0 ? size - 100000 : 0) - bare, 'x');
      old += MakeReport(s) + "\r\n\r\n";
    }
    ASSERT_EQ(old.size(), size);
    TempDir::Write(file, old);
    ASSERT_TRUE(Save(MakeReport({})));
    const std::string text = Content();
    EXPECT_EQ(text.starts_with(old), size == 100000u);
  }
}

TEST_F(BugRepFile, WithoutAppendingTheFileHoldsOnlyTheNewestReport) {
  e.Settings().SetAppendBugReps(false);
  TempDir::Write(file, std::string(5000, 'o'));
  ReportFacts s;
  s.stamp = "newest";
  ASSERT_TRUE(Save(MakeReport({})));
  ASSERT_TRUE(Save(MakeReport(s)));
  EXPECT_EQ(Content(), MakeReport(s) + "\r\n\r\n");
}

TEST_F(BugRepFile, TheConfiguredNameTakesTheProgramNameAndRelativeNamesLieBesideTheExecutable) {
  e.Settings().SetBugRepFile(dir.File("%appname%-errors.txt"));
  ASSERT_TRUE(SaveBugReport(e, MakeReport({})));
  EXPECT_TRUE(std::filesystem::exists(dir.File("crash_tests-errors.txt")));

  std::string relative = "bugrep-test-" + std::to_string(getpid()) + "/%appname%.txt";
  e.Settings().SetBugRepFile(relative);
  e.saved = false;
  ASSERT_TRUE(SaveBugReport(e, MakeReport({})));
  std::string beside = ExtractFilePath(ApplicationExeName()) + "bugrep-test-" + std::to_string(getpid());
  EXPECT_TRUE(std::filesystem::exists(beside + "/crash_tests.txt"));
  EXPECT_TRUE(e.Saved());
  std::filesystem::remove_all(beside);
}

TEST_F(BugRepFile, ASaveToAnotherFileDoesNotCountAsSaved) {
  ASSERT_TRUE(SaveBugReport(e, MakeReport({}), dir.File("elsewhere.txt")));
  EXPECT_FALSE(e.Saved());
  std::filesystem::create_directories(dir.File("taken"));
  TempDir::Write(dir.File("plain"), "x");
  EXPECT_FALSE(SaveBugReport(e, MakeReport({}), dir.File("plain/under/a/file.txt")));
  EXPECT_FALSE(SaveBugReport(e, MakeReport({}), dir.File("taken")));
}

TEST_F(BugRepFile, AFileWithoutAFinalLineBreakStillGetsTheNewReportOnALineOfItsOwn) {
  TempDir::Write(file, "notes typed by hand");
  ASSERT_TRUE(Save(MakeReport({})));
  EXPECT_EQ(Content(), "notes typed by hand\r\n" + MakeReport({}) + "\r\n\r\n");
  ASSERT_TRUE(Save(MakeReport({})));  // and it is found again as a report
  EXPECT_EQ(Occurrences(Content(), "exception number"), 1);
  EXPECT_TRUE(Content().starts_with("notes typed by hand\r\ndate/time"));
  EXPECT_NE(Content().find("count"), std::string::npos);
}

TEST_F(BugRepFile, AProcessKilledWhileSavingLeavesThePreviousFileIntact) {
  ASSERT_TRUE(Save(MakeReport({})));
  const std::string before = Content();
  int ready[2];
  ASSERT_EQ(pipe(ready), 0);
  pid_t child = fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    SetBugRepBeforeReplaceHook([&] {
      char c = 'x';
      (void)!write(ready[1], &c, 1);
      pause();
    });
    ReportFacts other;
    other.crc = Crc("99999999", "99999999", "99999999");
    SaveBugReport(e, MakeReport(other));
    _exit(0);
  }
  char c;
  ASSERT_EQ(read(ready[0], &c, 1), 1);
  kill(child, SIGKILL);
  waitpid(child, nullptr, 0);
  close(ready[0]);
  close(ready[1]);
  EXPECT_EQ(Content(), before);
  // The lock died with the process: the next save goes through.
  ASSERT_TRUE(Save(MakeReport({})));
  EXPECT_NE(Content().find("count"), std::string::npos);
}

TEST_F(BugRepFile, ProcessesSavingAtOnceTakeTurnsAndLoseNothing) {
  e.Settings().SetBugRepFileSize(0);
  constexpr int kProcesses = 4, kReports = 10;
  std::vector<pid_t> children;
  for (int p = 0; p < kProcesses; ++p) {
    pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
      bool ok = true;
      for (int i = 0; i < kReports; ++i) {
        ReportFacts s;
        s.crc = Crc(IntToHex(static_cast<uint64_t>(p * 100 + i), 8), "00000000", "00000000");
        ok = SaveBugReport(e, MakeReport(s)) && ok;
      }
      _exit(ok ? 0 : 1);
    }
    children.push_back(child);
  }
  for (pid_t child : children) {
    int status = 0;
    waitpid(child, &status, 0);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
  }
  EXPECT_EQ(Occurrences(Content(), "exception number"), kProcesses * kReports);
}

TEST(BugReportValue, ReadsHeaderLinesByTheirWholeLabel) {
  std::string report = MakeReport({});
  EXPECT_EQ(BugReportValue(report, "executable"), "Pinmark");
  EXPECT_EQ(BugReportValue(report, "exec. date/time"), "2024-05-01 12:00");
  EXPECT_EQ(BugReportValue(report, "exception"), "");
  EXPECT_EQ(BugReportValue(report, "date/time"), "");  // the first line is never looked at
  EXPECT_EQ(BugReportValue(report + "\r\n\r\nsection:\r\ncurrent module : x", "current module"), "");
}

}  // namespace
