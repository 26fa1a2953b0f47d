#include <gtest/gtest.h>

#include <QCheckBox>
#include <QLineEdit>
#include <QPushButton>
#include <QSystemTrayIcon>
#include <QTest>
#include <QTextEdit>

#include <memory>

#include "app/frmAbout.h"
#include "app/frmOptions.h"
#include "app/frmPinmark.h"
#include "runtime/PrivateProfile.h"
#include "settings/md5.h"
#include "tests/app/AppTestSupport.h"
#include "tests/support/HttpTestPeer.h"
#include "tests/support/ScopedVersionTable.h"

namespace {
const std::string kDigest = DigestToHex(MD5OfString("secret"));

class MainWindow : public testing::Test {
 protected:
  void SetUp() override { App(); }
  void TearDown() override {
    form.reset();
    App().SetMainForm(nullptr);
  }

  void Write(const char* section, const char* key, const std::string& value) {
    ASSERT_TRUE(WritePrivateProfileString(section, key, value, files.ini));
  }
  void CompleteAccount() {
    Write("User", "Name", "alice");
    Write("User", "Password", kDigest);
  }
  void Create() {
    form = std::make_unique<TFormMain>(files.exe);
    App().SetMainForm(form.get());
  }
  std::string Tooltip() const { return form->TrayIcon->toolTip().toStdString(); }
  std::string Ini(const char* section, const char* key) {
    return GetPrivateProfileString(section, key, "<absent>", files.ini);
  }

  ExeInTemp files;
  UrlRecorder browser;
  std::unique_ptr<TFormMain> form;
};

// Cancels the settings dialog when it comes up, counting how often it did.
ModalDriver::Action CancelOptions(int& shown) {
  return [&shown](QWidget* modal) {
    auto* options = dynamic_cast<TFormOptions*>(modal);
    ASSERT_NE(nullptr, options);
    ++shown;
    QTest::mouseClick(options->btnCancel, Qt::LeftButton);
  };
}
}  // namespace

TEST_F(MainWindow, TheWindowKeepsItsSizeAndTheTrayIconIsUpFromTheStart) {
  CompleteAccount();
  Create();
  EXPECT_EQ(QSize(202, 81), form->centralWidget()->size());
  EXPECT_EQ(form->minimumSize(), form->maximumSize());
  EXPECT_TRUE(form->TrayIcon->isVisible());
  EXPECT_EQ(nullptr, form->TrayIcon->contextMenu());
  EXPECT_EQ(QSize(64, 64), form->TrayIcon->icon().actualSize(QSize(256, 256)));
}

TEST_F(MainWindow, TheTooltipShowsTitleAndAddressCutTo127Characters) {
  struct {
    std::string answer;
    std::string tooltip;
  } const cases[] = {
      {"203.0.113.7\r\n", "Pinmark - 203.0.113.7"},
      {"not an address", "Pinmark - UNKNOWN"},
      {std::string(200, '0') + "1.2.3.4", ("Pinmark - " + std::string(200, '0') + "1.2.3.4").substr(0, 127)},
  };
  for (const auto& c : cases) {
    Write("Temp", "HTTPResponse", c.answer);
    CompleteAccount();
    Create();
    EXPECT_EQ(c.tooltip, Tooltip());
    EXPECT_LE(Tooltip().size(), 127u);
    form.reset();
  }
}

TEST_F(MainWindow, TheRefreshPeriodSetsTheTimerIn32BitMilliseconds) {
  struct {
    const char* stored;
    uint32_t interval;
    bool running;
  } const cases[] = {
      {nullptr, 3600000u, true},  // absent: 60 minutes
      {"0", 0u, false},
      {"1", 60000u, true},
      {"60", 3600000u, true},
      {"-5", static_cast<uint32_t>(-300000), true},
      {"0x3C", 3600000u, true},
      {"71583", 4294980000u - 4294967296u, true},  // wraps past 2^32
  };
  for (const auto& c : cases) {
    if (c.stored) Write("Program", "Refresh", c.stored);
    CompleteAccount();
    Create();
    EXPECT_EQ(c.interval, form->Timer->Interval()) << (c.stored ? c.stored : "absent");
    EXPECT_EQ(c.running, form->Timer->Running()) << (c.stored ? c.stored : "absent");
    EXPECT_TRUE(form->Timer->Enabled());
    form.reset();
  }
  CompleteAccount();
  Create();
  form->SetRefreshPeriod(-1);
  EXPECT_EQ(4294907296u, form->Timer->Interval());
  EXPECT_TRUE(form->Timer->Running());
}

