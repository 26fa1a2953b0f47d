// Pinmark installed: cmake --install under a prefix (also by another user,
// from a build they cannot write to), a staged (DESTDIR) copy started from
// where it was installed with a read-only program folder, and the Debian
// packages that scripts/package built (PINMARK_DEB_DIR) with their contents,
// fields, dependencies and maintainer scripts, their debug information, a
// crash report of the stripped program, and hardening-check's verdict.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <map>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "crash/sys/FileCrc.h"
#include "runtime/PrivateProfile.h"
#include "settings/md5.h"
#include "tests/support/ChildProcess.h"
#include "tests/support/CommandRun.h"
#include "tests/support/HttpTestPeer.h"
#include "tests/support/ReferenceService.h"
#include "tests/support/TempDir.h"

namespace fs = std::filesystem;

namespace {
using std::chrono::seconds;

const std::string kDigest = DigestToHex(MD5OfString("secret"));

// Every file an install lays out below its prefix, and nothing else: no
// development program, no unit enabled.
// A whole install: the client's files and the service's (whose names hold
// "pinmark-service").
const std::set<std::string> kInstalledFiles = {
    "bin/pinmark",
    "bin/pinmark-checkin",
    "bin/pinmark-service",
    "lib/systemd/system/pinmark-service.service",
    "share/man/man1/pinmark-service.1.gz",
    "lib/systemd/system-generators/pinmark-checkin-timer",
    "lib/systemd/system/pinmark-checkin.service",
    "lib/systemd/system/pinmark-checkin.timer",
    "lib/systemd/user-generators/pinmark-checkin-timer",
    "lib/systemd/user/pinmark-checkin.service",
    "lib/systemd/user/pinmark-checkin.timer",
    "share/applications/pinmark.desktop",
    "share/metainfo/" PINMARK_APPSTREAM_ID ".metainfo.xml",
    "share/man/man1/pinmark-checkin.1.gz",
    "share/man/man1/pinmark.1.gz",
    "share/icons/hicolor/128x128/apps/pinmark.png",
    "share/icons/hicolor/16x16/apps/pinmark.png",
    "share/icons/hicolor/22x22/apps/pinmark.png",
    "share/icons/hicolor/24x24/apps/pinmark.png",
    "share/icons/hicolor/256x256/apps/pinmark.png",
    "share/icons/hicolor/32x32/apps/pinmark.png",
    "share/icons/hicolor/48x48/apps/pinmark.png",
    "share/icons/hicolor/64x64/apps/pinmark.png",
    "share/icons/hicolor/scalable/apps/pinmark.svg",
};
const char* const kPrograms[] = {"bin/pinmark", "bin/pinmark-checkin"};

// The stamp in the file's checksum section agrees with its content.
bool StampIsValid(const std::string& file) {
  std::ifstream in(file, std::ios::binary);
  TCDReadAt read = [&](uint64_t offset, void* buffer, std::size_t n) {
    in.clear();
    in.seekg(static_cast<std::streamoff>(offset));
    return static_cast<bool>(in.read(static_cast<char*>(buffer), static_cast<std::streamsize>(n)));
  };
  const auto field = FindChecksumField(read, fs::file_size(file));
  uint8_t bytes[4] = {};
  if (!field || !read(*field, bytes, 4)) return false;
  const uint32_t stored = bytes[0] | (bytes[1] << 8) | (bytes[2] << 16) | (static_cast<uint32_t>(bytes[3]) << 24);
  return stored != 0 && VerifyFileChecksum(file, stored) == TCDFileCrcResult::Match;
}

bool HasSection(const std::string& file, const char* name) {
  std::ifstream in(file, std::ios::binary);
  TCDReadAt read = [&](uint64_t offset, void* buffer, std::size_t n) {
    in.clear();
    in.seekg(static_cast<std::streamoff>(offset));
    return static_cast<bool>(in.read(static_cast<char*>(buffer), static_cast<std::streamsize>(n)));
  };
  return FindElfSection(read, fs::file_size(file), name).has_value();
}

mode_t ModeOf(const fs::path& path) {
  struct stat st {};
  EXPECT_EQ(::stat(path.c_str(), &st), 0) << path;
  return st.st_mode & 07777;
}

std::string Account(const std::string& url) {
  return "[Program]\nURL=" + url + "\n[User]\nName=alice\nPassword=" + kDigest + "\nComputer=server\n";
}
}  // namespace

