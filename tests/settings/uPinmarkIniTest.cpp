#include "settings/uPinmarkIni.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <clocale>

#include "runtime/DateTime.h"
#include "tests/support/TempDir.h"

namespace {
class SettingsStore : public ::testing::Test {
 protected:
  TempDir dir;
  std::string ini = dir.File("Pinmark.ini");
};
}  // namespace

TEST_F(SettingsStore, FirstRunWritesOnlyTheTempSection) {
  TIniPinmark s(ini);
  EXPECT_EQ(s.FileName(), ini);
  EXPECT_EQ(TempDir::Read(ini), "[Temp]\nIPAddress=UNKNOWN\nRefresh=" + DateTimeToStr(0) + "\n");
  EXPECT_EQ(s.Refresh, 60);
  EXPECT_EQ(s.URL, DefaultServiceURL());
  EXPECT_EQ(s.URL, "http://pinmark.example/includes/r_update.php");
  EXPECT_EQ(ServiceHomePage(), "http://pinmark.example/");
  EXPECT_EQ(s.Computer, "");
  EXPECT_EQ(s.Name, "");
  EXPECT_EQ(s.Password, "");
}

// The test program's folder is writable, so its files stay beside the executable.
TEST_F(SettingsStore, TheSettingsFileIsNamedAfterTheExecutable) {
  EXPECT_EQ(SettingsFileOf(dir.File("Pinmark")), ini);
  EXPECT_EQ(SettingsFileOf(dir.File("Pinmark.exe")), ini);
}

TEST_F(SettingsStore, ConstructionRewritesTheStampAndLoadsTheFields) {
  TempDir::Write(ini,
                 "[Program]\nRefresh=0x3C\nURL=http://svc/u.php\n[User]\nComputer=box\nName=ann\n"
                 "Password=d41d8cd98f00b204e9800998ecf8427e\n[Temp]\nRefresh=garbage\nIPAddress=1.2.3.4\n");
  TIniPinmark s(ini);
  EXPECT_EQ(s.Refresh, 60);
  EXPECT_EQ(s.URL, "http://svc/u.php");
  EXPECT_EQ(s.Computer, "box");
  EXPECT_EQ(s.Name, "ann");
  EXPECT_EQ(s.Password, "d41d8cd98f00b204e9800998ecf8427e");
  EXPECT_EQ(s.ReadString("Temp", "Refresh", ""), DateTimeToStr(0));
  EXPECT_EQ(s.ReadString("Temp", "IPAddress", ""), "UNKNOWN");

  TDateTime when = EncodeDate(2026, 3, 4) + EncodeTime(5, 6, 7, 0);
  s.SetRefreshTime(when);
  TIniPinmark again(ini);
  EXPECT_NEAR(again.ReadDateTime("Temp", "Refresh", -1), when, 1e-9);
}

TEST_F(SettingsStore, RefreshPeriodReads) {
  struct Case {
    const char* text;
    int32_t expected;
  } cases[] = {{"0x3C", 60}, {"$3C", 60}, {"abc", 60}, {"-5", -5}, {"0", 0}};
  for (const Case& c : cases) {
    TempDir::Write(ini, std::string("[Program]\nRefresh=") + c.text + "\n");
    EXPECT_EQ(TIniPinmark(ini).Refresh, c.expected) << c.text;
  }
}

// The record of the last exchange goes to the file at once and comes back
// from it as a read gives it back.
TEST_F(SettingsStore, TheExchangeIsRecordedAndReadBack) {
  TIniPinmark s(ini);
  s.SetRequest("http://svc/u.php?userid=ann&enc=d41d8cd98f00b204e9800998ecf8427e&node=node");
  s.SetResponse(" 203.0.113.7\r\n");
  s.SetIPAddress("203.0.113.7");
  TIniPinmark again(ini);
  EXPECT_EQ(again.GetRequest(), "http://svc/u.php?userid=ann&enc=d41d8cd98f00b204e9800998ecf8427e&node=node");
  EXPECT_EQ(again.GetResponse(), "203.0.113.7");
  EXPECT_EQ(again.ReadString("Temp", "IPAddress", ""), "UNKNOWN");  // construction starts it afresh

  s.SetRequest(std::string(3000, 'n'));
  EXPECT_EQ(s.GetRequest(), std::string(2047, 'n'));
}

TEST_F(SettingsStore, SetDefaultsTouchesOnlyTheAddressInTheFile) {
  {
    TIniPinmark s(ini);
    s.Refresh = 15;
    s.URL = "http://other/x.php";
    s.Save();
  }
  TIniPinmark s(ini);
  s.SetIPAddress("1.2.3.4");
  s.SetDefaults();
  EXPECT_EQ(s.Refresh, 60);
  EXPECT_EQ(s.URL, DefaultServiceURL());
  EXPECT_EQ(s.ReadString("Temp", "IPAddress", ""), "UNKNOWN");
  EXPECT_EQ(s.ReadString("Program", "Refresh", ""), "15");
  EXPECT_EQ(s.ReadString("Program", "URL", ""), "http://other/x.php");
}