TEST_F(MainWindow, ShowingPlacesTheWindowAtTheBottomRightAndShowsTheStoredAddress) {
  Write("Temp", "HTTPResponse", "203.0.113.7");
  CompleteAccount();
  Create();
  form->show();
  const QRect area = WorkArea();
  const QRect frame = form->frameGeometry();
  EXPECT_EQ(area.width(), frame.x() + frame.width());
  EXPECT_EQ(area.height(), frame.y() + frame.height());
  EXPECT_EQ("203.0.113.7", form->edtIPAddress->text().toStdString());
  EXPECT_EQ("Pinmark", form->windowTitle().toStdString());
}

TEST_F(MainWindow, AnIncompleteAccountIsExplainedOnEveryShowing) {
  BoxRecorder boxes;
  int optionsShown = 0;
  ModalDriver driver(CancelOptions(optionsShown));
  Write("User", "Name", "alice");
  Write("User", "Password", "   ");  // blanks only count as no password
  Create();
  form->show();
  ASSERT_EQ(1u, boxes.boxes.size());
  EXPECT_EQ("To use Pinmark you must first register for a free account at " + ServiceHomePage() +
                " then configure your name and password in Pinmark.",
            boxes.boxes[0].Text);
  EXPECT_EQ(ServiceHomePage() + "includes/r_update.php", DefaultServiceURL());  // the service's own host
  EXPECT_EQ("Pinmark", boxes.boxes[0].Caption);
  EXPECT_EQ(MB_OK, boxes.boxes[0].Flags);  // one OK button, no icon
  ASSERT_EQ(1u, browser.urls.size());
  EXPECT_EQ(ServiceHomePage(), browser.urls[0].toStdString());
  EXPECT_EQ(1, optionsShown);

  form->hide();
  form->show();
  EXPECT_EQ(2u, boxes.boxes.size());
  EXPECT_EQ(2u, browser.urls.size());
  EXPECT_EQ(2, optionsShown);
  EXPECT_FALSE(driver.leftOpen());
}

TEST_F(MainWindow, ACompleteAccountIsNotQuestioned) {
  BoxRecorder boxes;
  CompleteAccount();
  Create();
  form->show();
  EXPECT_TRUE(boxes.boxes.empty());
  EXPECT_TRUE(browser.urls.empty());
}

TEST_F(MainWindow, MinimisingHidesAndATrayDoubleClickBringsTheWindowBack) {
  BoxRecorder boxes;
  CompleteAccount();
  Create();
  form->TrayAvailable = [] { return true; };
  form->show();
  form->setWindowState(form->windowState() | Qt::WindowMinimized);
  QCoreApplication::processEvents();
  EXPECT_FALSE(form->isVisible());
  EXPECT_TRUE(form->TrayIcon->isVisible());

  // The answer changed meanwhile: showing again refreshes the address.
  Write("Temp", "HTTPResponse", "198.51.100.2");
  emit form->TrayIcon->activated(QSystemTrayIcon::DoubleClick);
  EXPECT_TRUE(form->isVisible());
  EXPECT_FALSE(form->isMinimized());
  EXPECT_FALSE(App().Minimized());
  EXPECT_EQ("198.51.100.2", form->edtIPAddress->text().toStdString());

  // While visible a double-click only brings it to the front.
  Write("Temp", "HTTPResponse", "192.0.2.9");
  emit form->TrayIcon->activated(QSystemTrayIcon::DoubleClick);
  emit form->TrayIcon->activated(QSystemTrayIcon::Trigger);
  EXPECT_EQ("198.51.100.2", form->edtIPAddress->text().toStdString());
  EXPECT_TRUE(boxes.boxes.empty());
}

// On a desktop without tray icons a hidden window could never come back.
TEST_F(MainWindow, WithoutANotificationAreaMinimisingKeepsTheWindowLikeAnyOther) {
  CompleteAccount();
  Create();
  form->TrayAvailable = [] { return false; };
  form->show();
  form->setWindowState(form->windowState() | Qt::WindowMinimized);
  QCoreApplication::processEvents();
  EXPECT_TRUE(form->isVisible());
  EXPECT_TRUE(form->isMinimized());
  EXPECT_TRUE(App().Minimized());
  App().Restore();
  EXPECT_FALSE(form->isMinimized());
}

TEST_F(MainWindow, ATrayDoubleClickWhileVisibleDoesNotRepeatTheAccountCheck) {
  BoxRecorder boxes;
  int optionsShown = 0;
  ModalDriver driver(CancelOptions(optionsShown));
  Create();
  form->show();
  ASSERT_EQ(1u, boxes.boxes.size());
  emit form->TrayIcon->activated(QSystemTrayIcon::DoubleClick);
  EXPECT_EQ(1u, boxes.boxes.size());
  EXPECT_EQ(1, optionsShown);
}

