#include "runtime/PrivateProfile.h"

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include "runtime/IniFile.h"
#include "tests/support/TempDir.h"

TEST(PrivateProfile, ReadsSectionsAndKeysIgnoringCaseAndTrimsValues) {
  TempDir dir;
  std::string ini = dir.File("a.ini");
  TempDir::Write(ini, "; comment\r\n[Program]\r\n  Refresh =  15 \r\nURL=http://x/\r\n[temp]\r\nrefresh=1\r\n");
  EXPECT_EQ(GetPrivateProfileString("program", "REFRESH", "d", ini), "15");
  EXPECT_EQ(GetPrivateProfileString("Program", "URL", "d", ini), "http://x/");
  EXPECT_EQ(GetPrivateProfileString("Temp", "Refresh", "d", ini), "1");
  EXPECT_EQ(GetPrivateProfileString("Temp", "URL", "d", ini), "d");
  EXPECT_EQ(GetPrivateProfileString("None", "x", "dflt", dir.File("missing.ini")), "dflt");
  EXPECT_EQ(GetPrivateProfileString("Program", "URL", "", ini, 5), "http");
}

TEST(PrivateProfile, WritesReplaceInPlaceAndAppendNewKeysToTheirSection) {
  TempDir dir;
  std::string ini = dir.File("a.ini");
  ASSERT_TRUE(WritePrivateProfileString("Temp", "IPAddress", "UNKNOWN", ini));
  ASSERT_TRUE(WritePrivateProfileString("Program", "Refresh", "60", ini));
  ASSERT_TRUE(WritePrivateProfileString("temp", "Refresh", "x", ini));
  ASSERT_TRUE(WritePrivateProfileString("TEMP", "ipaddress", "1.2.3.4", ini));
  EXPECT_EQ(TempDir::Read(ini), "[Temp]\nipaddress=1.2.3.4\nRefresh=x\n[Program]\nRefresh=60\n");
}

TEST(PrivateProfile, KeepsUnrelatedLinesAndBlankLinesBetweenSections) {
  TempDir dir;
  std::string ini = dir.File("a.ini");
  TempDir::Write(ini, "[A]\r\nk=1\r\n; keep me\r\n\r\n[B]\r\nz=2\r\n");
  ASSERT_TRUE(WritePrivateProfileString("A", "n", "new", ini));
  EXPECT_EQ(TempDir::Read(ini), "[A]\r\nk=1\r\n; keep me\r\nn=new\n\r\n[B]\r\nz=2\r\n");
  EXPECT_EQ(GetPrivateProfileString("B", "z", "", ini), "2");
}

TEST(PrivateProfile, VeryLongLinesCostNoMoreThanTheirHead) {
  TempDir dir;
  std::string ini = dir.File("a.ini");
  std::string big(300000, 'v');
  TempDir::Write(ini, "[S]\nbig=" + big + "\nsmall=1\n");
  EXPECT_EQ(GetPrivateProfileString("S", "big", "", ini).size(), 2047u);
  ASSERT_TRUE(WritePrivateProfileString("S", "small", "2", ini));
  EXPECT_EQ(TempDir::Read(ini), "[S]\nbig=" + big + "\nsmall=2\n");
}

TEST(PrivateProfile, UnwritableFolderFailsAndLeavesNothingBehind) {
  TempDir dir;
  EXPECT_FALSE(WritePrivateProfileString("S", "k", "v", dir.File("no/such/folder/a.ini")));
  TIniFile ini(dir.File("no/such/folder/a.ini"));
  try {
    ini.WriteString("S", "k", "v");
    FAIL();
  } catch (const EIniFileException& e) {
    EXPECT_EQ(e.Message(), "Unable to write to " + dir.File("no/such/folder/a.ini"));
  }
}

// A writer killed at any moment leaves either the old or the new file, whole.
TEST(PrivateProfile, AWriteInterruptedByAKillLeavesACompleteFile) {
  TempDir dir;
  std::string ini = dir.File("a.ini");
  const std::string a(30000, 'a'), b(30000, 'b');
  ASSERT_TRUE(WritePrivateProfileString("Keep", "me", "yes", ini));
  ASSERT_TRUE(WritePrivateProfileString("S", "v", a, ini));
  for (int round = 0; round < 5; ++round) {
    pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
      for (int i = 0;; ++i) WritePrivateProfileString("S", "v", i % 2 ? a : b, ini);
    }
    usleep(20000 + round * 7000);
    kill(child, SIGKILL);
    int status = 0;
    waitpid(child, &status, 0);
    std::string v = GetPrivateProfileString("S", "v", "", ini, 60000);
    EXPECT_TRUE(v == a || v == b) << "value of length " << v.size();
    EXPECT_EQ(GetPrivateProfileString("Keep", "me", "", ini), "yes");
  }
}
