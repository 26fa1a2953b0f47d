// The header lines: their labels and order, and the forms of their values.
#include <gtest/gtest.h>

#include "crash/report/CDReportFormat.h"
#include "crash/report/CDReportHeader.h"
#include "crash/report/CDReportText.h"

namespace {

TCDHeaderInput FullInput() {
  TCDHeaderInput in;
  in.Time = EncodeDate(2026, 12, 8) + EncodeTime(14, 3, 7, 5);
  TCDSystemFacts& f = in.Facts;
  f.ComputerName = "desk";
  f.RemoteClient = "10.0.0.5";
  f.UserName = "ann";
  f.UserIsAdmin = true;
  f.OsName = "Debian GNU/Linux 12 (bookworm)";
  f.KernelRelease = "6.1.0-18-amd64";
  f.Language = "German";
  f.SystemUpMs = (2 * 24 + 3) * 3600 * 1000ull;
  f.ProgramUpMs = 999;
  f.Cpu = TCDCpuInfo{"Intel(R) Core(TM) i5", 4};
  f.Memory = TCDMemInfo{8ull << 30, (3ull << 30) + (600ull << 20)};
  f.Disks = {{"/", 5ull << 30}, {"/home", 1536}};
  f.DisplayWidth = 1920;
  f.DisplayHeight = 1080;
  f.DisplayBits = 24;
  f.ProcessId = 0x1f2;
  f.AllocatedBytes = 1023;
  f.ExecutablePath = "/opt/pinmark/Pinmark";
  f.ExecutableMTime = 0;
  in.Version = "1.0.0.2";
  in.PluginLines = {{"battery", "full"}};
  in.ExceptionNumber = 3;
  in.ExceptionClass = "EIdSocketError";
  in.ExceptionMessage = "Socket Error # 10061\r\nConnection refused.";
  return in;
}

std::vector<std::string> Labels(const TICDFields& h) {
  std::vector<std::string> out;
  for (const TCDField& f : h.Items()) out.push_back(f.Name);
  return out;
}

}  // namespace

TEST(CDReportHeader, WritesEveryLineInItsOrderAndLeavesOutTheEmptyOnes) {
  TICDFields h;
  FillReportHeader(h, FullInput());
  EXPECT_EQ(Labels(h), (std::vector<std::string>{
                           "date/time", "computer name", "wts client name", "user name", "operating system",
                           "system language", "system up time", "program up time", "processors", "physical memory",
                           "free disk space", "display mode", "process id", "allocated memory", "executable",
                           "version", "crashDesk version", "battery", "callstack crc", "exception number",
                           "exception class", "exception message"}));
  EXPECT_EQ(h.Get("date/time"), "2026-12-08, 14:03:07, 5ms");
  EXPECT_EQ(h.Get("operating system"), "Debian GNU/Linux 12 (bookworm) build 6.1.0-18-amd64");
  EXPECT_EQ(h.Get("system up time"), "2 days 3 hours");
  EXPECT_EQ(h.Get("program up time"), "999 milliseconds");
  EXPECT_EQ(h.Get("processors"), "4x Intel(R) Core(TM) i5");
  EXPECT_EQ(h.Get("physical memory"), "3672/8192 MB (free/total)");
  EXPECT_EQ(h.Get("free disk space"), "(/) 5.00 GB (/home) 1.50 KB");
  EXPECT_EQ(h.Get("display mode"), "1920x1080, 24 bit");
  EXPECT_EQ(h.Get("process id"), "$1f2");
  EXPECT_EQ(h.Get("allocated memory"), "1023 Bytes");
  EXPECT_EQ(h.Get("executable"), "Pinmark");
  EXPECT_EQ(h.Get("crashDesk version"), "3.0b");
  EXPECT_EQ(h.Get("callstack crc"), "will be calculated soon");
  EXPECT_EQ(h.Get("exception message"), "Socket Error # 10061\r\nConnection refused.");

  // Fields the program adds later go before the checksum.
  h.Set("contact name", "Ann");
  EXPECT_EQ(h.IndexOf("contact name") + 1, h.IndexOf("callstack crc"));
}