TEST(Install, UnderAPrefixItLaysOutEveryFileWithUnitsSystemdAccepts) {
  TempDir dir;
  const fs::path prefix = dir.File("prefix");
  ASSERT_EQ(RunToEnd(CMAKE_COMMAND, {"--install", PINMARK_BUILD_DIR, "--prefix", prefix.string()}), 0);
  EXPECT_EQ(FilesBelow(prefix), kInstalledFiles);
  for (const char* program : kPrograms) {
    EXPECT_TRUE(StampIsValid(prefix / program)) << program;
    EXPECT_EQ(ModeOf(prefix / program), 0755u) << program;
  }
  EXPECT_EQ(ModeOf(prefix / "lib/systemd/user-generators/pinmark-checkin-timer"), 0755u);
  EXPECT_EQ(ModeOf(prefix / "lib/systemd/system-generators/pinmark-checkin-timer"), 0755u);
  EXPECT_EQ(ModeOf(prefix / "share/applications/pinmark.desktop"), 0644u);

  const std::string desktop = TempDir::Read(prefix / "share/applications/pinmark.desktop");
  EXPECT_NE(desktop.find("\nExec=" + (prefix / "bin/pinmark").string() + "\n"), std::string::npos) << desktop;
  EXPECT_NE(desktop.find("\nTryExec=" + (prefix / "bin/pinmark").string() + "\n"), std::string::npos) << desktop;
  EXPECT_NE(desktop.find("\nCategories=Network;\n"), std::string::npos) << desktop;
  EXPECT_NE(desktop.find("\nIcon=pinmark\n"), std::string::npos) << desktop;
  EXPECT_EQ(RunToEnd("desktop-file-validate", {(prefix / "share/applications/pinmark.desktop").string()}), 0);
  std::string validation;
  EXPECT_EQ(RunToEnd("appstreamcli",
                     {"validate", "--no-net", "--pedantic",
                      (prefix / "share/metainfo/" PINMARK_APPSTREAM_ID ".metainfo.xml").string()},
                     {}, &validation),
            0)
      << validation;
  const std::string service = TempDir::Read(prefix / "lib/systemd/user/pinmark-checkin.service");
  EXPECT_NE(service.find("\nExecStart=" + (prefix / "bin/pinmark-checkin").string() + "\n"), std::string::npos);

  // As installed for everyone: the program folder is not the user's, so the
  // generator reads Refresh from the user's configuration folder.
  fs::permissions(prefix / "bin", fs::perms::owner_exec | fs::perms::owner_read | fs::perms::group_read |
                                      fs::perms::group_exec | fs::perms::others_read | fs::perms::others_exec);
  const std::string config = dir.File("config"), generated = dir.File("generated"), runtime = dir.File("runtime");
  fs::create_directories(config + "/pinmark");
  fs::create_directories(runtime);
  fs::permissions(runtime, fs::perms::owner_all);
  TempDir::Write(config + "/pinmark/Pinmark.ini", "[Program]\nRefresh=15\n");
  const std::map<std::string, std::string> env = {{"XDG_CONFIG_HOME", config}, {"XDG_RUNTIME_DIR", runtime}};
  ASSERT_EQ(RunToEnd((prefix / "lib/systemd/user-generators/pinmark-checkin-timer").string(),
                     {generated, generated + "-early", generated + "-late"}, env),
            0);
  EXPECT_EQ(
      TempDir::Read(generated + "/pinmark-checkin.timer.d/refresh.conf"),
      "# From Refresh in " + config + "/pinmark/Pinmark.ini\n[Timer]\nOnUnitActiveSec=\nOnUnitActiveSec=900000ms\n");
  EXPECT_FALSE(fs::exists(prefix / "bin/Pinmark.ini"));

  // systemd loads the units with the generated drop-in; the trailing colon
  // keeps its own folders in the search path.
  std::map<std::string, std::string> systemd = env;
  // It looks the units' man pages up.
  systemd["MANPATH"] = (prefix / "share/man").string();
  systemd["SYSTEMD_UNIT_PATH"] = generated + ":" + (prefix / "lib/systemd/user").string() + ":";
  EXPECT_EQ(
      RunToEnd("systemd-analyze", {"verify", "--user", "pinmark-checkin.timer", "pinmark-checkin.service"}, systemd),
      0);
  fs::permissions(prefix / "bin", fs::perms::owner_all, fs::perm_options::add);

  // The machine's units: their generator reads /etc/pinmark/Pinmark.ini
  // (hourly while there is none), the service runs as a dynamic user that
  // keeps its record in its state folder, and systemd accepts both.
  const std::string systemGenerated = dir.File("system-generated");
  ASSERT_EQ(RunToEnd((prefix / "lib/systemd/system-generators/pinmark-checkin-timer").string(),
                     {systemGenerated, systemGenerated + "-early", systemGenerated + "-late"}, env),
            0);
  EXPECT_EQ(TempDir::Read(systemGenerated + "/pinmark-checkin.timer.d/refresh.conf")
                .rfind("# From Refresh in /etc/pinmark/Pinmark.ini\n", 0),
            0u);
  const std::string systemService = TempDir::Read(prefix / "lib/systemd/system/pinmark-checkin.service");
  for (const std::string& line : std::vector<std::string>{
           "DynamicUser=yes", "StateDirectory=pinmark-checkin", "LoadCredential=Pinmark.ini:/etc/pinmark/Pinmark.ini",
           "ExecStart=" + (prefix / "bin/pinmark-checkin").string() + " --ini %S/pinmark-checkin/Pinmark.ini"})
    EXPECT_NE(systemService.find("\n" + line + "\n"), std::string::npos) << line;
  for (const char* timer : {"lib/systemd/system/pinmark-checkin.timer", "lib/systemd/user/pinmark-checkin.timer"})
    EXPECT_NE(TempDir::Read(prefix / timer).find("\nRandomizedDelaySec="), std::string::npos) << timer;
  systemd["SYSTEMD_UNIT_PATH"] = systemGenerated + ":" + (prefix / "lib/systemd/system").string() + ":";
  EXPECT_EQ(RunToEnd("systemd-analyze", {"verify", "pinmark-checkin.timer", "pinmark-checkin.service"}, systemd), 0);
}

