// Pinmark installed: cmake --install under a prefix, a staged (DESTDIR) copy
// started from where it was installed with a read-only program folder, and
// the Debian package with its contents, fields and dependencies.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <set>
#include <string>
#include <vector>

#include "crash/sys/FileCrc.h"
#include "runtime/PrivateProfile.h"
#include "settings/md5.h"
#include "tests/support/ChildProcess.h"
#include "tests/support/ReferenceService.h"
#include "tests/support/TempDir.h"

namespace fs = std::filesystem;

namespace {
using std::chrono::seconds;

const std::string kDigest = DigestToHex(MD5OfString("secret"));

// Every file an install lays out below its prefix, and nothing else: no
// development program, no unit enabled.
const std::set<std::string> kInstalledFiles = {
    "bin/Pinmark",
    "bin/pinmark-checkin",
    "lib/systemd/user-generators/pinmark-checkin-timer",
    "lib/systemd/user/pinmark-checkin.service",
    "lib/systemd/user/pinmark-checkin.timer",
    "share/applications/pinmark.desktop",
    "share/doc/pinmark/README.md",
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
const char* const kPrograms[] = {"bin/Pinmark", "bin/pinmark-checkin"};

std::set<std::string> FilesBelow(const fs::path& root) {
  std::set<std::string> files;
  for (const auto& entry : fs::recursive_directory_iterator(root))
    if (!entry.is_directory()) files.insert(fs::relative(entry.path(), root).string());
  return files;
}

// Runs a command to its end (at most limit) and returns its exit code.
int RunToEnd(const std::string& program, const std::vector<std::string>& args,
             const std::map<std::string, std::string>& env = {}, std::string* out = nullptr,
             std::chrono::milliseconds limit = seconds(90)) {
  ChildProcess child(program, args, env);
  const int code = child.Wait(limit);
  if (out) *out = child.Out();
  if (code != 0) ADD_FAILURE() << program << " " << (args.empty() ? "" : args[0]) << ": " << child.Err();
  return code;
}

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
  ASSERT_EQ(RunToEnd(CMAKE_COMMAND, {"--install", PINMARK_BUILD_DIR, "--component", "client", "--prefix", prefix.string()}), 0);
  EXPECT_EQ(FilesBelow(prefix), kInstalledFiles);
  for (const char* program : kPrograms) {
    EXPECT_TRUE(StampIsValid(prefix / program)) << program;
    EXPECT_EQ(ModeOf(prefix / program), 0755u) << program;
  }
  EXPECT_EQ(ModeOf(prefix / "lib/systemd/user-generators/pinmark-checkin-timer"), 0755u);

  const std::string desktop = TempDir::Read(prefix / "share/applications/pinmark.desktop");
  EXPECT_NE(desktop.find("\nExec=" + (prefix / "bin/Pinmark").string() + "\n"), std::string::npos) << desktop;
  EXPECT_NE(desktop.find("\nCategories=Network;\n"), std::string::npos) << desktop;
  EXPECT_NE(desktop.find("\nIcon=pinmark\n"), std::string::npos) << desktop;
  EXPECT_EQ(RunToEnd("desktop-file-validate", {(prefix / "share/applications/pinmark.desktop").string()}), 0);
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
  systemd["SYSTEMD_UNIT_PATH"] = generated + ":" + (prefix / "lib/systemd/user").string() + ":";
  EXPECT_EQ(
      RunToEnd("systemd-analyze", {"verify", "--user", "pinmark-checkin.timer", "pinmark-checkin.service"}, systemd),
      0);
  fs::permissions(prefix / "bin", fs::perms::owner_all, fs::perm_options::add);
}

TEST(Install, AStagedCopyInAReadOnlyFolderKeepsItsSettingsInTheUsersConfigurationFolder) {
  TempDir dir;
  const fs::path stage = dir.File("stage");
  const fs::path bin = stage / "usr/bin";
  // Stripping changes the files; the install stamps them again.
  ASSERT_EQ(RunToEnd(CMAKE_COMMAND, {"--install", PINMARK_BUILD_DIR, "--component", "client", "--prefix", "/usr", "--strip"},
                     {{"DESTDIR", stage.string()}}),
            0);
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
    ChildProcess window((bin / "Pinmark").string(), {}, env);
    // The lock of its first write makes the file empty at first.
    EXPECT_TRUE(window.WaitUntil([&] { return TempDir::Read(ini).find("IPAddress=UNKNOWN") != std::string::npos; }))
        << window.Err();
  }
  EXPECT_EQ(ModeOf(config + "/pinmark"), 0700u);

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

  EXPECT_EQ(FilesBelow(bin), (std::set<std::string>{"Pinmark", "pinmark-checkin"})) << "nothing written beside them";
  fs::permissions(bin, fs::perms::owner_write, fs::perm_options::add);
}

TEST(Package, TheDebianPackageHoldsTheInstalledFilesAndDependsOnWhatTheBinariesLink) {
  TempDir dir;
  ASSERT_EQ(
      RunToEnd(CPACK_COMMAND, {"-G", "DEB", "--config", PINMARK_BUILD_DIR "/CPackConfig.cmake", "-B", dir.File("out")},
               {}, nullptr, seconds(100)),
      0);
  std::vector<fs::path> debs;
  for (const auto& entry : fs::directory_iterator(dir.File("out")))
    if (entry.path().extension() == ".deb" && entry.path().filename().string().rfind("pinmark_", 0) == 0)
      debs.push_back(entry.path());  // the client's; pinmark-service_* is tested with the service
  ASSERT_EQ(debs.size(), 1u);
  const std::string deb = debs[0].string();
  EXPECT_EQ(debs[0].filename().string(), "pinmark_" PINMARK_VERSION "_amd64.deb");

  std::string fields;
  RunToEnd("dpkg-deb", {"-f", deb, "Package", "Version", "Architecture", "Section", "Recommends"}, {}, &fields);
  EXPECT_EQ(fields, "Package: pinmark\nVersion: " PINMARK_VERSION
                    "\nArchitecture: amd64\nSection: net\nRecommends: xdg-utils\n");
  std::string depends;
  RunToEnd("dpkg-deb", {"-f", deb, "Depends"}, {}, &depends);
  // Computed from what the binaries link, with the versions their symbols need.
  for (const char* library :
       {"libc6 (>= ", "libstdc++6 (>= ", "libqt6core6 (>= ", "libqt6gui6 (>= ", "libqt6widgets6 (>= "})
    EXPECT_NE(depends.find(library), std::string::npos) << library << " in " << depends;
  EXPECT_EQ(depends.find("-dev"), std::string::npos) << depends;

  const fs::path root = dir.File("root");
  ASSERT_EQ(RunToEnd("dpkg-deb", {"-x", deb, root.string()}), 0);
  std::set<std::string> expected;
  for (const std::string& file : kInstalledFiles) expected.insert("usr/" + file);
  EXPECT_EQ(FilesBelow(root), expected);
  for (const char* program : kPrograms) {
    EXPECT_TRUE(StampIsValid(root / "usr" / program)) << program;
    EXPECT_TRUE(HasSection(root / "usr" / program, ".symtab")) << program << ": reports need its symbols";
  }
  EXPECT_NE(TempDir::Read(root / "usr/lib/systemd/user/pinmark-checkin.service")
                .find("\nExecStart=/usr/bin/pinmark-checkin\n"),
            std::string::npos);
  EXPECT_NE(TempDir::Read(root / "usr/share/applications/pinmark.desktop").find("\nExec=/usr/bin/Pinmark\n"),
            std::string::npos);
}
