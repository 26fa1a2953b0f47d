// pinmark-checkin as servers, cron and systemd run it, held against the
// window's check-in: the same request bytes, the same records in the file.
#include <gtest/gtest.h>
#include <netdb.h>
#include <netinet/in.h>
#include <signal.h>
#include <string.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <QPushButton>
#include <QTest>

#include <atomic>
#include <cstdlib>
#include <filesystem>
#include <memory>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "app/frmPinmark.h"
#include "runtime/DateTime.h"
#include "runtime/PrivateProfile.h"
#include "service/http/CheckInService.h"
#include "settings/md5.h"
#include "tests/app/AppTestSupport.h"
#include "tests/support/ChildProcess.h"
#include "tests/support/HttpTestPeer.h"
#include "tests/support/ReferenceService.h"
#include "tests/support/TlsTestAuthority.h"

namespace {
const std::string kDigest = DigestToHex(MD5OfString("secret"));

std::string Account(const std::string& url, bool ipv6 = false) {
  return "[Program]\n" + std::string(ipv6 ? "IPv6=1\n" : "") + "URL=" + url + "\n[User]\nName=alice\nPassword=" +
         kDigest + "\nComputer=office pc\n";
}

// Whether localhost is looked up as ::1 here, as Debian's /etc/hosts has it.
bool LocalhostHasIPv6() {
  addrinfo hints{};
  hints.ai_family = AF_INET6;
  addrinfo* list = nullptr;
  if (::getaddrinfo("localhost", nullptr, &hints, &list) != 0) return false;
  const bool loopback = IN6_IS_ADDR_LOOPBACK(&reinterpret_cast<const sockaddr_in6*>(list->ai_addr)->sin6_addr);
  ::freeaddrinfo(list);
  return loopback;
}

// The reference service on 127.0.0.1 and on ::1 at the same port (tried
// again when ::1 has it taken), reached as localhost; over IPv6 it knows
// the account `ipv6Account`.
struct DualService {
  explicit DualService(const std::string& ipv6Account) {
    for (int attempt = 0; attempt < 5 && !Up(); ++attempt) {
      v4 = std::make_unique<ReferenceService>("alice", kDigest);
      v6 = std::make_unique<ReferenceService>(ipv6Account, kDigest, "::1", v4->Port());
    }
  }
  bool Up() const { return v4 && v4->Port() > 0 && v6->Port() == v4->Port(); }
  std::string Url() const { return "http://localhost:" + std::to_string(v4->Port()) + "/includes/r_update.php"; }
  std::unique_ptr<ReferenceService> v4, v6;
};

// The file with the time stamp's value left out: the one thing two runs
// cannot share.
std::string WithoutStamp(const std::string& text) {
  std::string result;
  std::size_t start = 0;
  while (start < text.size()) {
    std::size_t end = text.find('\n', start);
    end = end == std::string::npos ? text.size() : end + 1;
    const std::string_view line(text.data() + start, end - start);
    result += line.starts_with("Refresh=") ? std::string_view("Refresh=<stamp>\n") : line;
    start = end;
  }
  return result;
}

// The settings file private to its owner, as Pinmark makes it: one that
// others may read gets a warning line of its own.
void MakePrivate(const std::string& file) {
  if (std::filesystem::exists(file))
    std::filesystem::permissions(file, std::filesystem::perms::group_all | std::filesystem::perms::others_all,
                                 std::filesystem::perm_options::remove);
}

ChildProcess Checkin(const std::vector<std::string>& args) {
  for (std::size_t i = 0; i + 1 < args.size(); ++i)
    if (args[i] == "--ini") MakePrivate(args[i + 1]);
  return ChildProcess(PINMARK_CHECKIN_EXE, args);
}

class PinmarkCheckin : public testing::Test {
 protected:
  void SetUp() override { App(); }
  void TearDown() override { App().SetMainForm(nullptr); }

  // One check-in from the window's button, its settings file beside the
  // program `window`; returns the file as the run left it.
  std::string CheckInFromTheWindow(const std::string& url) {
    TempDir::Write(window.ini, Account(url));
    {
      TFormMain form(window.exe);
      App().SetMainForm(&form);
      QTest::mouseClick(form.btnPinmark, Qt::LeftButton);
      App().SetMainForm(nullptr);
    }
    return TempDir::Read(window.ini);
  }

