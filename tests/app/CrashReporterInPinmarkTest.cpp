// Pinmark with its crash reporter: a check-in against a refused port raises,
// the crash reporter shows its box, and "continue application" gives back a
// Pinmark that works as before.
#include <gtest/gtest.h>
#include <unistd.h>

#include <QLineEdit>
#include <QPushButton>
#include <QTest>

#include <memory>

#include "app/frmPinmark.h"
#include "crash/settings/ICDSettings.h"
#include "crash/ui/CrashReporter.h"
#include "runtime/PrivateProfile.h"
#include "tests/app/AppTestSupport.h"
#include "tests/support/RefusedPort.h"

namespace {

QPushButton* ButtonLabelled(QWidget* window, const char* text) {
  for (QPushButton* b : window->findChildren<QPushButton*>())
    if (b->isVisible() && b->text() == text) return b;
  return nullptr;
}

TEST(PinmarkWithCrashReporter, ARefusedCheckInShowsTheBoxAndContinuingLeavesAWorkingPinmark) {
  App();
  ExeInTemp files;
  InitMainModuleSettings();
  TICDSettings().SetBugRepFile(files.dir.File("bugreport.txt"));
  TCrashReporter crashReporter(false);
  crashReporter.AttachApplication(App());
  const std::string url = "http://127.0.0.1:" + std::to_string(RefusedPort()) + "/includes/r_update.php";
  ASSERT_TRUE(WritePrivateProfileString("Program", "URL", url, files.ini));
  ASSERT_TRUE(WritePrivateProfileString("User", "Name", "alice", files.ini));
  ASSERT_TRUE(WritePrivateProfileString("User", "Password", "0123456789abcdef0123456789abcdef", files.ini));
  auto form = std::make_unique<TFormMain>(files.exe);
  App().SetMainForm(form.get());
  form->show();

  std::vector<std::string> boxTitles;
  ModalDriver driver([&](QWidget* box) {
    boxTitles.push_back(box->windowTitle().toStdString());
    QPushButton* go = ButtonLabelled(box, "continue application");
    ASSERT_NE(go, nullptr) << "no continue button in " << box->windowTitle().toStdString();
    QTest::mouseClick(go, Qt::LeftButton);
  });
  QTest::mouseClick(form->btnPinmark, Qt::LeftButton);
  ASSERT_EQ(driver.seen(), 1);
  EXPECT_FALSE(driver.leftOpen());
  EXPECT_EQ(form->edtIPAddress->text().toStdString(), "UNKNOWN");

  // Still Pinmark: the button works, and fails the same way again.
  QTest::mouseClick(form->btnPinmark, Qt::LeftButton);
  EXPECT_EQ(driver.seen(), 2);
  EXPECT_TRUE(form->isVisible());
  const std::string reports = TempDir::Read(files.dir.File("bugreport.txt"));
  EXPECT_NE(reports.find("exception class   : EIdSocketError"), std::string::npos) << reports;
  EXPECT_NE(reports.find("Socket Error # 10061 Connection refused."), std::string::npos) << reports;

  App().SetMainForm(nullptr);
  form.reset();
  crashReporter.DetachApplication();
}

}  // namespace
