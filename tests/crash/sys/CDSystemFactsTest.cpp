// The readers behind the report's header on fixed texts, and the address
// space questions the report asks.
#include <gtest/gtest.h>

#include "crash/sys/CDAddressSpace.h"
#include "crash/sys/CDMemory.h"
#include "crash/sys/CDSystemFacts.h"

TEST(CDSystemFacts, ReadsTheSystemNameFromOsRelease) {
  EXPECT_EQ(ParseOsReleaseName("NAME=\"Debian GNU/Linux\"\nPRETTY_NAME=\"Debian GNU/Linux 12 (bookworm)\"\nID=debian\n"),
            "Debian GNU/Linux 12 (bookworm)");
  EXPECT_EQ(ParseOsReleaseName("NAME=Arch\r\nID=arch"), "Arch");
  EXPECT_EQ(ParseOsReleaseName("PRETTY_NAME='Say \\\"hi\\\"'\nNAME=x"), "Say \"hi\"");
  EXPECT_EQ(ParseOsReleaseName("VERSION=1\nPRETTY_NAME=\"\""), "");
  EXPECT_EQ(ParseOsReleaseName(""), "");
}

TEST(CDSystemFacts, CountsProcessorsAndTakesTheFirstModelName) {
  TCDCpuInfo one = ParseCpuInfo("processor\t: 0\nvendor_id\t: GenuineIntel\nmodel name\t: Intel(R) Core(TM) i5  \n\n");
  EXPECT_EQ(one.Count, 1);
  EXPECT_EQ(one.ModelName, "Intel(R) Core(TM) i5");
  TCDCpuInfo two = ParseCpuInfo("processor : 0\nmodel name : A\n\nprocessor : 1\nmodel name : B\n");
  EXPECT_EQ(two.Count, 2);
  EXPECT_EQ(two.ModelName, "A");
  EXPECT_EQ(ParseCpuInfo("no colon here\n").Count, 0);
}

TEST(CDSystemFacts, ReadsMemoryInBytesPreferringAvailableToFree) {
  TCDMemInfo m = ParseMemInfo("MemTotal:       16303428 kB\nMemFree:         1000 kB\nMemAvailable:   9000 kB\n");
  EXPECT_EQ(m.TotalBytes, 16303428ull * 1024);
  EXPECT_EQ(m.AvailableBytes, 9000ull * 1024);
  EXPECT_EQ(ParseMemInfo("MemTotal: 2048 kB\nMemFree: 1024 kB").AvailableBytes, 1024ull * 1024);
  EXPECT_EQ(ParseMemInfo("MemTotal: lots kB\nMemFree: 99999999999999999999 kB").TotalBytes, 0u);
}

TEST(CDSystemFacts, FindsTheMountOfAPathByItsLongestMountPoint) {
  std::vector<TCDMount> mounts = ParseMountInfo(
      "22 1 8:1 / / rw,relatime shared:1 - ext4 /dev/sda1 rw\n"
      "30 22 8:2 / /home rw shared:2 - ext4 /dev/sda2 rw\n"
      "31 22 0:40 / /home/ann/My\\040Files rw - nfs4 srv:/f rw\n"
      "32 22 0:41 / /homework rw - tmpfs tmpfs rw\n"
      "bad line\n"
      "33 22 0:42 / /x rw no-separator\n");
  ASSERT_EQ(mounts.size(), 4u);
  EXPECT_EQ(mounts[2].MountPoint, "/home/ann/My Files");
  EXPECT_EQ(mounts[2].FsType, "nfs4");
  EXPECT_EQ(MountOf(mounts, "/home/ann/a.txt")->MountPoint, "/home");
  EXPECT_EQ(MountOf(mounts, "/homework/a")->MountPoint, "/homework");
  EXPECT_EQ(MountOf(mounts, "/home/ann/My Files/Pinmark")->MountPoint, "/home/ann/My Files");
  EXPECT_EQ(MountOf(mounts, "/usr/bin/x")->MountPoint, "/");
  EXPECT_EQ(MountOf(mounts, "relative"), nullptr);
  EXPECT_TRUE(IsNetworkFileSystem("nfs4"));
  EXPECT_FALSE(IsNetworkFileSystem("ext4"));
}

TEST(CDSystemFacts, NamesTheLanguageOfALocaleInEnglish) {
  const std::pair<const char*, const char*> cases[] = {
      {"de_DE.UTF-8", "German"}, {"en_US.UTF-8", "English"}, {"C", "English"},     {"POSIX", "English"},
      {"C.UTF-8", "English"},    {"pt_BR", "Portuguese"},    {"fr", "French"},     {"zh_CN.GB18030", "Chinese"},
      {"sr_RS@latin", "Serbian"}, {"", "English"},
  };
  for (const auto& [locale, name] : cases) EXPECT_EQ(LanguageName(locale), name) << locale;
}

TEST(CDAddressSpace, AnswersWhatIsCodeReadableAndWhereARegionEnds) {
  std::vector<TCDMapping> m = ParseProcMaps(
      "1000-3000 r-xp 00000000 08:01 7 /bin/prog\n"
      "3000-4000 rw-p 00002000 08:01 7 /bin/prog\n"
      "5000-6000 ---p 00000000 00:00 0 \n"
      "6000-8000 rw-p 00000000 00:00 0    [stack]\n"
      "9000-8000 rw-p 00000000 00:00 0 backwards\n"
      "zzzz-ffff rw-p 00000000 00:00 0\n");
  ASSERT_EQ(m.size(), 4u);
  EXPECT_TRUE(m[0].Exec && m[0].IsFile());
  EXPECT_TRUE(m[2].IsReservation());
  EXPECT_EQ(m[3].Path, "[stack]");
  EXPECT_FALSE(m[3].IsFile());
  TCDAddressSpace space(m);
  EXPECT_TRUE(space.IsCode(0x2fff));
  EXPECT_FALSE(space.IsCode(0x3000));
  EXPECT_TRUE(space.IsReadable(0x2ff0, 0x20));  // across two adjacent readable mappings
  EXPECT_FALSE(space.IsReadable(0x3ff0, 0x20));
  EXPECT_FALSE(space.IsReadable(0x5000, 1));
  EXPECT_EQ(space.ReadableEnd(0x6100), 0x8000u);
  EXPECT_EQ(space.Find(0x4800), nullptr);
  // Mappings of module images and reservations are not allocated memory.
  EXPECT_EQ(AllocatedBytes(m), 0x2000u);
}

TEST(CDMemory, ReadsWhatIsMappedAndStopsAtWhatIsNot) {
  const char text[] = "readable";
  char buffer[sizeof text] = {};
  EXPECT_TRUE(ReadOwnMemory(reinterpret_cast<uint64_t>(text), buffer, sizeof text));
  EXPECT_STREQ(buffer, "readable");
  EXPECT_FALSE(ReadOwnMemory(8, buffer, 4));
  // A read running off the end of the stack's mapping returns what lies before it.
  TCDAddressSpace space = TCDAddressSpace::OfThisProcess();
  const TCDMapping* stack = space.Find(reinterpret_cast<uint64_t>(&buffer));
  ASSERT_NE(stack, nullptr);
  if (space.ReadableEnd(stack->End - 1) == stack->End) {
    std::vector<char> big(64);
    EXPECT_EQ(ReadOwnMemoryPartly(stack->End - 16, big.data(), big.size()), 16u);
  }
}