  ExeInTemp window;
  TempDir dir;
  std::string ini = dir.File("Pinmark.ini");
};
}  // namespace

TEST_F(PinmarkCheckin, RecordsTheSameAsTheWindowAgainstTheReferenceService) {
  ReferenceService service("alice", kDigest);
  ASSERT_GT(service.Port(), 0);
  const std::string url = service.Url();

  const std::string fromWindow = CheckInFromTheWindow(url);
  TempDir::Write(ini, Account(url));
  ChildProcess run = Checkin({"--ini", ini});
  EXPECT_EQ(run.Wait(), 0) << run.Err();
  EXPECT_EQ(run.Out(), "127.0.0.1\n");
  EXPECT_EQ(run.Err(), "");
  EXPECT_EQ(service.CheckIns(), 2);
  EXPECT_NE(fromWindow.find("\nIPAddress=127.0.0.1\n"), std::string::npos) << fromWindow;
  EXPECT_EQ(WithoutStamp(TempDir::Read(ini)), WithoutStamp(fromWindow));
  EXPECT_NE(GetPrivateProfileString("Temp", "Refresh", "", ini), DateTimeToStr(0)) << "stamped";
}

TEST_F(PinmarkCheckin, SendsTheWindowsRequestByteForByte) {
  HttpTestPeer peer([](const std::string&, int) {
    return HttpTestPeer::Reply{"HTTP/1.1 200 OK\r\nContent-Length: 11\r\n\r\n203.0.113.7"};
  });
  CheckInFromTheWindow(peer.Url("/includes/r_update.php"));
  TempDir::Write(ini, Account(peer.Url("/includes/r_update.php")));
  ChildProcess run = Checkin({"--ini", ini});
  EXPECT_EQ(run.Wait(), 0) << run.Err();
  EXPECT_EQ(run.Out(), "203.0.113.7\n");
  ASSERT_EQ(peer.Requests().size(), 2u);
  EXPECT_EQ(peer.Requests()[1], peer.Requests()[0]);
}

TEST_F(PinmarkCheckin, FailuresPrintClassAndMessageAndExitWithOne) {
  HttpTestPeer refusing([](const std::string&, int) {
    return HttpTestPeer::Reply{"HTTP/1.1 404 Not Found\r\nContent-Length: 4\r\n\r\ngone"};
  });
  struct Case {
    std::string what, url, err;
  } cases[] = {
      {"refused", refusing.Url("/u.php"), "EIdHTTPProtocolException: HTTP/1.1 404 Not Found\n"},
      {"unreachable", "http://127.0.0.1:1/u.php", "EIdSocketError: Socket Error # 10061 Connection refused.\n"},
      {"not http", "ftp://127.0.0.1/u.php", "EIdUnknownProtocol: Unknown Protocol\n"},
  };
  for (const Case& c : cases) {
    TempDir::Write(ini, Account(c.url) + "[Temp]\nHTTPResponse=198.51.100.1\n");
    ChildProcess run = Checkin({"--ini", ini});
    EXPECT_EQ(run.Wait(), 1) << c.what;
    EXPECT_EQ(run.Out(), "") << c.what;
    EXPECT_EQ(run.Err(), c.err) << c.what;
    // As from the window: only the request is new.
    EXPECT_EQ(GetPrivateProfileString("Temp", "HTTPRequest", "", ini),
              c.url + "?userid=alice&enc=" + kDigest + "&node=office%20pc")
        << c.what;
    EXPECT_EQ(GetPrivateProfileString("Temp", "HTTPResponse", "", ini), "198.51.100.1") << c.what;
  }

  // An address that cannot be written out is no success.
  HttpTestPeer answering([](const std::string&, int) {
    return HttpTestPeer::Reply{"HTTP/1.1 200 OK\r\nContent-Length: 7\r\n\r\n1.2.3.4"};
  });
  TempDir::Write(ini, Account(answering.Url("/u.php")));
  MakePrivate(ini);
  ChildProcess full("sh", {"-c", std::string("exec \"$0\" --ini \"$1\" >/dev/full"), PINMARK_CHECKIN_EXE, ini});
  EXPECT_EQ(full.Wait(), 1);
  EXPECT_EQ(full.Err(), "pinmark-checkin: cannot write the address to standard output\n");

  // OpenSSL is opened at the first https exchange: one that cannot be
  // loaded is the same setup failure as one that cannot start.
  const std::string noTls = dir.File("no-tls");
  std::filesystem::create_directory(noTls);
  TempDir::Write(noTls + "/libssl.so.3", "");
  std::string https = refusing.Url("/u.php");
  https.replace(0, 4, "https");
  TempDir::Write(ini, Account(https));
  MakePrivate(ini);
  ChildProcess withoutTls(
      "sh", {"-c", std::string("LD_LIBRARY_PATH=\"$2\" exec \"$0\" --ini \"$1\""), PINMARK_CHECKIN_EXE, ini, noTls});
  EXPECT_EQ(withoutTls.Wait(), 1);
  EXPECT_EQ(withoutTls.Err(), "EIdTlsSetupError: Cannot set up TLS: " + noTls + "/libssl.so.3: file too short\n");

  // A settings file that cannot be written names itself.
  // (One without any write permission is kept as it is, also for root.)
  TempDir::Write(ini, Account(answering.Url("/u.php")));
  std::filesystem::permissions(ini, std::filesystem::perms::owner_read);
  ChildProcess unwritable = Checkin({"--ini", ini});
  EXPECT_EQ(unwritable.Wait(), 1);
  EXPECT_EQ(unwritable.Err(), "EIniFileException: Unable to write to " + ini + "\n");
  std::filesystem::permissions(ini, std::filesystem::perms::owner_write, std::filesystem::perm_options::add);
}