TEST(Install, AStagedCopyInAReadOnlyFolderKeepsItsSettingsInTheUsersConfigurationFolder) {
  TempDir dir;
  const fs::path stage = dir.File("stage");
  const fs::path bin = stage / "usr/bin";
  // Stripping changes the files; the install stamps them again.
  for (const char* component : {"pinmark", "pinmark-checkin"})
    ASSERT_EQ(RunToEnd(CMAKE_COMMAND,
                       {"--install", PINMARK_BUILD_DIR, "--component", component, "--prefix", "/usr", "--strip"},
                       {{"DESTDIR", stage.string()}}),
              0)
        << component;
  for (const char* program : kPrograms) {
    EXPECT_FALSE(HasSection(stage / "usr" / program, ".symtab")) << program << " was not stripped";
    EXPECT_TRUE(StampIsValid(stage / "usr" / program)) << program;
  }
  fs::permissions(bin, fs::perms::owner_write | fs::perms::group_write | fs::perms::others_write,
                  fs::perm_options::remove);

  const std::string config = dir.File("config");
  const std::string ini = config + "/pinmark/Pinmark.ini";
  std::map<std::string, std::string> env = {
      {"XDG_CONFIG_HOME", config}, {"HOME", dir.File("home")}, {"QT_QPA_PLATFORM", "offscreen"}, {"BROWSER", "true"}};
  {
    // The window makes the folder and its settings file there on its first start.
    ChildProcess window((bin / "pinmark").string(), {}, env);
    // The lock of its first write makes the file empty at first.
    EXPECT_TRUE(window.WaitUntil([&] { return TempDir::Read(ini).find("IPAddress=UNKNOWN") != std::string::npos; }))
        << window.Err();
  }
  EXPECT_EQ(ModeOf(config + "/pinmark"), 0700u);
  EXPECT_EQ(ModeOf(ini), 0600u) << "its digest is as good as the password";

  ReferenceService service("alice", kDigest);
  ASSERT_GT(service.Port(), 0);
  const std::string url = service.Url();
  TempDir::Write(ini, Account(url));

  // pinmark-checkin finds the same file and records its check-in there.
  std::string out;
  EXPECT_EQ(RunToEnd((bin / "pinmark-checkin").string(), {}, env, &out, seconds(30)), 0);
  EXPECT_EQ(out, "127.0.0.1\n");
  EXPECT_EQ(GetPrivateProfileString("Temp", "IPAddress", "", ini), "127.0.0.1");
  EXPECT_EQ(GetPrivateProfileString("Temp", "HTTPRequest", "", ini),
            url + "?userid=alice&enc=" + kDigest + "&node=server");
  EXPECT_EQ(service.CheckIns(), 1);
  std::string help;
  RunToEnd((bin / "pinmark-checkin").string(), {"--help"}, env, &help);
  EXPECT_NE(help.find("(default: " + ini + ")"), std::string::npos) << help;

  // Without XDG_CONFIG_HOME the folder is ~/.config/pinmark.
  env["XDG_CONFIG_HOME"] = "";
  fs::create_directories(dir.File("home"));
  EXPECT_EQ(RunToEnd((bin / "pinmark-checkin").string(), {"--timer-period"}, env, &out), 0);
  EXPECT_NE(out.find(dir.File("home") + "/.config/pinmark/Pinmark.ini"), std::string::npos) << out;

  EXPECT_EQ(FilesBelow(bin), (std::set<std::string>{"pinmark", "pinmark-checkin"})) << "nothing written beside them";
  fs::permissions(bin, fs::perms::owner_write, fs::perm_options::add);
}