TEST_F(SettingsStore, SaveWritesProgramAndUserSections) {
  TIniPinmark s(ini);
  s.Refresh = 5;
  s.Name = "ann";
  s.Password = "900150983cd24fb0d6963f7d28e17f72";
  s.Computer = "box";
  s.Save();
  std::string text = TempDir::Read(ini);
  EXPECT_NE(text.find("[Program]\nRefresh=5\nURL=http://pinmark.example/includes/r_update.php\n"), std::string::npos);
  EXPECT_NE(text.find("[User]\nComputer=box\nName=ann\nPassword=900150983cd24fb0d6963f7d28e17f72\n"),
            std::string::npos);
}

// Neither a typed name nor a service answer may add lines to the file.
TEST_F(SettingsStore, LineBreaksNeverReachTheFile) {
  TIniPinmark s(ini);
  s.Name = "ann\n[Program]\nURL=http://evil/";
  s.Save();
  s.SetResponse("6.6.6.6\r\nIPAddress=1.1.1.1");
  EXPECT_EQ(s.GetResponse(), "6.6.6.6");
  TIniPinmark again(ini);
  EXPECT_EQ(again.ReadString("Temp", "IPAddress", ""), "UNKNOWN");
  EXPECT_EQ(again.Name, "ann");
  EXPECT_EQ(again.URL, DefaultServiceURL());
}

// Construction writes, so a file that may not be written fails at start-up
// and keeps what it holds.
TEST_F(SettingsStore, UnwritableFileFailsAtConstruction) {
  const std::string kept = "[User]\nName=ann\n";
  TempDir::Write(ini, kept);
  ASSERT_EQ(::chmod(ini.c_str(), 0444), 0);
  for (const std::string& file : {dir.File("missing/Pinmark.ini"), ini}) {
    try {
      TIniPinmark s(file);
      ADD_FAILURE() << file;
    } catch (const EIniFileException& e) {
      EXPECT_EQ(e.Message(), "Unable to write to " + file);
    }
  }
  EXPECT_EQ(TempDir::Read(ini), kept);
}

// An answer is kept only as far as a read gives it back, so a huge answer
// never makes a huge file.
TEST_F(SettingsStore, LongAnswersAreStoredAsAReadGivesThemBack) {
  const std::string huge(5 << 20, 'x');
  struct Case {
    std::string answer, stored;
  } cases[] = {
      {huge, huge.substr(0, 2047)},
      {"203.0.113.7\r\n" + huge, "203.0.113.7"},
      {std::string(3000, ' ') + "203.0.113.7", "203.0.113.7"},
  };
  for (const Case& c : cases) {
    TIniPinmark s(ini);
    s.SetResponse(c.answer);
    EXPECT_EQ(s.GetResponse(), c.stored);
    EXPECT_LT(TempDir::Read(ini).size(), 4096u);
  }
}

TEST_F(SettingsStore, TheIPv6SettingIsOnForOneAlone) {
  struct Case {
    const char* line;  // nullptr: no key at all
    bool on;
  } cases[] = {{nullptr, false}, {"IPv6=1", true}, {"ipv6= 1 ", true}, {"IPv6=0", false}, {"IPv6=yes", false}};
  for (const Case& c : cases) {
    TempDir::Write(ini, std::string("[Program]\nRefresh=5\n") + (c.line ? std::string(c.line) + "\n" : ""));
    EXPECT_EQ(TIniPinmark(ini).IPv6, c.on) << (c.line ? c.line : "absent");
  }
}

// A file that never had the setting is saved as before it existed; once it
// is on, turning it off is saved too.
TEST_F(SettingsStore, SaveWritesTheIPv6SettingOnceItWasOn) {
  TIniPinmark s(ini);
  s.Name = "ann";
  s.Save();
  const std::string before = TempDir::Read(ini);
  EXPECT_EQ(before.find("IPv6"), std::string::npos) << before;
  s.IPv6 = true;
  s.Save();
  EXPECT_TRUE(TIniPinmark(ini).IPv6);
  s.IPv6 = false;
  s.Save();
  EXPECT_EQ(s.ReadString("Program", "IPv6", "<absent>"), "0");
  EXPECT_FALSE(TIniPinmark(ini).IPv6);
}

// The IPv6 exchange's record: an answer or a reason is one line, cut as a
// read gives it back, and comes back from the file.
TEST_F(SettingsStore, TheIPv6RecordRoundTrips) {
  {
    TIniPinmark s(ini);
    s.SetIPv6Response(" 2001:db8::1\r\nIPv6Address=::2");
    s.SetIPv6Address("2001:db8::1");
    s.SetIPv6Error("Socket Error # 10061\r\nConnection refused.");
  }
  TIniPinmark again(ini);
  EXPECT_EQ(again.GetIPv6Response(), "2001:db8::1");
  EXPECT_EQ(again.ReadString("Temp", "IPv6Address", ""), "2001:db8::1");
  EXPECT_EQ(again.GetIPv6Error(), "Socket Error # 10061");
  // An unchanged value leaves the file alone (a write would replace it).
  struct stat before {}, after {};
  ASSERT_EQ(::stat(ini.c_str(), &before), 0);
  again.SetIPv6Response("2001:db8::1\n");
  again.SetIPv6Error("Socket Error # 10061");
  ASSERT_EQ(::stat(ini.c_str(), &after), 0);
  EXPECT_EQ(before.st_ino, after.st_ino);
}