// The program links no OpenSSL of its own: over https it opens the
// system's, and checks in as over http.
TEST_F(PinmarkCheckin, ChecksInOverHttpsWithTheOpenSSLItOpensItself) {
  TlsTestAuthority authority;
  const TlsTestAuthority::Issued cert = authority.Localhost();
  TCheckInService service(cert.certFile, cert.keyFile);
  service.AddAccount("alice", kDigest);
  const int port = service.Bind("127.0.0.1", 0);
  ASSERT_GT(port, 0);
  service.Start();
  TempDir::Write(ini, Account("https://localhost:" + std::to_string(port) + "/includes/r_update.php"));
  MakePrivate(ini);
  ChildProcess run("sh", {"-c", std::string("SSL_CERT_FILE=\"$2\" exec \"$0\" --ini \"$1\""), PINMARK_CHECKIN_EXE, ini,
                          authority.CertFile()});
  EXPECT_EQ(run.Wait(), 0) << run.Err();
  EXPECT_EQ(run.Out(), "127.0.0.1\n");
  EXPECT_EQ(service.CheckIns(), 1);
}

TEST_F(PinmarkCheckin, BadUsageExitsWithTwoAndChangesNothing) {
  const std::vector<std::vector<std::string>> cases = {
      {"--bogus"}, {"--ini"}, {"--ini", ""}, {"--every"}, {"--every", "0"}, {"--every", "-5"}, {"--every", "x"},
      {"--every", "1.5"}, {"--every", "525601"}, {"--every", "1", "--timer-period"}, {"extra"},
  };
  for (const auto& args : cases) {
    std::vector<std::string> withIni = {"--ini", ini};
    withIni.insert(withIni.end(), args.begin(), args.end());
    ChildProcess run = Checkin(withIni);
    EXPECT_EQ(run.Wait(), 2) << args[0];
    EXPECT_NE(run.Err().find("usage: pinmark-checkin"), std::string::npos) << args[0];
  }
  EXPECT_FALSE(std::filesystem::exists(ini));
  ChildProcess help = Checkin({"--help"});
  EXPECT_EQ(help.Wait(), 0);
  EXPECT_NE(help.Out().find("--every MINUTES"), std::string::npos);
}

