// pinmark-service as installed: its --version and --help, its manual page
// against --help, its default port and how the unit's options and the
// administrator's combine, and its files under a prefix with a system unit
// that systemd accepts. Its Debian package is tested with the others
// (tests/packaging).
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <algorithm>
#include <filesystem>
#include <set>
#include <string>

#include "tests/support/ChildProcess.h"
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
  for (const char* command : {"account add", "account passwd", "account remove", "account list", "account import",
                              "account set", "node key", "backup"})
    EXPECT_NE(page.find(command), std::string::npos) << command;
}

TEST(ServiceInstall, ItsComponentLaysOutTheProgramAUnitSystemdAcceptsAndTheManualPage) {
  TempDir dir;
  const fs::path prefix = dir.File("prefix");
  ASSERT_EQ(
      RunToEnd(CMAKE_COMMAND,
               {"--install", PINMARK_BUILD_DIR, "--component", "pinmark-service", "--prefix", prefix.string()}),
      0);
  EXPECT_EQ(FilesBelow(prefix), (std::set<std::string>{"bin/pinmark-service", "lib/systemd/system/pinmark-service.service",
                                                        "share/man/man1/pinmark-service.1.gz"}));
  const fs::path unit = prefix / "lib/systemd/system/pinmark-service.service";
  const std::string text = TempDir::Read(unit);
  EXPECT_NE(text.find("\nExecStart=" + (prefix / "bin/pinmark-service").string() +
                      " --db %S/pinmark-service/pinmark.db --host 127.0.0.1 --host ::1 --port 8080 $PINMARK_SERVICE_OPTS\n"),
            std::string::npos)
      << text;
  for (const char* line :
       {"\nDynamicUser=yes\n", "\nStateDirectory=pinmark-service\n", "\nProtectSystem=strict\n", "\nNoNewPrivileges=yes\n",
        "\nPrivateTmp=yes\n", "\nRestrictAddressFamilies=AF_INET AF_INET6 AF_UNIX\n",
        "\nSystemCallFilter=@system-service\n",
        // The database is made on the first start only.
        "\nExecStartPre=/bin/sh -c 'test -e %S/pinmark-service/.database-made || {"})
    EXPECT_NE(text.find(line), std::string::npos) << line;
  EXPECT_EQ(RunToEnd("systemd-analyze", {"verify", "--man=no", unit.string()}), 0);

  std::string page;
  ASSERT_EQ(RunToEnd("gzip", {"-dc", (prefix / "share/man/man1/pinmark-service.1.gz").string()}, {}, &page), 0);
  EXPECT_EQ(page, TempDir::Read(MAN_PAGE));
}

// The unit puts the administrator's PINMARK_SERVICE_OPTS after its own
// options, so a later --port wins, a later --host takes the place of the
// unit's addresses, and anything else adds; where the system has no ::1,
// the unit's pair listens on 127.0.0.1 alone. Each run
// is in a network namespace of its own, where port 8080 is free.
TEST(ServiceInstall, ListensOn8080UnlessToldOtherwiseAndTheLastHostsOrPortWin) {
  ChildProcess probe("unshare", {"--net", "--map-root-user", "true"});
  if (probe.Wait() != 0) GTEST_SKIP() << "cannot make a network namespace here (" << probe.Err() << ")";
  const struct {
    std::vector<std::string> args;
    std::string listening;  // what the service says it listens on, line by line; empty: not 8080
    bool withoutIPv6 = false;  // loopback without ::1, as on a system with IPv6 switched off
  } cases[] = {
      {{}, "127.0.0.1:8080"},
      {{"--host", "127.0.0.1", "--host", "::1", "--port", "8080"}, "127.0.0.1:8080 ::1:8080"},
      {{"--host", "127.0.0.1", "--host", "::1", "--port", "8080", "--host", "127.0.0.2"}, "127.0.0.2:8080"},
      {{"--host", "127.0.0.1", "--host", "::1", "--port", "8080", "--host", "127.0.0.2", "--host", "::1"},
       "127.0.0.2:8080 ::1:8080"},
      {{"--host", "127.0.0.1", "--host", "::1", "--port", "8080"}, "127.0.0.1:8080", true},
      {{"--host", "127.0.0.1", "--port", "8080", "--zone", "dyn.example.org"}, "127.0.0.1:8080"},
      {{"--host", "127.0.0.1", "--port", "8080", "--port", "8081"}, "127.0.0.1:8081"},
      {{"--host", "127.0.0.1", "--port", "8080", "--host", "127.0.0.2"}, "127.0.0.2:8080"},
      {{"--port", "0"}, ""},
  };
  for (const auto& c : cases) {
    std::string line = std::string(c.withoutIPv6 ? "echo 1 >/proc/sys/net/ipv6/conf/lo/disable_ipv6 && " : "") +
                       "ip link set lo up && exec \"$0\" --account demo:" +
                       "0123456789abcdef0123456789abcdef";
    for (const std::string& arg : c.args) line += " '" + arg + "'";
    ChildProcess service("unshare", {"--net", "--map-root-user", "sh", "-c", line, SERVICE_PATH});
    std::string said;
    // Every address is listened on before the first line is written: the lines are all there once the last is.
    const std::size_t lines = c.listening.empty() ? 1 : std::count(c.listening.begin(), c.listening.end(), ' ') + 1;
    ASSERT_TRUE(service.WaitUntil([&] {
      said.clear();
      std::size_t at = 0;
      for (std::size_t n = 0; n < lines; ++n) {
        at = service.Out().find("listening on ", at);
        if (at == std::string::npos || service.Out().find('\n', at) == std::string::npos) return false;
        said += (n ? " " : "") + service.Out().substr(at + 13, service.Out().find('\n', at) - at - 13);
        at = service.Out().find('\n', at);
      }
      return true;
    })) << service.Err();
    if (c.listening.empty())
      EXPECT_EQ(said.find(":8080"), std::string::npos) << said;
    else
      EXPECT_EQ(said, c.listening);
    if (c.withoutIPv6) {
      EXPECT_TRUE(service.WaitUntil([&] { return service.Err().find("not listening on ::1") != std::string::npos; }));
    }
  }
}
