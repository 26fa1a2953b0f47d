// What pinmark-checkin refuses, and how cron, systemd and the journal learn
// of it: a damaged executable and an incomplete account fail with exit code
// 1 without sending anything or making a file; a settings file that others
// may read is warned about; on the journal each line carries its priority.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <mutex>
#include <string>
#include <vector>

#include "settings/md5.h"
#include "tests/app/DamagedCopy.h"
#include "tests/support/ChildProcess.h"
#include "tests/support/ReferenceService.h"
#include "tests/support/TempDir.h"

namespace fs = std::filesystem;

namespace {
const std::string kDigest = DigestToHex(MD5OfString("secret"));

// The reference service, keeping every line of its log.
class LoggedService {
 public:
  LoggedService() {
    service.OnLog = [this](TLogPriority, const std::string& line) {
      std::lock_guard<std::mutex> lock(mutex_);
      log_.push_back(line);
    };
  }
  std::vector<std::string> Log() {
    std::lock_guard<std::mutex> lock(mutex_);
    return log_;
  }
  ReferenceService service{"alice", kDigest};

 private:
  std::mutex mutex_;
  std::vector<std::string> log_;
};

std::string Settings(const std::string& url, const std::string& name, const std::string& digest) {
  return "[Program]\nURL=" + url + "\n[User]\nName=" + name + "\nPassword=" + digest + "\nComputer=server\n";
}

void WritePrivate(const std::string& file, const std::string& text) {
  TempDir::Write(file, text);
  fs::permissions(file, fs::perms::owner_read | fs::perms::owner_write);
}

// Runs program with standard error as the journal would have it: JOURNAL_STREAM
// names the stream that standard error is.
ChildProcess OnTheJournal(const std::string& program, const std::vector<std::string>& args) {
  std::vector<std::string> shell = {"-c", "JOURNAL_STREAM=$(stat -L -c %d:%i /proc/self/fd/2) exec \"$@\"", "sh",
                                    program};
  shell.insert(shell.end(), args.begin(), args.end());
  return ChildProcess("sh", shell);
}

}  // namespace

TEST(PinmarkCheckinRefusals, ADamagedCopyFailsWithOneBeforeItSendsOrWritesAnything) {
  LoggedService logged;
  TempDir dir;
  const std::string program = dir.File("pinmark-checkin");
  fs::copy_file(PINMARK_CHECKIN_EXE, program);
  FlipByteOf(program, ".comment");
  const std::string ini = dir.File("Pinmark.ini");
  WritePrivate(ini, Settings(logged.service.Url(), "alice", kDigest));
  const std::string before = TempDir::Read(ini);

  for (const bool journal : {false, true}) {
    ChildProcess run = journal ? OnTheJournal(program, {"--ini", ini}) : ChildProcess(program, {"--ini", ini});
    EXPECT_EQ(run.Wait(), 1) << run.Err();
    EXPECT_EQ(run.Out(), "");
    EXPECT_EQ(run.Err(), std::string(journal ? "<3>" : "") + "The file \"pinmark-checkin\" seems to be corrupt!\n");
  }
  EXPECT_EQ(TempDir::Read(ini), before);
  EXPECT_FALSE(fs::exists(dir.File("bugreport.txt")));
  EXPECT_EQ(logged.service.CheckIns(), 0);
  EXPECT_TRUE(logged.Log().empty());
}

TEST(PinmarkCheckinRefusals, AnIncompleteAccountSendsNothingAndMakesNoFile) {
  LoggedService logged;
  const std::string url = logged.service.Url();
  struct Case {
    std::string what;
    const char* settings;  // nullptr: no file
  };
  const std::string noName = Settings(url, "", kDigest), blankDigest = Settings(url, "alice", " \t "),
                    noUser = "[Program]\nURL=" + url + "\n";
  const Case cases[] = {
      {"no file", nullptr},
      {"no name", noName.c_str()},
      {"a digest of blanks", blankDigest.c_str()},
      {"no [User] section", noUser.c_str()},
  };
  for (const Case& c : cases) {
    TempDir dir;
    const std::string ini = dir.File("Pinmark.ini");
    if (c.settings) WritePrivate(ini, c.settings);
    for (const std::vector<std::string>& extra : {std::vector<std::string>{}, {"--every", "1"}}) {
      std::vector<std::string> args = {"--ini", ini};
      args.insert(args.end(), extra.begin(), extra.end());
      ChildProcess run(PINMARK_CHECKIN_EXE, args);
      EXPECT_EQ(run.Wait(), 1) << c.what;
      EXPECT_EQ(run.Out(), "") << c.what;
      EXPECT_EQ(run.Err(), "The account is incomplete: set the name and password in Pinmark's Options (or [User] in " +
                               ini + ").\n")
          << c.what;
    }
    EXPECT_EQ(fs::exists(ini), c.settings != nullptr) << c.what;
    if (c.settings) {
      EXPECT_EQ(TempDir::Read(ini), c.settings) << c.what << ": untouched";
    }
  }
  EXPECT_EQ(logged.service.CheckIns(), 0);
  EXPECT_TRUE(logged.Log().empty());

  // On the journal the refusal is an error.
  TempDir dir;
  ChildProcess run = OnTheJournal(PINMARK_CHECKIN_EXE, {"--ini", dir.File("Pinmark.ini")});
  EXPECT_EQ(run.Wait(), 1);
  EXPECT_EQ(run.Err().rfind("<3>The account is incomplete: ", 0), 0u) << run.Err();
}