// The timer's period follows Refresh as the window's timer does, read
// without writing anything.
TEST_F(PinmarkCheckin, TheTimerPeriodIsRefreshAndReadingItWritesNothing) {
  struct Case {
    const char* refresh;  // nullptr: no file at all
    std::string period;
  } cases[] = {
      {nullptr, "OnUnitActiveSec=3600000ms\n"},
      {"15", "OnUnitActiveSec=900000ms\n"},
      {"0x3C", "OnUnitActiveSec=3600000ms\n"},
      {"abc", "OnUnitActiveSec=3600000ms\n"},
      {"0", ""},
      {"525600", "OnUnitActiveSec=31536000000ms\n"},
  };
  for (const Case& c : cases) {
    std::filesystem::remove(ini);
    if (c.refresh) TempDir::Write(ini, std::string("[Program]\nRefresh=") + c.refresh + "\n");
    const std::string before = TempDir::Read(ini);
    ChildProcess run = Checkin({"--ini", ini, "--timer-period"});
    EXPECT_EQ(run.Wait(), 0) << run.Err();
    EXPECT_EQ(run.Out(), "# From Refresh in " + ini + "\n[Timer]\nOnUnitActiveSec=\n" + c.period);
    EXPECT_EQ(std::filesystem::exists(ini), c.refresh != nullptr);
    EXPECT_EQ(TempDir::Read(ini), before);
  }
}

// A stop between runs ends it at once, as a clean end.
TEST_F(PinmarkCheckin, SigtermEndsRepeatedRunsCleanlyBetweenRuns) {
  for (int sig : {SIGTERM, SIGINT}) {
    HttpTestPeer peer([](const std::string&, int) {
      return HttpTestPeer::Reply{"HTTP/1.1 200 OK\r\nContent-Length: 11\r\n\r\n203.0.113.7"};
    });
    TempDir::Write(ini, Account(peer.Url("/u.php")));
    ChildProcess run = Checkin({"--ini", ini, "--every", "1"});
    ASSERT_TRUE(run.WaitUntil([&] { return run.Out() == "203.0.113.7\n"; })) << run.Err();
    run.Signal(sig);
    EXPECT_EQ(run.Wait(), 0) << sig;
    EXPECT_EQ(peer.Requests().size(), 1u);
  }
}

// A stop during a run ends it at once, by that signal, with or without
// --every: only the request is new in the file, and nothing else is left in
// its folder.
TEST_F(PinmarkCheckin, AStopDuringARunEndsItAtOnceByThatSignal) {
  struct Case {
    int sig;
    std::vector<std::string> extra;
  } cases[] = {{SIGTERM, {}}, {SIGINT, {}}, {SIGTERM, {"--every", "1"}}};
  for (const Case& c : cases) {
    // Answers only after a minute: a run that ends within the test's limit was ended by the stop.
    hostile::Peer peer(hostile::Script{hostile::Pause(60000), hostile::Send("HTTP/1.1 200 OK\r\n\r\n1.2.3.4")});
    TempDir::Write(ini, Account(peer.Url("/u.php")) + "[Temp]\nHTTPResponse=198.51.100.1\n");
    std::vector<std::string> args = {"--ini", ini};
    args.insert(args.end(), c.extra.begin(), c.extra.end());
    ChildProcess run = Checkin(args);
    ASSERT_TRUE(run.WaitUntil([&] { return !peer.Requests().empty(); })) << run.Err();
    run.Signal(c.sig);
    EXPECT_EQ(run.Wait(), -1) << run.Err();
    EXPECT_EQ(run.EndSignal(), c.sig);
    EXPECT_EQ(run.Err(), std::string("pinmark-checkin: stopped by SIG") + sigabbrev_np(c.sig) + " during a check-in\n");
    EXPECT_EQ(run.Out(), "");
    EXPECT_EQ(GetPrivateProfileString("Temp", "HTTPResponse", "", ini), "198.51.100.1");
    EXPECT_NE(GetPrivateProfileString("Temp", "HTTPRequest", "", ini), "");
    EXPECT_EQ(std::distance(std::filesystem::directory_iterator(dir.Path()), {}), 1) << "only the settings file";
  }
}