// The packages scripts/package built, by package name (the -dbgsym ones
// are .ddeb files), from PINMARK_DEB_DIR; empty when it is not set.
std::map<std::string, fs::path> BuiltPackages() {
  std::map<std::string, fs::path> debs;
  const char* folder = std::getenv("PINMARK_DEB_DIR");
  if (!folder || !*folder || !fs::is_directory(folder)) return debs;
  for (const auto& entry : fs::directory_iterator(folder))
    if (entry.path().extension() == ".deb" || entry.path().extension() == ".ddeb") {
      std::string name;
      RunToEnd("dpkg-deb", {"-f", entry.path().string(), "Package"}, {}, &name);
      debs[name.substr(name.find(' ') + 1, name.size() - name.find(' ') - 2)] = entry.path();
    }
  return debs;
}
#define PINMARK_PACKAGES_OR_SKIP(debs)                                                                         \
  const auto debs = BuiltPackages();                                                                           \
  if (debs.empty()) {                                                                                          \
    GTEST_SKIP() << "no packages: run scripts/package, then these tests with PINMARK_DEB_DIR";                 \
  }                                                                                                            \
  ASSERT_EQ(debs.size(), 6u)

// "<first two hex digits>/<the rest>" of a program's build id.
std::string BuildIdPath(const std::string& program) {
  std::string notes;
  RunToEnd("readelf", {"-n", program}, {}, &notes);
  const std::size_t at = notes.find("Build ID: ");
  if (at == std::string::npos) return std::string();
  const std::string id = notes.substr(at + 10, notes.find('\n', at) - at - 10);
  return id.substr(0, 2) + "/" + id.substr(2);
}

std::string Field(const fs::path& deb, const char* name) {
  std::string value;
  RunToEnd("dpkg-deb", {"-f", deb.string(), name}, {}, &value);
  while (!value.empty() && value.back() == '\n') value.pop_back();
  return value;
}

// What each package holds besides its copyright file and changelog, and what
// its maintainer scripts must (and must not) do.
struct TPackageCase {
  std::string Name;
  std::set<std::string> Files;
  std::vector<std::string> Depends, NotDepends;
  std::vector<std::string> PostinstHas, PostinstLacks, PostrmHas;
};

