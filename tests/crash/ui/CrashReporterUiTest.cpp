// The crash reporter inside a running program, offscreen: the box comes up
// from the GUI thread's nested loop while the program's own events go on.
#include <gtest/gtest.h>

#include <QApplication>
#include <QPushButton>
#include <QTest>
#include <QTimer>
#include <QWidget>

#include <atomic>
#include <cstdlib>
#include <filesystem>
#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include "crash/capture/CDThreadStopper.h"
#include "crash/delivery/CDSendReport.h"
#include "crash/handling/CDHandlers.h"
#include "crash/handling/CDHandlingEntry.h"
#include "crash/handling/CDPresenter.h"
#include "crash/ui/CDQtBridge.h"
#include "crash/ui/CDPresentException.h"
#include "crash/ui/ExceptionBox.h"
#include "crash/ui/CrashReporter.h"
#include "crash/ui/ProgressAlert.h"
#include "crash/settings/ICDSettings.h"
#include "runtime/Exception.h"
#include "tests/support/QtApp.h"
#include "runtime/ThreadName.h"
#include "tests/support/TempDir.h"

namespace {

PINMARK_EXCEPTION_CLASS(ETestFailure, Exception);

// A window whose button raises, with a clock that shows whether its events run.
struct TestWindow {
  QWidget window;
  QPushButton* raise = new QPushButton("raise", &window);
  QTimer clock;
  int ticks = 0;
  int raised = 0;
  TestWindow() {
    QObject::connect(raise, &QPushButton::clicked, raise, [this] {
      CallHandler(raise, [this] {
        ++raised;
        throw ETestFailure("button " + std::to_string(raised) + " failed");
      });
    });
    QObject::connect(&clock, &QTimer::timeout, &window, [this] { ++ticks; });
    clock.start(10);
    window.show();
  }
};

class CrashReporterUi : public ::testing::Test {
 protected:
  void SetUp() override {
    App();
    // Reports go to this test's own folder.
    InitMainModuleSettings();
    bugRepFile_ = TICDSettings().GetBugRepFile();
    TICDSettings().SetBugRepFile(dir_.File("bugreport.txt"));
    reporter_ = std::make_unique<TCrashReporter>(false);
    reporter_->AttachApplication(App());
  }
  void TearDown() override {
    SetCDPresenter(CDPresentException);
    reporter_.reset();
    // What the handling posted to the GUI thread before it stopped belongs
    // to this test, not to the next one.
    QCoreApplication::sendPostedEvents();
    QCoreApplication::processEvents();
    TICDSettings().SetBugRepFile(bugRepFile_);
  }
  TempDir dir_;
  std::string bugRepFile_;
  std::unique_ptr<TCrashReporter> reporter_;
};

TEST_F(CrashReporterUi, AnExceptionInAButtonHandlerShowsTheBoxWhileTheWindowsEventsGoOn) {
  TestWindow w;
  int ticksWhileShown = -1;
  std::string title, message;
  ModalDriver driver([&](QWidget* modal) {
    auto* box = dynamic_cast<TExceptionBox*>(modal);
    ASSERT_NE(box, nullptr);
    title = box->windowTitle().toStdString();
    const int before = w.ticks;
    QTest::qWait(200);  // the user reads the box
    ticksWhileShown = w.ticks - before;
    QPushButton* go = box->Button(TCDAction::Continue);
    ASSERT_NE(go, nullptr);
    EXPECT_EQ(go->text().toStdString(), "continue application");
    QTest::mouseClick(go, Qt::LeftButton);
  });
  QTest::mouseClick(w.raise, Qt::LeftButton);
  EXPECT_EQ(driver.seen(), 1);
  EXPECT_FALSE(driver.leftOpen());
  EXPECT_GT(ticksWhileShown, 5) << "the window's clock stood still behind the box";
  EXPECT_EQ(title, "crash_ui_tests");
  // Continued: the window works as before and a second failure is shown too.
  QTest::mouseClick(w.raise, Qt::LeftButton);
  EXPECT_EQ(w.raised, 2);
  EXPECT_EQ(driver.seen(), 2);
}

TEST_F(CrashReporterUi, AnExceptionRaisedWhileTheBoxIsShownWaitsUntilTheFirstIsFinished) {
  TestWindow w;
  std::vector<std::string> events;
  SetCDPresenter([&](ICDException& e, int) {
    events.push_back("show " + e.ExceptionMessage());
    if (events.size() == 1) {
      // A timer of the program fails while the first box stands.
      QTest::mouseClick(w.raise, Qt::LeftButton);
      QTest::qWait(100);
    }
    events.push_back("close " + e.ExceptionMessage());
    return TCDEnding::Continue;
  });
  QTest::mouseClick(w.raise, Qt::LeftButton);
  ASSERT_TRUE(QTest::qWaitFor([&] { return events.size() == 4; }, 10000)) << events.size();
  EXPECT_EQ(events, (std::vector<std::string>{"show button 1 failed", "close button 1 failed", "show button 2 failed",
                                              "close button 2 failed"}));
}

TEST_F(CrashReporterUi, ThePleaseWaitBoxFollowsAnotherThreadAndGivesItsOwnerBackWhenClosed) {
  auto bridge = std::make_shared<TCDQtBridge>();
  QWidget owner;
  owner.show();
  owner.activateWindow();
  QApplication::setActiveWindow(&owner);
  // A window an earlier test left active must have given way first.
  ASSERT_TRUE(QTest::qWaitFor([&] { return QApplication::activeWindow() == &owner; }, 5000));
  std::unique_ptr<IProgressAlert> alert = bridge->CreateProgressAlert("Information");
  alert->Show(true);
  std::thread worker([&] {
    const int area = alert->AddArea(100, "Please wait a moment...");
    alert->AddArea(100, "second");
    alert->SetArea(area);
    alert->SetPosition(500);
  });
  worker.join();
  TProgressAlert* window = nullptr;
  ASSERT_TRUE(QTest::qWaitFor(
      [&] {
        for (QWidget* top : QApplication::topLevelWidgets())
          if (auto* a = dynamic_cast<TProgressAlert*>(top); a != nullptr && a->isVisible()) window = a;
        return window != nullptr && window->Bar()->value() == 250;
      },
      5000));
  EXPECT_EQ(window->windowTitle().toStdString(), "Information");
  EXPECT_EQ(window->Text()->text().toStdString(), "Please wait a moment...");
  EXPECT_FALSE(owner.isEnabled());
  alert->Close();
  EXPECT_FALSE(window->isVisible());
  EXPECT_TRUE(owner.isEnabled());
}

// A Show asked for from another thread waits for the GUI thread; a Close or
// the end of the alert asked for on the GUI thread meanwhile still wins.
TEST_F(CrashReporterUi, APleaseWaitBoxAskedForFromAnotherThreadNeverOutlivesItsClose) {
  auto bridge = std::make_shared<TCDQtBridge>();
  const auto standing = [] {
    int n = 0;
    for (QWidget* top : QApplication::topLevelWidgets())
      if (dynamic_cast<TProgressAlert*>(top) != nullptr && top->isVisible()) ++n;
    return n;
  };
  std::unique_ptr<IProgressAlert> closed = bridge->CreateProgressAlert("closed");
  std::thread([&] { closed->Show(false); }).join();
  closed->Close();
  std::unique_ptr<IProgressAlert> ended = bridge->CreateProgressAlert("ended");
  std::thread([&] { ended->Show(false); }).join();
  ended.reset();
  QTest::qWait(100);
  EXPECT_EQ(standing(), 0);
  // Closed once, the alert still shows when asked again.
  closed->Show(false);
  EXPECT_EQ(standing(), 1);
  closed->Close();
  EXPECT_EQ(standing(), 0);
}

// The GUI thread is busy when a worker fails: after two seconds the box goes
// elsewhere (here, with no helper, nowhere), and the job left queued for the
// GUI thread does nothing when the thread finally gets to it.
TEST_F(CrashReporterUi, AGuiThreadThatDoesNotTakeTheBoxInTimeIsPassedOverForGood) {
  int shown = 0;
  SetCDPresenter([&](ICDException&, int) {
    ++shown;
    return TCDEnding::Continue;
  });
  std::atomic<bool> workerDone{false};
  std::thread worker([&] {
    try {
      throw ETestFailure("worker failed");
    } catch (...) {
      HandleApplicationException(std::current_exception(), 0);
    }
    workerDone = true;
  });
  // The GUI thread is stuck for longer than the crash reporter waits for it.
  const auto busyUntil = std::chrono::steady_clock::now() + std::chrono::seconds(3);
  while (std::chrono::steady_clock::now() < busyUntil) std::this_thread::sleep_for(std::chrono::milliseconds(20));
  worker.join();
  EXPECT_TRUE(workerDone);
  QTest::qWait(100);  // the stale job comes up now
  EXPECT_EQ(shown, 0);
  EXPECT_NE(TempDir::Read(dir_.File("bugreport.txt")).find("worker failed"), std::string::npos);
}

TEST_F(CrashReporterUi, HandlersSeeEveryPhaseAndOneThatHandlesTheExceptionKeepsTheBoxAway) {
  std::vector<int> phases;
  bool handle = true;
  const TCDHandlerId id = RegisterExceptionHandler([&](ICDException&, int phase, bool& handled) {
    phases.push_back(phase);
    if (phase == 1) handled = handle;
  });
  int shown = 0;
  SetCDPresenter([&](ICDException&, int) {
    ++shown;
    return TCDEnding::Continue;
  });
  TestWindow w;
  QTest::mouseClick(w.raise, Qt::LeftButton);
  EXPECT_EQ(phases, (std::vector<int>{1, 2, 3, 4}));
  EXPECT_EQ(shown, 0);
  handle = false;
  phases.clear();
  QTest::mouseClick(w.raise, Qt::LeftButton);
  EXPECT_EQ(shown, 1);
  // Input-mask refusals go to nobody's handlers and to the small OK box.
  phases.clear();
  int mode = -1;
  SetCDPresenter([&](ICDException&, int showMode) {
    mode = showMode;
    return TCDEnding::Continue;
  });
  CallHandler(w.raise, [] { throw EDBEditError("'12x' is not a valid input"); });
  EXPECT_TRUE(phases.empty());
  EXPECT_EQ(mode, 3);
  UnregisterHandler(id);
}

TEST_F(CrashReporterUi, WithPauseThreadsTheProgramsOtherThreadsStandStillWhileTheBoxIsShown) {
  TestWindow w;
  std::atomic<bool> stop{false};
  std::atomic<pid_t> worker{0};
  std::atomic<uint64_t> laps{0};
  std::thread thread([&] {
    worker = CurrentThreadId();
    while (!stop) laps.fetch_add(1);
  });
  while (worker == 0) std::this_thread::yield();
  TICDSettings().SetPauseThreads(true);
  bool stoppedWhileShown = false, lapsStood = false;
  SetCDPresenter([&](ICDException&, int) {
    stoppedWhileShown = TCDThreadStopper::IsStopped(worker);
    const uint64_t before = laps;
    QTest::qWait(50);
    lapsStood = laps == before;
    return TCDEnding::Continue;
  });
  QTest::mouseClick(w.raise, Qt::LeftButton);
  TICDSettings().SetPauseThreads(false);
  EXPECT_TRUE(stoppedWhileShown);
  EXPECT_TRUE(lapsStood);
  // Resumed once the handling was over.
  const uint64_t after = laps;
  EXPECT_TRUE(QTest::qWaitFor([&] { return laps > after; }, 5000));
  stop = true;
  thread.join();
}

// A filter that wants a screenshot gets it taken on the GUI thread before the
// box covers anything; the box finds it with the exception.
TEST_F(CrashReporterUi, AScreenshotIsTakenBeforeTheBoxWhenTheSettingsAskForOne) {
  TestWindow w;
  TICDSettings().SetScrShotDepth(24);
  std::string file;
  bool existed = false;
  SetCDPresenter([&](ICDException& e, int) {
    file = e.ScreenShotFile();
    existed = !file.empty() && std::filesystem::exists(file);
    return TCDEnding::Continue;
  });
  QTest::mouseClick(w.raise, Qt::LeftButton);
  TICDSettings().SetScrShotDepth(0);
  EXPECT_TRUE(file.ends_with("/screenShot.png")) << file;
  EXPECT_TRUE(existed);
}

// AutoSend: the complete report goes out hidden and in background, through
// the mail program alone (a hidden send tries no mailto link).
TEST_F(CrashReporterUi, AutoSendHandsTheCompleteReportToTheMailProgramHidden) {
  TempDir bin;
  for (const char* program : {"xdg-email", "xdg-open"}) {
    const std::string script = bin.File(program);
    TempDir::Write(script, "#!/bin/sh\nfor a in \"$@\"; do printf '%s\\n' \"$a\"; done > \"" + bin.File(program) +
                               ".args.part\"\ncat \"$6\" > \"" + bin.File(program) + ".report\" 2>/dev/null\nmv \"" +
                               bin.File(program) + ".args.part\" \"" + bin.File(program) + ".args\"\n");
    std::filesystem::permissions(script, std::filesystem::perms::owner_all);
  }
  const std::string oldPath = std::getenv("PATH");
  setenv("PATH", (bin.Path().string() + ":" + oldPath).c_str(), 1);
  TICDSettings().SetAutoSend(true);
  SetCDPresenter([](ICDException&, int) { return TCDEnding::Continue; });
  TestWindow w;
  QTest::mouseClick(w.raise, Qt::LeftButton);
  const bool ran = QTest::qWaitFor([&] { return std::filesystem::exists(bin.File("xdg-email.args")); }, 10000);
  WaitForRunningSends();
  TICDSettings().SetAutoSend(false);
  setenv("PATH", oldPath.c_str(), 1);
  ASSERT_TRUE(ran);
  const std::string args = TempDir::Read(bin.File("xdg-email.args"));
  EXPECT_EQ(args.rfind("--subject\nbug report\n--body\nplease find the bug report attached\n--attach\n", 0), 0u)
      << args;
  const std::string sent = TempDir::Read(bin.File("xdg-email.report"));
  EXPECT_NE(sent.find("exception message : button 1 failed\r\n"), std::string::npos) << sent;
  EXPECT_NE(sent.find("callstack crc     : $"), std::string::npos) << sent;
  EXPECT_EQ(sent.find("will be calculated soon"), std::string::npos) << sent;
  EXPECT_FALSE(std::filesystem::exists(bin.File("xdg-open.args")));
}

// Sending from the box hands the mail over and leaves the box standing until
// the user chooses the ending; the report just sent is not saved again, and
// its attachments outlive the program.
TEST_F(CrashReporterUi, SendingKeepsTheBoxUntilTheUserChoosesAndASentReportIsNotSavedAgain) {
  TempDir bin;
  const std::string script = bin.File("xdg-email");
  TempDir::Write(script, "#!/bin/sh\nfor a in \"$@\"; do printf '%s\\n' \"$a\"; done > \"" + script +
                             ".args.part\"\nmv \"" + script + ".args.part\" \"" + script + ".args\"\n");
  std::filesystem::permissions(script, std::filesystem::perms::owner_all);
  const std::string oldPath = std::getenv("PATH");
  setenv("PATH", (bin.Path().string() + ":" + oldPath).c_str(), 1);
  const std::string assistant = TICDSettings().GetSendAssis();
  TICDSettings().SetSendAssis("");

  bool pressedSend = false, stoodAfterSend = false;
  QTimer press;
  QObject::connect(&press, &QTimer::timeout, [&] {
    for (QWidget* top : QApplication::topLevelWidgets()) {
      auto* box = dynamic_cast<TExceptionBox*>(top);
      if (box == nullptr || !box->isVisible()) continue;
      if (!pressedSend) {
        pressedSend = true;
        box->Button(TCDAction::Send)->click();
      } else if (std::filesystem::exists(script + ".args")) {
        stoodAfterSend = true;
        box->Button(TCDAction::Continue)->click();
      }
      return;
    }
  });
  press.start(50);
  TestWindow w;
  QTest::mouseClick(w.raise, Qt::LeftButton);
  press.stop();
  setenv("PATH", oldPath.c_str(), 1);
  TICDSettings().SetSendAssis(assistant);
  ASSERT_TRUE(pressedSend);
  EXPECT_TRUE(stoodAfterSend) << "the box went with the send";
  EXPECT_EQ(w.raised, 1);
  // AutoSaveIfNotSent: the file keeps no copy of the sent report.
  EXPECT_EQ(TempDir::Read(dir_.File("bugreport.txt")).find("button 1 failed"), std::string::npos);
  const std::string args = TempDir::Read(script + ".args");
  const std::size_t attach = args.find("--attach\n");
  ASSERT_NE(attach, std::string::npos) << args;
  const std::string attachment = args.substr(attach + 9, args.find('\n', attach + 9) - attach - 9);
  reporter_.reset();
  EXPECT_TRUE(std::filesystem::exists(attachment)) << attachment << " went with the program's end";
  std::error_code ec;
  std::filesystem::remove_all(std::filesystem::path(attachment).parent_path().parent_path(), ec);
}

}  // namespace