// A service that sends a byte every two seconds keeps each wait short; the
// run's deadline ends it all the same, as a failure like any other.
TEST_F(PinmarkCheckin, ADrippingServiceHoldsARunNoLongerThanItsDeadline) {
  hostile::Peer peer(hostile::Drip("HTTP/1.1 200 OK\r\n", 60, 2000, "X"));
  TempDir::Write(ini, Account(peer.Url("/u.php")) + "[Temp]\nHTTPResponse=198.51.100.1\n");
  ChildProcess run = Checkin({"--ini", ini});
  // The deadline is a minute; the limit here only keeps a regression from hanging the suite.
  EXPECT_EQ(run.Wait(std::chrono::seconds(110)), 1) << run.Err();
  EXPECT_EQ(run.Err(), "EIdDeadlineExceeded: The exchange did not end within 60 s.\n");
  EXPECT_EQ(GetPrivateProfileString("Temp", "HTTPResponse", "", ini), "198.51.100.1");
}

// A crash takes the crash reporter's console way: the message and the
// complete report on standard error, where a script reading the address
// does not take them for one, the report appended to the bug-report file
// beside the program, no window, exit code 1.
TEST_F(PinmarkCheckin, ACrashIsReportedOnStandardErrorAndAppendedToTheBugReportFile) {
  HttpTestPeer peer([](const std::string&, int) {
    return HttpTestPeer::Reply{"HTTP/1.1 200 OK\r\nContent-Length: 11\r\n\r\n203.0.113.7"};
  });
  // A copy of its own, so that its bug-report file lands in this test's folder.
  const std::string program = dir.File("pinmark-checkin");
  std::filesystem::copy_file(PINMARK_CHECKIN_EXE, program);
  TempDir::Write(ini, Account(peer.Url("/u.php")));
  MakePrivate(ini);
  ChildProcess run(program, {"--ini", ini, "--every", "1"}, {{"DISPLAY", ""}, {"WAYLAND_DISPLAY", ""}});
  ASSERT_TRUE(run.WaitUntil([&] { return run.Out() == "203.0.113.7\n"; })) << run.Err();
  // A fault of the main thread while it waits for the next run.
  ASSERT_EQ(::syscall(SYS_tgkill, run.Pid(), run.Pid(), SIGSEGV), 0);
  EXPECT_EQ(run.Wait(), 1);
  EXPECT_EQ(run.Out(), "203.0.113.7\n");
  const std::string err = run.Err();
  EXPECT_EQ(err.rfind("An error occurred in the application.\n\ndate/time ", 0), 0u) << err;
  const std::string report = TempDir::Read(dir.File("bugreport.txt"));
  for (const std::string& text : {err, report}) {
    EXPECT_NE(text.find("exception class   : EAccessViolation"), std::string::npos) << text;
    EXPECT_NE(text.find("\r\n\r\nmain thread ($"), std::string::npos) << text;
    EXPECT_NE(text.find("\r\n\r\nmodules:\r\n"), std::string::npos) << text;
    EXPECT_EQ(text.find("will be calculated soon"), std::string::npos) << text;
  }
}

// With IPv6 on, the same request goes once more over IPv6: localhost looked
// up as ::1 alone reaches the service there, which answers ::1. Refused over
// IPv6, the run fails as it would over IPv4, after the IPv4 line.
TEST_F(PinmarkCheckin, ChecksInOverBothFamiliesWhenLocalhostHasBoth) {
  // Where /etc/hosts gives localhost no IPv6 address (some containers), root
  // runs the program in a mount namespace of its own with a hosts file that
  // gives it both, as Debian's does.
  std::string hosts;
  if (!LocalhostHasIPv6()) {
    if (::geteuid() != 0 || std::system("unshare --mount true 2>/dev/null") != 0)
      GTEST_SKIP() << "localhost has no IPv6 address on this machine: /etc/hosts lacks \"::1 localhost\"";
    hosts = dir.File("hosts");
    TempDir::Write(hosts, "127.0.0.1 localhost\n::1 localhost\n");
  }
  const auto Checkin = [&](const std::vector<std::string>& args) {
    if (hosts.empty()) return ::Checkin(args);
    std::vector<std::string> wrapped{"--mount", "sh", "-c", "mount --bind \"$0\" /etc/hosts && exec \"$@\"",
                                     hosts, PINMARK_CHECKIN_EXE};
    wrapped.insert(wrapped.end(), args.begin(), args.end());
    MakePrivate(ini);
    return ChildProcess("unshare", wrapped);
  };
  DualService both("alice"), refusing("bob");
  ASSERT_TRUE(both.Up() && refusing.Up()) << "no port free on both 127.0.0.1 and ::1";
  TempDir::Write(ini, Account(both.Url(), true));
  ChildProcess on = Checkin({"--ini", ini});
  EXPECT_EQ(on.Wait(), 0) << on.Err();
  EXPECT_EQ(on.Out(), "127.0.0.1\n::1\n");
  EXPECT_EQ(GetPrivateProfileString("Temp", "IPAddress", "", ini), "127.0.0.1");
  EXPECT_EQ(GetPrivateProfileString("Temp", "IPv6Address", "", ini), "::1");
  EXPECT_EQ(std::pair(both.v4->CheckIns(), both.v6->CheckIns()), std::pair(1, 1)) << "one check-in over each";

  TempDir::Write(ini, Account(refusing.Url(), true));
  ChildProcess refused = Checkin({"--ini", ini});
  EXPECT_EQ(refused.Wait(), 1);
  EXPECT_EQ(refused.Out(), "127.0.0.1\n");
  EXPECT_EQ(refused.Err(), "EIdHTTPProtocolException: HTTP/1.1 403 Forbidden\n");
}