std::vector<TPackageCase> PackageCases() {
  std::set<std::string> window, checkin, service;
  for (const std::string& file : kInstalledFiles) {
    std::set<std::string>& into = file.find("pinmark-service") != std::string::npos   ? service
                                  : file.find("pinmark-checkin") != std::string::npos ? checkin
                                                                                      : window;
    // Debian 12 keeps system units in /lib.
    into.insert((file.starts_with("lib/systemd/system/") ? "" : "usr/") + file);
  }
  service.insert("etc/default/pinmark-service");
  const std::vector<std::string> noQt = {"libqt6", "libQt6", "libgl"};
  return {
      {"pinmark",
       window,
       {"libc6 (>= ", "libqt6widgets6 (>= ", "libssl3", "libdw1", "libcapstone4", "libudev1"},
       {"-dev", "libqt6network6"},
       {},
       {},
       {}},
      // The timers are the administrator's (or user's) to enable: an upgrade
      // keeps them enabled only where they were, and nothing starts them.
      {"pinmark-checkin",
       checkin,
       {"libc6 (>= ", "libssl3", "libdw1", "libunwind8", "libcapstone4", "libudev1"},
       noQt,
       {"if deb-systemd-helper --quiet was-enabled 'pinmark-checkin.timer'; then",
        "if deb-systemd-helper --quiet --user was-enabled 'pinmark-checkin.timer' ; then"},
       {"deb-systemd-invoke", "--global enable", "was-enabled defaults to true"},
       {"/var/lib/private/pinmark-checkin"}},
      // A daemon: enabled and started on install, restarted on upgrade.
      {"pinmark-service",
       service,
       {"libc6 (>= ", "libsqlite3-0 (>= ", "libssl3 (>= ", "libldns3 (>= "},
       {"libqt6", "libQt6", "libgl", "httplib"},
       {"deb-systemd-helper unmask 'pinmark-service.service'", "deb-systemd-helper enable 'pinmark-service.service'",
        "deb-systemd-invoke $_dh_action 'pinmark-service.service'", "_dh_action=restart"},
       {},
       {"/var/lib/private/pinmark-service", "deb-systemd-helper purge 'pinmark-service.service'"}},
  };
}

TEST(Package, EachPackageHoldsItsFilesDependsOnWhatItLinksAndHasItsDebugInformationInADbgsymPackage) {
  PINMARK_PACKAGES_OR_SKIP(debs);
  TempDir dir;
  for (const TPackageCase& c : PackageCases()) {
    SCOPED_TRACE(c.Name);
    ASSERT_TRUE(debs.contains(c.Name) && debs.contains(c.Name + "-dbgsym"));
    const fs::path deb = debs.at(c.Name), dbgsym = debs.at(c.Name + "-dbgsym");
    EXPECT_EQ(Field(deb, "Maintainer"), PINMARK_MAINTAINER);
    EXPECT_EQ(Field(deb, "Homepage"), PINMARK_HOMEPAGE);
    EXPECT_EQ(Field(deb, "Architecture"), "amd64");
    EXPECT_GT(std::stoi(Field(deb, "Installed-Size")), 0);
    const std::string depends = Field(deb, "Depends");
    for (const std::string& library : c.Depends) EXPECT_NE(depends.find(library), std::string::npos) << library;
    for (const std::string& library : c.NotDepends) EXPECT_EQ(depends.find(library), std::string::npos) << depends;

    const fs::path root = dir.File(c.Name);
    ASSERT_EQ(RunToEnd("dpkg-deb", {"-x", deb.string(), root.string()}), 0);
    std::set<std::string> expected = c.Files;
    for (const char* doc : {"copyright", "changelog.Debian.gz"}) expected.insert("usr/share/doc/" + c.Name + "/" + doc);
    EXPECT_EQ(FilesBelow(root), expected);
    const fs::path program = root / "usr/bin" / c.Name;
    EXPECT_FALSE(HasSection(program, ".symtab")) << "stripped";
    EXPECT_FALSE(HasSection(program, ".debug_info")) << "that is the -dbgsym package's";
    EXPECT_TRUE(HasSection(program, ".gnu_debugdata")) << "reports name functions from it";
    if (c.Name != "pinmark-service") {
      EXPECT_TRUE(StampIsValid(program));
    }

    // The maintainer scripts.
    const fs::path control = dir.File(c.Name + "-control");
    ASSERT_EQ(RunToEnd("dpkg-deb", {"-e", deb.string(), control.string()}), 0);
    const std::string postinst = TempDir::Read(control / "postinst"), postrm = TempDir::Read(control / "postrm");
    for (const std::string& line : c.PostinstHas) EXPECT_NE(postinst.find(line), std::string::npos) << line;
    for (const std::string& line : c.PostinstLacks) EXPECT_EQ(postinst.find(line), std::string::npos) << line;
    for (const std::string& line : c.PostrmHas) EXPECT_NE(postrm.find(line), std::string::npos) << line;

    // The debug package: the program's debug file, named by its build id.
    EXPECT_EQ(Field(dbgsym, "Depends"), c.Name + " (= " + Field(deb, "Version") + ")");
    const fs::path debugRoot = dir.File(c.Name + "-dbgsym");
    ASSERT_EQ(RunToEnd("dpkg-deb", {"-x", dbgsym.string(), debugRoot.string()}), 0);
    const std::string id = BuildIdPath(program.string());
    ASSERT_FALSE(id.empty());
    EXPECT_EQ(FilesBelow(debugRoot / "usr/lib/debug"), std::set<std::string>{".build-id/" + id + ".debug"});
    EXPECT_TRUE(HasSection(debugRoot / ("usr/lib/debug/.build-id/" + id + ".debug"), ".debug_info"));
  }
  const fs::path service = dir.File("pinmark-service");
  EXPECT_NE(TempDir::Read(service / "lib/systemd/system/pinmark-service.service")
                .find("\nExecStart=/usr/bin/pinmark-service --db %S/pinmark-service/pinmark.db --host 127.0.0.1 "
                      "--host ::1 --port 8080 $PINMARK_SERVICE_OPTS\n"),
            std::string::npos);
  EXPECT_NE(TempDir::Read(service / "etc/default/pinmark-service").find("\nPINMARK_SERVICE_OPTS=\n"),
            std::string::npos);
  std::string conffiles = TempDir::Read(dir.File("pinmark-service-control") + "/conffiles");
  EXPECT_EQ(conffiles, "/etc/default/pinmark-service\n");
}