TEST_F(MainWindow, TheOptionsDialogAppliesTheSavedPeriodAndLeavesAnUnchangedOneRunning) {
  CompleteAccount();
  Create();
  form->show();
  const qint64 before = form->Timer->Deadline().deadlineNSecs();
  int shown = 0;
  {
    ModalDriver driver(CancelOptions(shown));
    form->miOptions->trigger();
  }
  EXPECT_EQ(1, shown);
  EXPECT_EQ(before, form->Timer->Deadline().deadlineNSecs());

  ModalDriver save([](QWidget* modal) {
    auto* options = dynamic_cast<TFormOptions*>(modal);
    ASSERT_NE(nullptr, options);
    options->lbledtProgramTimer->SetText("1");
    QTest::mouseClick(options->btnSave, Qt::LeftButton);
  });
  form->miOptions->trigger();
  EXPECT_EQ(1, save.seen());
  EXPECT_EQ(60000u, form->Timer->Interval());
  EXPECT_EQ("1", Ini("Program", "Refresh"));
}

TEST_F(MainWindow, DefaultThenCancelSetsTheTimerToSixtyMinutesWithoutTouchingTheFile) {
  Write("Program", "Refresh", "15");
  CompleteAccount();
  Create();
  form->show();
  ModalDriver driver([](QWidget* modal) {
    auto* options = dynamic_cast<TFormOptions*>(modal);
    ASSERT_NE(nullptr, options);
    QTest::mouseClick(options->btnDefault, Qt::LeftButton);
    QTest::mouseClick(options->btnCancel, Qt::LeftButton);
  });
  EXPECT_EQ(900000u, form->Timer->Interval());
  form->miOptions->trigger();
  EXPECT_EQ(3600000u, form->Timer->Interval());
  EXPECT_EQ("15", Ini("Program", "Refresh"));
  EXPECT_EQ("UNKNOWN", Ini("Temp", "IPAddress"));
}

TEST_F(MainWindow, TheTimerHandlerLeavesTheTimerEnabledWithAFreshPeriod) {
  HttpTestPeer service([](const std::string&, int) {
    return HttpTestPeer::Reply{"HTTP/1.1 200 OK\r\nContent-Length: 7\r\n\r\n1.2.3.4"};
  });
  CompleteAccount();
  Write("Program", "URL", service.Url("/includes/r_update.php"));
  Create();
  const qint64 before = form->Timer->Deadline().deadlineNSecs();
  QTest::qWait(5);
  form->TimerTimer(form->Timer);
  EXPECT_TRUE(form->Timer->Enabled());
  EXPECT_TRUE(form->Timer->Running());
  EXPECT_GT(form->Timer->Deadline().deadlineNSecs(), before);
  EXPECT_EQ(form->edtIPAddress->text().toStdString(), "1.2.3.4") << "the timer ran the check-in";
}

TEST_F(MainWindow, AnUnwritableSettingsFileFailsCreation) {
  const std::string exe = files.dir.File("missing-folder/Pinmark");
  try {
    TFormMain broken(exe);
    FAIL() << "created without a settings file";
  } catch (const Exception& e) {
    EXPECT_EQ("EIniFileException", std::string(e.ClassName()));
    EXPECT_EQ("Unable to write to " + files.dir.File("missing-folder/Pinmark.ini"), e.Message());
  }
}

TEST_F(MainWindow, AFailingAboutBoxReachesTheApplicationsExceptionHandling) {
  BoxRecorder boxes;
  ScopedVersionTable table("[StringFileInfo\\0C0904E4]\nFileVersion=1.0.2\n");
  CompleteAccount();
  Create();
  form->show();
  ModalDriver driver([](QWidget*) { ADD_FAILURE() << "the About box came up"; });
  form->miAbout->trigger();
  ASSERT_EQ(1u, boxes.boxes.size());
  EXPECT_EQ("Assertion failure (frmAbout, line 52)", boxes.boxes[0].Text);
  EXPECT_EQ(0, driver.seen());
}

TEST_F(MainWindow, TheAboutBoxNamesTheSettingsFileInUse) {
  ScopedVersionTable table("[StringFileInfo\\0C0904E4]\nFileVersion=1.0.0.2\n");
  CompleteAccount();
  Create();
  std::string named;
  ModalDriver driver([&](QWidget* modal) {
    auto* about = dynamic_cast<TFormAbout*>(modal);
    ASSERT_NE(nullptr, about);
    named = about->edtSettingsFile->toPlainText().toStdString();
    QTest::mouseClick(about->btnOK, Qt::LeftButton);
  });
  form->miAbout->trigger();
  EXPECT_EQ(1, driver.seen());
  EXPECT_EQ("Settings: " + files.ini, named);
}