TEST(CDReportHeader, RendersTheAdministratorWithOneBlankAndTheMessageOnOneLine) {
  TICDFields h;
  FillReportHeader(h, FullInput());
  std::string text = RenderBugReport(h.Items(), {});
  EXPECT_NE(text.find("user name         : ann <admin>\r\n"), std::string::npos) << text;
  EXPECT_NE(text.find("exception message : Socket Error # 10061 Connection refused."), std::string::npos);
}

TEST(CDReportHeader, OneProcessorIsCalledProcessorAndANamelessOneHasNoLine) {
  TCDHeaderInput in = FullInput();
  in.Facts.Cpu = TCDCpuInfo{"  AMD EPYC  ", 1};
  TICDFields one;
  FillReportHeader(one, in);
  EXPECT_EQ(one.Get("processor"), "AMD EPYC");
  EXPECT_FALSE(one.Has("processors"));
  in.Facts.Cpu = TCDCpuInfo{"", 8};
  TICDFields none;
  FillReportHeader(none, in);
  EXPECT_FALSE(none.Has("processor") || none.Has("processors"));
}

TEST(CDReportHeader, ExceptionLinesFollowTheClassAndTheFreeze) {
  struct Case {
    const char* cls;
    const char* message;
    const char* wantClass;
    const char* wantMessage;  // "" = no line
  } cases[] = {
      {"EAbort", "EAbort", "EAbort", ""},
      {"EFoo", "Stop!!", "EFoo", "Stop."},
      {"EFoo", "done.!.", "EFoo", "done."},
      {"EFoo", "  \x01tab\x7f\tbed ", "EFoo", "tabbed"},
      {"", "", "Unknown", ""},
      {"EFoo", "", "EFoo", "Unknown"},
  };
  for (const Case& c : cases) {
    TCDHeaderInput in = FullInput();
    in.ExceptionClass = c.cls;
    in.ExceptionMessage = c.message;
    TICDFields h;
    FillReportHeader(h, in);
    EXPECT_EQ(h.Get("exception class"), c.wantClass) << c.message;
    EXPECT_EQ(h.Get("exception message"), c.wantMessage) << c.message;
  }
  TCDHeaderInput freeze = FullInput();
  freeze.Freeze = true;
  freeze.FrozenMsg = "The application seems to be frozen.";
  TICDFields h;
  FillReportHeader(h, freeze);
  EXPECT_FALSE(h.Has("exception class"));
  EXPECT_EQ(h.Get("exception message"), "The application seems to be frozen.");
}

TEST(CDReportFormat, DurationsAtTheirBoundaries) {
  const uint64_t s = 1000, m = 60 * s, h = 60 * m, d = 24 * h;
  struct Case {
    uint64_t ms;
    const char* text;
  } cases[] = {
      {0, ""},
      {999, ""},
      {s, "1 second"},
      {59 * s, "59 seconds"},
      {m, "1 minute"},
      {5 * m + s, "5 minutes 1 second"},
      {h - 1, "59 minutes 59 seconds"},
      {h, "1 hour"},
      {h + 2 * m + 59 * s, "1 hour 2 minutes"},
      {d - 1, "23 hours 59 minutes"},
      {d, "1 day"},
      {2 * d + 3 * h + 59 * m, "2 days 3 hours"},
      {400 * d + h, "400 days 1 hour"},
  };
  for (const Case& c : cases) EXPECT_EQ(FormatDuration(c.ms), c.text) << c.ms;
  EXPECT_EQ(FormatProgramUpTime(0), "0 milliseconds");
  EXPECT_EQ(FormatProgramUpTime(1000), "1 second");
}

TEST(CDReportFormat, SizesAtTheirBoundariesTruncateToTwoDecimals) {
  struct Case {
    uint64_t bytes;
    char separator;
    const char* text;
  } cases[] = {
      {0, '.', "0 Bytes"},
      {1023, '.', "1023 Bytes"},
      {1024, '.', "1.00 KB"},
      {1024 + 1023, ',', "1,99 KB"},
      {(1u << 20) - 1, '.', "1023.99 KB"},
      {1u << 20, '.', "1.00 MB"},
      {(1u << 30) - 1, '.', "1023.99 MB"},
      {1ull << 30, '.', "1.00 GB"},
      {UINT64_MAX, '.', "17179869183.99 GB"},
  };
  for (const Case& c : cases) EXPECT_EQ(FormatSize(c.bytes, c.separator), c.text) << c.bytes;
}