TEST(Package, EveryProgramIsHardened) {
  if (::access("/usr/bin/hardening-check", X_OK) != 0)
    GTEST_SKIP() << "hardening-check (devscripts) is not installed: the programs were not checked";
  PINMARK_PACKAGES_OR_SKIP(debs);
  TempDir dir;
  for (const char* name : {"pinmark", "pinmark-checkin", "pinmark-service"}) {
    const fs::path root = dir.File(name);
    ASSERT_EQ(RunToEnd("dpkg-deb", {"-x", debs.at(name).string(), root.string()}), 0);
    std::string report;
    // PIE, stack protector, fortified libc calls, full RELRO, immediate
    // binding. The code is built with -fcf-protection, but Debian 12's C
    // start files carry no control-flow note, so the linker never marks a
    // program as protected and the check could not pass.
    EXPECT_EQ(RunToEnd("hardening-check", {"--nocfprotection", (root / "usr/bin" / name).string()}, {}, &report), 0)
        << report;
  }
}

// The columns of the frame of main in the main thread's section of a report:
// address, offset, module, then the unit and the lines when the debug
// information was found, and the function.
std::vector<std::string> MainFrame(const std::string& report) {
  const std::size_t section = report.find("\r\n\r\nmain thread ($");
  if (section == std::string::npos) return {};
  std::istringstream in(report.substr(section + 4, report.find("\r\n\r\n", section + 4) - section - 4));
  for (std::string line; std::getline(in, line);) {
    if (!line.empty() && line.back() == '\r') line.pop_back();
    std::istringstream words(line);
    std::vector<std::string> columns;
    for (std::string word; words >> word;) columns.push_back(word);
    if (columns.size() >= 4 && columns[2] == "pinmark-checkin" && columns.back() == "main") return columns;
  }
  return {};
}

// A crash report of the installed pinmark-checkin: it checks in, and a fault
// hits its main thread while it waits for the next run. prefix runs it (a
// mount namespace with the debug package's files, or nothing).
std::string CrashReportOf(const fs::path& program, const std::vector<std::string>& prefix, const TempDir& dir) {
  HttpTestPeer peer([](const std::string&, int) {
    return HttpTestPeer::Reply{"HTTP/1.1 200 OK\r\nContent-Length: 11\r\n\r\n203.0.113.7"};
  });
  const std::string ini = dir.File("Pinmark.ini");
  TempDir::Write(ini, Account(peer.Url("/u.php")));
  fs::permissions(ini, fs::perms::owner_read | fs::perms::owner_write);
  std::vector<std::string> args = prefix;
  for (const std::string& arg : {program.string(), std::string("--ini"), ini, std::string("--every"), std::string("1")})
    args.push_back(arg);
  const std::string first = args.front();
  args.erase(args.begin());
  ChildProcess run(first, args, {{"XDG_CONFIG_HOME", dir.File("config")}, {"DISPLAY", ""}});
  if (!run.WaitUntil([&] { return run.Out() == "203.0.113.7\n"; })) {
    ADD_FAILURE() << run.Err();
    return std::string();
  }
  // The program itself: with a namespace in front it is the child's child.
  std::string pid;
  for (int i = 0; i < 100 && pid.empty(); ++i) {
    ChildProcess find("pgrep", {"-n", "-f", "^" + program.string() + " --ini " + ini});
    find.Wait();
    pid = find.Out();
    while (!pid.empty() && pid.back() == '\n') pid.pop_back();
  }
  EXPECT_FALSE(pid.empty());
  if (!pid.empty()) ::kill(std::stoi(pid), SIGSEGV);
  run.Wait(seconds(60));
  return run.Err();
}

