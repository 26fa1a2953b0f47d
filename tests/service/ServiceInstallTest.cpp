// pinmark-service as installed: its --version and --help, its manual page
// against --help, its files under a prefix with a system unit that systemd
// accepts, and its own Debian package.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <filesystem>
#include <set>
#include <string>

#include "tests/support/CommandRun.h"
#include "tests/support/TempDir.h"

namespace fs = std::filesystem;
using std::chrono::seconds;

TEST(ServiceInstall, VersionAndHelpGoToStandardOutput) {
  std::string out;
  EXPECT_EQ(RunToEnd(SERVICE_PATH, {"--version"}, {}, &out), 0);
  EXPECT_EQ(out, "pinmark-service " PINMARK_VERSION "\n");
  EXPECT_EQ(RunToEnd(SERVICE_PATH, {"--help"}, {}, &out), 0);
  EXPECT_EQ(out.rfind("usage: pinmark-service ", 0), 0u) << out;
}

// Its options are checked with every program's in the packaging tests; the
// commands are the service's own.
TEST(ServiceInstall, TheManualPageDescribesEveryAccountCommand) {
  const std::string page = TempDir::Read(MAN_PAGE);
  for (const char* command : {"account add", "account passwd", "account remove", "account list", "account import"})
    EXPECT_NE(page.find(command), std::string::npos) << command;
}

TEST(ServiceInstall, ItsComponentLaysOutTheProgramAUnitSystemdAcceptsAndTheManualPage) {
  TempDir dir;
  const fs::path prefix = dir.File("prefix");
  ASSERT_EQ(
      RunToEnd(CMAKE_COMMAND, {"--install", PINMARK_BUILD_DIR, "--component", "service", "--prefix", prefix.string()}),
      0);
  EXPECT_EQ(FilesBelow(prefix),
            (std::set<std::string>{"bin/pinmark-service", "lib/systemd/system/pinmark-service.service",
                                   "share/doc/pinmark-service/README.md", "share/doc/pinmark-service/copyright",
                                   "share/doc/pinmark-service/changelog.Debian.gz",
                                   "share/lintian/overrides/pinmark-service", "share/man/man1/pinmark-service.1.gz"}));
  const fs::path unit = prefix / "lib/systemd/system/pinmark-service.service";
  const std::string text = TempDir::Read(unit);
  EXPECT_NE(text.find("\nExecStart=" + (prefix / "bin/pinmark-service").string() +
                      " --db %S/pinmark/pinmark.db $PINMARK_SERVICE_OPTIONS\n"),
            std::string::npos)
      << text;
  for (const char* line :
       {"\nDynamicUser=yes\n", "\nStateDirectory=pinmark\n", "\nProtectSystem=strict\n", "\nNoNewPrivileges=yes\n",
        "\nPrivateTmp=yes\n", "\nRestrictAddressFamilies=AF_INET AF_INET6 AF_UNIX\n",
        "\nSystemCallFilter=@system-service\n",
        // The database is made on the first start only.
        "\nExecStartPre=/bin/sh -c 'test -e %S/pinmark/.database-made || {"})
    EXPECT_NE(text.find(line), std::string::npos) << line;
  EXPECT_EQ(RunToEnd("systemd-analyze", {"verify", "--man=no", unit.string()}), 0);

  std::string page;
  ASSERT_EQ(RunToEnd("gzip", {"-dc", (prefix / "share/man/man1/pinmark-service.1.gz").string()}, {}, &page), 0);
  EXPECT_EQ(page, TempDir::Read(MAN_PAGE));
}

TEST(ServiceInstall, ItsDebianPackageHoldsTheServiceAndDependsOnWhatItLinks) {
  TempDir dir;
  // Only this component, so that the client's package, tested on its own, is not made beside it.
  ASSERT_EQ(RunToEnd(CPACK_COMMAND, {"-G", "DEB", "--config", PINMARK_BUILD_DIR "/CPackConfig.cmake", "-B",
                                     dir.File("out"), "-D", "CPACK_COMPONENTS_ALL=service"}),
            0);
  const std::string deb = dir.File("out/pinmark-service_" PINMARK_VERSION "-1_amd64.deb");
  ASSERT_TRUE(fs::exists(deb));
  std::string fields;
  RunToEnd("dpkg-deb", {"-f", deb, "Package", "Version", "Section"}, {}, &fields);
  EXPECT_EQ(fields, "Package: pinmark-service\nVersion: " PINMARK_VERSION "-1\nSection: net\n");
  std::string depends;
  RunToEnd("dpkg-deb", {"-f", deb, "Depends"}, {}, &depends);
  for (const char* library : {"libc6 (>= ", "libsqlite3-0 (>= ", "libssl3 (>= "})
    EXPECT_NE(depends.find(library), std::string::npos) << library << " in " << depends;
  EXPECT_EQ(depends.find("httplib"), std::string::npos) << "the front is Boost's, built in: " << depends;
  EXPECT_EQ(depends.find("libqt6"), std::string::npos) << "the service needs no windows: " << depends;
  std::string description;
  RunToEnd("dpkg-deb", {"-f", deb, "Description"}, {}, &description);
  EXPECT_EQ(description.rfind("self-hosted check-in service for Pinmark\n", 0), 0u) << description;

  const fs::path root = dir.File("root");
  ASSERT_EQ(RunToEnd("dpkg-deb", {"-x", deb, root.string()}), 0);
  EXPECT_EQ(FilesBelow(root),
            (std::set<std::string>{"usr/bin/pinmark-service", "usr/lib/systemd/system/pinmark-service.service",
                                   "usr/share/doc/pinmark-service/README.md", "usr/share/doc/pinmark-service/copyright",
                                   "usr/share/doc/pinmark-service/changelog.Debian.gz",
                                   "usr/share/lintian/overrides/pinmark-service",
                                   "usr/share/man/man1/pinmark-service.1.gz"}));
  EXPECT_NE(TempDir::Read(root / "usr/lib/systemd/system/pinmark-service.service")
                .find("\nExecStart=/usr/bin/pinmark-service --db %S/pinmark/pinmark.db"),
            std::string::npos);
}
