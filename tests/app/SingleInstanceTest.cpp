// The one-window rule between two claims on one settings file, in one
// process: a flock taken twice through two opens of the file conflicts as
// between processes. The later claim runs on a thread of its own while this
// one serves, as the running window's loop would.
#include "app/SingleInstance.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <QCoreApplication>
#include <QLocalSocket>

#include <atomic>
#include <cstdlib>
#include <filesystem>
#include <future>
#include <string>

#include "tests/support/QtApp.h"
#include "tests/support/TempDir.h"

namespace {
class SingleInstance : public testing::Test {
 protected:
  void SetUp() override {
    App();
    std::filesystem::create_directory(runtime);
    ::chmod(runtime.c_str(), 0700);
    ::setenv("XDG_RUNTIME_DIR", runtime.c_str(), 1);
  }
  void TearDown() override { ::unsetenv("XDG_RUNTIME_DIR"); }

  // A claim on a thread of its own, while this thread serves.
  TSingleInstance::TClaim ClaimElsewhere(const std::string& settings, int waitMs) {
    auto later = std::async(std::launch::async, [&] { return TSingleInstance(settings).Claim(waitMs); });
    while (later.wait_for(std::chrono::milliseconds(5)) != std::future_status::ready) QCoreApplication::processEvents();
    return later.get();
  }

  TempDir dir;
  std::string runtime = dir.File("run");
  std::string ini = dir.File("Pinmark.ini");
};
}  // namespace

TEST_F(SingleInstance, ALaterClaimRaisesTheFirstOtherSettingsOrAnEndedFirstDoNot) {
  int raised = 0;
  {
    TSingleInstance first(ini);
    ASSERT_EQ(first.Claim(), TSingleInstance::TClaim::First);
    first.Listen([&] { ++raised; });
    EXPECT_EQ(first.Problem(), "");

    EXPECT_EQ(ClaimElsewhere(ini, 5000), TSingleInstance::TClaim::Raised);
    EXPECT_EQ(raised, 1);
    // The same file by another path is the same settings.
    EXPECT_EQ(ClaimElsewhere(dir.File(".") + "/./Pinmark.ini", 5000), TSingleInstance::TClaim::Raised);
    EXPECT_EQ(raised, 2);
    EXPECT_EQ(ClaimElsewhere(dir.File("Other.ini"), 5000), TSingleInstance::TClaim::First);
    EXPECT_EQ(raised, 2);
  }
  // Its lock went with it; the socket it left is replaced by the next one.
  TSingleInstance next(ini);
  EXPECT_EQ(next.Claim(), TSingleInstance::TClaim::First);
  next.Listen([&] { ++raised; });
  EXPECT_EQ(next.Problem(), "");
  EXPECT_EQ(ClaimElsewhere(ini, 5000), TSingleInstance::TClaim::Raised);
  EXPECT_EQ(raised, 3);
}

TEST_F(SingleInstance, AHolderThatNeverAnswersIsReportedAfterTheWait) {
  TSingleInstance starting(ini);
  ASSERT_EQ(starting.Claim(), TSingleInstance::TClaim::First);
  // Not listening yet: a start that would wait for ever otherwise.
  TSingleInstance later(ini);
  EXPECT_EQ(later.Claim(300), TSingleInstance::TClaim::NoAnswer);
  EXPECT_NE(later.Problem().find("already runs with these settings but does not answer"), std::string::npos)
      << later.Problem();
}

TEST_F(SingleInstance, AStrayClientIsDroppedWithoutRaising) {
  int raised = 0;
  TSingleInstance first(ini);
  ASSERT_EQ(first.Claim(), TSingleInstance::TClaim::First);
  first.Listen([&] { ++raised; });
  for (const QByteArray& junk : {QByteArray("lower\n"), QByteArray(200, 'x')}) {
    QLocalSocket client;
    client.connectToServer(QString::fromStdString(runtime + "/" + TSingleInstance::KeyOf(ini) + ".socket"));
    ASSERT_TRUE(client.waitForConnected(5000));
    client.write(junk);
    client.flush();
    for (int i = 0; i < 400 && client.state() == QLocalSocket::ConnectedState; ++i) {
      QCoreApplication::processEvents();
      client.waitForDisconnected(5);
    }
    EXPECT_EQ(client.state(), QLocalSocket::UnconnectedState) << junk.left(10).toStdString();
    EXPECT_EQ(client.readAll(), QByteArray()) << "no answer";
  }
  EXPECT_EQ(raised, 0);
}

// Where others could plant a socket or a lock, none is taken.
TEST_F(SingleInstance, OnlyAFolderOfTheUsersAloneServes) {
  std::string problem;
  EXPECT_EQ(TSingleInstance::RuntimeFolder(problem), runtime + "/");

  // A runtime folder others may enter is passed over for our own in /tmp.
  ::chmod(runtime.c_str(), 0755);
  const std::string fallback = "/tmp/pinmark-" + std::to_string(::geteuid()) + "/";
  EXPECT_EQ(TSingleInstance::RuntimeFolder(problem), fallback);
  struct stat st {};
  ASSERT_EQ(::lstat(fallback.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0700u);
  ::setenv("XDG_RUNTIME_DIR", "relative/run", 1);
  EXPECT_EQ(TSingleInstance::RuntimeFolder(problem), fallback);
}