// The stripped program names its functions in a report from its own
// .gnu_debugdata; with the debug package installed, units and lines too.
TEST(Package, ReportsOfTheStrippedProgramNameFunctionsWithoutTheDebugPackageAndUnitsAndLinesWithIt) {
  PINMARK_PACKAGES_OR_SKIP(debs);
  TempDir dir;
  const fs::path root = dir.File("root");
  ASSERT_EQ(RunToEnd("dpkg-deb", {"-x", debs.at("pinmark-checkin").string(), root.string()}), 0);
  ASSERT_EQ(RunToEnd("dpkg-deb", {"-x", debs.at("pinmark-checkin-dbgsym").string(), root.string()}), 0);
  const fs::path program = root / "usr/bin/pinmark-checkin";

  // The system's debug folder is /usr/lib/debug, outside the extracted root.
  const std::string without = CrashReportOf(program, {}, dir);
  const std::vector<std::string> bare = MainFrame(without);
  ASSERT_EQ(bare.size(), 4u) << "address, offset, module, function only:\n" << without;
  // The name came from .gnu_debugdata: the dynamic symbol table lacks main.
  std::string dynamic;
  RunToEnd("nm", {"-D", "--defined-only", program.string()}, {}, &dynamic);
  EXPECT_EQ(dynamic.find(" main\n"), std::string::npos);

  // The same with the debug package's files at /usr/lib/debug, in a mount
  // namespace of the run's own.
  if (!fs::is_directory("/usr/lib/debug")) GTEST_SKIP() << "no /usr/lib/debug to put the debug package's files on";
  std::vector<std::string> unshare = {"unshare", "--mount"};
  if (::geteuid() != 0) unshare.push_back("--map-root-user");
  {
    std::vector<std::string> probeArgs(unshare.begin() + 1, unshare.end());
    probeArgs.insert(probeArgs.end(), {"mount", "--bind", (root / "usr/lib/debug").string(), "/usr/lib/debug"});
    ChildProcess can(unshare[0], probeArgs);
    if (can.Wait() != 0) GTEST_SKIP() << "cannot make a mount namespace here (" << can.Err() << ")";
  }
  unshare.insert(unshare.end(),
                 {"sh", "-c", "mount --bind \"$0\" /usr/lib/debug && exec \"$@\"", (root / "usr/lib/debug").string()});
  const std::string with = CrashReportOf(program, unshare, dir);
  const std::vector<std::string> full = MainFrame(with);
  ASSERT_EQ(full.size(), 7u) << "address, offset, module, unit, line, line in function, function:\n" << with;
  EXPECT_EQ(full[3], "main.cpp");
  EXPECT_GT(std::stoi(full[4]), 0);
}