// What each field shows, with why it is none in its tooltip.
TEST_F(MainWindow, AFieldWithoutAnAddressSaysNoneAndWhyInItsTooltip) {
  const std::string unreachable = "Socket Error # 10051 Network is unreachable.";
  struct Case {
    std::string url, ipv6Error, ipv4, ipv4Tip, ipv6, ipv6Tip, tray;
  } const cases[] = {
      {"http://svc/u.php", unreachable, "203.0.113.7", "", "none", unreachable, "Pinmark - 203.0.113.7, none"},
      {"http://[2001:db8::5]/u.php", "", "none", "the service's address is an IPv6 address", "2001:db8::1",
       "2001:db8::1", "Pinmark - none, 2001:db8::1"},
  };
  for (const Case& c : cases) {
    TempDir::Write(files.ini, "[Program]\nIPv6=1\nURL=" + c.url + "\n[Temp]\nHTTPResponse=203.0.113.7\n"
                              "IPv6Response=2001:db8::1\nIPv6Error=" + c.ipv6Error + "\n");
    CompleteAccount();
    Create();
    form->show();
    EXPECT_EQ(c.ipv4 + "|" + c.ipv4Tip + "|" + c.ipv6 + "|" + c.ipv6Tip,
              (form->edtIPAddress->text() + "|" + form->edtIPAddress->toolTip() + "|" + form->edtIPv6Address->text() +
               "|" + form->edtIPv6Address->toolTip())
                  .toStdString());
    EXPECT_EQ(c.tray, Tooltip());
    form.reset();
  }
}

// Turned on in the settings dialog, the IPv6 row comes at once below the
// rest, which does not move, and the window stays standing on the bottom of
// the work area; turned off, it is the window it always was.
TEST_F(MainWindow, TheIPv6CheckBoxAddsAndRemovesTheRowAtOnce) {
  Write("Temp", "IPv6Response", "2001:DB8:0::7");
  CompleteAccount();
  Create();
  form->show();
  for (const bool on : {true, false}) {
    ModalDriver driver([on](QWidget* modal) {
      auto* options = dynamic_cast<TFormOptions*>(modal);
      ASSERT_NE(nullptr, options);
      options->chkProgramIPv6->setChecked(on);
      QTest::mouseClick(options->btnSave, Qt::LeftButton);
    });
    form->miOptions->trigger();
    EXPECT_EQ(on ? "1" : "0", Ini("Program", "IPv6"));
    EXPECT_EQ(QSize(202, on ? 108 : 81), form->centralWidget()->size()) << on;
    EXPECT_EQ(QRect(50, 49, 100, 21), form->edtIPAddress->geometry()) << on;
    EXPECT_EQ(QRect(11, 76, 180, 21), form->edtIPv6Address->geometry()) << on;
    EXPECT_EQ(on, form->edtIPv6Address->isVisible());
    EXPECT_EQ(on ? "Pinmark - UNKNOWN, 2001:db8::7" : "Pinmark - UNKNOWN", Tooltip());
    QCoreApplication::processEvents();
    const QRect frame = form->frameGeometry();
    EXPECT_EQ(WorkArea().height(), frame.y() + frame.height()) << on;
  }
}

// The window's own check-in with IPv6 on, against a service on IPv4 alone: the
// IPv6 exchange comes to nothing quietly, with no box, and says why.
TEST_F(MainWindow, AnIPv6ExchangeThatFailsShowsNoneWithoutABox) {
  BoxRecorder boxes;
  HttpTestPeer service([](const std::string&, int) {
    return HttpTestPeer::Reply{"HTTP/1.1 200 OK\r\nContent-Length: 7\r\n\r\n1.2.3.4"};
  });
  CompleteAccount();
  Write("Program", "IPv6", "1");
  Write("Program", "URL", service.Url("/includes/r_update.php"));
  Create();
  form->show();
  QTest::mouseClick(form->btnPinmark, Qt::LeftButton);
  EXPECT_TRUE(boxes.boxes.empty());
  EXPECT_EQ("1.2.3.4", form->edtIPAddress->text().toStdString());
  EXPECT_EQ("none", form->edtIPv6Address->text().toStdString());
  EXPECT_EQ("Host 127.0.0.1 is not an IPv6 address.", form->edtIPv6Address->toolTip().toStdString());
  EXPECT_EQ("Pinmark - 1.2.3.4, none", Tooltip());
  EXPECT_EQ("none", Ini("Temp", "IPv6Address"));
  EXPECT_EQ(1u, service.Requests().size());
}