// Errors, warnings and information reach the journal with their priority;
// anywhere else the same lines go out bare. Standard output (the address)
// never carries one: scripts read it.
TEST(PinmarkCheckinRefusals, OnTheJournalEveryLineCarriesItsPriority) {
  LoggedService logged;
  TempDir dir;
  const std::string ini = dir.File("Pinmark.ini");
  const std::string readable = ini +
                               " can be read by other users (mode 0644), and its password digest is as "
                               "good as the password: chmod 600 " +
                               ini;

  // A settings file others may read: a warning, and the check-in goes on.
  TempDir::Write(ini, Settings(logged.service.Url(), "alice", kDigest));
  fs::permissions(ini, fs::perms::owner_read | fs::perms::owner_write | fs::perms::group_read | fs::perms::others_read);
  ChildProcess warned = OnTheJournal(PINMARK_CHECKIN_EXE, {"--ini", ini});
  EXPECT_EQ(warned.Wait(), 0) << warned.Err();
  EXPECT_EQ(warned.Out(), "127.0.0.1\n");
  EXPECT_EQ(warned.Err(), "<4>pinmark-checkin: " + readable + "\n");
  ChildProcess bare(PINMARK_CHECKIN_EXE, {"--ini", ini});
  EXPECT_EQ(bare.Wait(), 0);
  EXPECT_EQ(bare.Err(), "pinmark-checkin: " + readable + "\n");
  EXPECT_EQ(logged.service.CheckIns(), 2);

  // A failed check-in is an error, on one line.
  WritePrivate(ini, Settings("http://127.0.0.1:1/u.php", "alice", kDigest));
  ChildProcess failed = OnTheJournal(PINMARK_CHECKIN_EXE, {"--ini", ini});
  EXPECT_EQ(failed.Wait(), 1);
  EXPECT_EQ(failed.Err(), "<3>EIdSocketError: Socket Error # 10061 Connection refused.\n");

  // A Refresh the timer cannot take is a warning, and 60 minutes instead.
  for (const char* refresh : {"-5", "525601", "71583"}) {
    WritePrivate(ini, std::string("[Program]\nRefresh=") + refresh + "\n");
    ChildProcess period = OnTheJournal(PINMARK_CHECKIN_EXE, {"--ini", ini, "--timer-period"});
    EXPECT_EQ(period.Wait(), 0) << refresh;
    const std::string problem =
        std::string("Refresh=") + refresh + " in " + ini + " is outside 1 to 525600 minutes; using 60";
    if (std::string(refresh) == "71583") {
      // Past 32 bits of milliseconds, and still within a year: taken as it is.
      EXPECT_EQ(period.Err(), "") << refresh;
      EXPECT_NE(period.Out().find("\nOnUnitActiveSec=4294980000ms\n"), std::string::npos) << period.Out();
      continue;
    }
    EXPECT_EQ(period.Err(), "<4>pinmark-checkin: " + problem + "\n") << refresh;
    EXPECT_EQ(period.Out(), "# From Refresh in " + ini + "\n# " + problem +
                                "\n[Timer]\nOnUnitActiveSec=\nOnUnitActiveSec=3600000ms\n");
  }

  // Bad usage is an error too.
  ChildProcess usage = OnTheJournal(PINMARK_CHECKIN_EXE, {"--bogus"});
  EXPECT_EQ(usage.Wait(), 2);
  EXPECT_EQ(usage.Err().rfind("<3>pinmark-checkin: unknown or incomplete argument --bogus\n", 0), 0u) << usage.Err();
}