// An IPv6 exchange that finds no service, no address or no route is no
// failure of the run: its line says none and why, the exit code is 0.
TEST_F(PinmarkCheckin, WithTheServiceOnIPv4AloneTheIPv6LineSaysNone) {
  ReferenceService service("alice", kDigest);
  ASSERT_GT(service.Port(), 0);
  const std::string port = std::to_string(service.Port());
  struct Case {
    std::string host, reason;
  } const cases[] = {
      {"localhost", LocalhostHasIPv6() ? "Socket Error # 10061 Connection refused."
                                       : "no IPv6 address for localhost (Socket Error # 11001 Host not found.)"},
      {"127.0.0.1", "Host 127.0.0.1 is not an IPv6 address."},
  };
  for (const Case& c : cases) {
    TempDir::Write(ini, Account("http://" + c.host + ":" + port + "/includes/r_update.php", true));
    ChildProcess run = Checkin({"--ini", ini});
    EXPECT_EQ(run.Wait(), 0) << c.host << run.Err();
    EXPECT_EQ(run.Out(), "127.0.0.1\nnone: " + c.reason + "\n") << c.host;
    EXPECT_EQ(GetPrivateProfileString("Temp", "IPv6Address", "", ini), "none") << c.host;
    EXPECT_EQ(GetPrivateProfileString("Temp", "IPv6Error", "", ini), c.reason) << c.host;
  }
}

// A URL whose host is an IPv6 literal has one exchange, over IPv6: with IPv6
// on it is recorded as such and decides the exit code; off, it is read as
// an IPv4 answer as it always was.
TEST_F(PinmarkCheckin, AnIPv6LiteralURLIsTheOneExchangeOverIPv6) {
  ReferenceService service("alice", kDigest, "::1");
  if (service.Port() <= 0) GTEST_SKIP() << "this machine has no IPv6 loopback address (::1)";
  struct Case {
    bool ipv6;
    std::string url;
    int exit;
    std::string out, err, ipv6Address;
  } const cases[] = {
      {false, service.Url(), 0, "UNKNOWN\n", "", "<absent>"},
      {true, service.Url(), 0, "none: the service's address is an IPv6 address\n::1\n", "", "::1"},
      {true, "http://[::1]:1/u.php", 1, "", "EIdSocketError: Socket Error # 10061 Connection refused.\n", "<absent>"},
  };
  for (const Case& c : cases) {
    TempDir::Write(ini, Account(c.url, c.ipv6));
    ChildProcess run = Checkin({"--ini", ini});
    EXPECT_EQ(run.Wait(), c.exit) << c.url;
    EXPECT_EQ(run.Out(), c.out) << c.url;
    EXPECT_EQ(run.Err(), c.err) << c.url;
    EXPECT_EQ(GetPrivateProfileString("Temp", "IPv6Address", "<absent>", ini), c.ipv6Address) << c.url;
  }
  EXPECT_EQ(service.CheckIns(), 2);
}