// An install from someone else's build, as a user into ~/.local: it writes
// nothing into the build folder (which that user could not), and the
// installed copy keeps its settings in the user's configuration folder,
// although ~/.local/bin is the user's to write. Root's install ("sudo
// cmake --install") leaves nothing in the build folder either.
TEST(Install, FromABuildOfAnotherUserIntoAHomePrefixKeepsTheBuildUntouchedAndTheSettingsInTheConfigurationFolder) {
  if (::geteuid() != 0) GTEST_SKIP() << "acting as another user needs root";
  TempDir dir;
  fs::permissions(dir.File(""), fs::perms::owner_all | fs::perms::group_read | fs::perms::group_exec |
                                    fs::perms::others_read | fs::perms::others_exec);
  const std::string home = dir.File("home");
  fs::create_directory(home);
  ASSERT_EQ(::chown(home.c_str(), 65534, 65534), 0);
  const std::vector<std::string> asNobody = {"--reuid=65534", "--regid=65534", "--clear-groups"};
  const auto nobody = [&](const std::string& program, std::vector<std::string> args) {
    args.insert(args.begin(), program);
    args.insert(args.begin(), asNobody.begin(), asNobody.end());
    return args;
  };
  {
    ChildProcess readable("setpriv", nobody("test", {"-r", PINMARK_BUILD_DIR "/cmake_install.cmake"}));
    if (readable.Wait() != 0) GTEST_SKIP() << "another user cannot read the build folder " PINMARK_BUILD_DIR;
  }

  const fs::path prefix = home + "/.local";
  const std::map<std::string, std::string> env = {{"HOME", home},
                                                  {"XDG_CONFIG_HOME", ""},
                                                  {"XDG_RUNTIME_DIR", ""},
                                                  {"QT_QPA_PLATFORM", "offscreen"},
                                                  {"BROWSER", "true"}};
  ASSERT_EQ(
      RunToEnd("setpriv", nobody(CMAKE_COMMAND, {"--install", PINMARK_BUILD_DIR, "--prefix", prefix.string()}), env),
      0);
  EXPECT_EQ(FilesBelow(prefix), kInstalledFiles);

  const std::string ini = home + "/.config/pinmark/Pinmark.ini";
  std::string help;
  RunToEnd("setpriv", nobody((prefix / "bin/pinmark-checkin").string(), {"--help"}), env, &help);
  EXPECT_NE(help.find("(default: " + ini + ")"), std::string::npos) << help;
  {
    ChildProcess window("setpriv", nobody((prefix / "bin/pinmark").string(), {}), env);
    EXPECT_TRUE(window.WaitUntil([&] { return TempDir::Read(ini).find("IPAddress=UNKNOWN") != std::string::npos; }))
        << window.Err();
  }
  EXPECT_EQ(ModeOf(ini), 0600u);
  EXPECT_EQ(FilesBelow(prefix / "bin"), (std::set<std::string>{"pinmark", "pinmark-checkin", "pinmark-service"}));

  // Root's install: the build folder's files stay as they were.
  const auto snapshot = [] {
    std::map<std::string, fs::file_time_type> files;
    for (const auto& entry : fs::recursive_directory_iterator(PINMARK_BUILD_DIR "/packaging"))
      files[entry.path().string()] = fs::symlink_status(entry.path()).type() == fs::file_type::symlink
                                         ? fs::file_time_type()
                                         : fs::last_write_time(entry.path());
    for (const auto& entry : fs::directory_iterator(PINMARK_BUILD_DIR))
      if (entry.path().filename().string().starts_with("install_manifest"))
        files[entry.path().string()] = fs::file_time_type::min();
    return files;
  };
  const auto before = snapshot();
  ASSERT_EQ(RunToEnd(CMAKE_COMMAND, {"--install", PINMARK_BUILD_DIR, "--prefix", dir.File("as-root")}), 0);
  EXPECT_EQ(snapshot(), before);
  for (const auto& entry : fs::directory_iterator(PINMARK_BUILD_DIR)) {
    if (entry.path().filename().string().starts_with("install_manifest")) {
      EXPECT_EQ(fs::read_symlink(entry.path()), "/dev/null") << entry.path();
    }
  }
}

// The project's identity is set once, in the build's cache variables; the
// Debian files that cannot read them must say the same, and the packages'
// version is the project's.
TEST(Package, TheDebianFilesCarryTheBuildsMaintainerHomeAndVersion) {
  const std::string control = TempDir::Read(PINMARK_SOURCE_DIR "/debian/control");
  const std::string copyright = TempDir::Read(PINMARK_SOURCE_DIR "/debian/copyright");
  const std::string changelog = TempDir::Read(PINMARK_SOURCE_DIR "/debian/changelog");
  const struct {
    const std::string& text;
    std::string line;
  } cases[] = {
      {control, "\nMaintainer: " PINMARK_MAINTAINER "\n"},
      {control, "\nHomepage: " PINMARK_HOMEPAGE "\n"},
      {control, "\nVcs-Git: " PINMARK_VCS_GIT "\n"},
      {control, "\nVcs-Browser: " PINMARK_VCS_BROWSER "\n"},
      {copyright, "\nUpstream-Contact: " PINMARK_MAINTAINER "\n"},
      {changelog, "pinmark (" PINMARK_VERSION "-"},
      {changelog, "\n -- " PINMARK_MAINTAINER "  "},
  };
  for (const auto& c : cases) EXPECT_NE(("\n" + c.text).find(c.line), std::string::npos) << c.line;
  EXPECT_EQ(changelog.rfind("pinmark (" PINMARK_VERSION "-", 0), 0u) << "the newest entry is for this version";
  for (const std::string* text : {&control, &copyright, &changelog})
    EXPECT_EQ(text->find(".example"), std::string::npos) << "not the example host";
}
