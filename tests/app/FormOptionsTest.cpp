#include <gtest/gtest.h>

#include <QCheckBox>
#include <QPushButton>
#include <QTest>

#include <memory>

#include "app/frmOptions.h"
#include "runtime/PrivateProfile.h"
#include "settings/md5.h"
#include "settings/uPinmarkIni.h"
#include "tests/app/AppTestSupport.h"

namespace {
std::string Md5Hex(const std::string& text) { return DigestToHex(MD5OfString(text)); }

// A dialog shown (not modally) over a settings file in a fresh folder.
class OptionsDialog : public testing::Test {
 protected:
  void SetUp() override { App(); }

  void Open() {
    settings = std::make_unique<TIniPinmark>(files.ini);
    form = std::make_unique<TFormOptions>();
    form->Settings = settings.get();
    form->show();
    form->activateWindow();
    ASSERT_TRUE(QTest::qWaitForWindowActive(form.get()));
  }

  std::string Ini(const char* section, const char* key) {
    return GetPrivateProfileString(section, key, "<absent>", files.ini);
  }

  // Moves the focus on with Tab, as the user would.
  void Tab() { QTest::keyClick(QApplication::focusWidget(), Qt::Key_Tab); }

  void TypeInto(TLabeledEdit* edit, const char* text) {
    edit->setFocus(Qt::MouseFocusReason);
    edit->selectAll();
    if (*text == '\0')
      QTest::keyClick(edit, Qt::Key_Delete);
    else
      QTest::keyClicks(edit, text);
  }

  ExeInTemp files;
  std::unique_ptr<TIniPinmark> settings;
  std::unique_ptr<TFormOptions> form;
};
}  // namespace

TEST_F(OptionsDialog, AFirstRunShowsTheDefaultsWithTheAccountNameFocused) {
  Open();
  EXPECT_EQ("Pinmark Settings", form->windowTitle().toStdString());
  EXPECT_EQ("60", form->lbledtProgramTimer->Text());
  EXPECT_EQ(DefaultServiceURL(), form->lbledtProgramURL->Text());
  EXPECT_EQ("", form->lbledtUserName->Text());
  EXPECT_EQ("", form->lbledtUserPassword->Text());
  EXPECT_EQ("", form->lbledtUserNode->Text());
  EXPECT_EQ(form->lbledtUserName, QApplication::focusWidget());
  EXPECT_TRUE(form->lbledtProgramURL->isReadOnly());
  EXPECT_EQ(QLineEdit::Normal, form->lbledtUserPassword->echoMode());  // the digest is shown, not masked
}

TEST_F(OptionsDialog, TabVisitsTheUserOptionsFirstThenTheProgramOptionsThenTheButtons) {
  Open();
  QWidget* const expected[] = {form->lbledtUserPassword, form->lbledtUserNode, form->lbledtProgramURL,
                               form->lbledtProgramTimer, form->chkProgramIPv6, form->btnDefault,
                               form->btnSave,            form->btnCancel,      form->lbledtUserName};
  for (QWidget* w : expected) {
    Tab();
    EXPECT_EQ(w, QApplication::focusWidget());
  }
}

TEST_F(OptionsDialog, LeavingThePasswordFieldReplacesTypedTextByItsDigestOnce) {
  Open();
  TypeInto(form->lbledtUserPassword, "secret");
  Tab();
  EXPECT_EQ(Md5Hex("secret"), form->lbledtUserPassword->Text());
  // Entering and leaving again without typing must not digest the digest.
  QTest::keyClick(QApplication::focusWidget(), Qt::Key_Backtab);
  ASSERT_EQ(form->lbledtUserPassword, QApplication::focusWidget());
  Tab();
  EXPECT_EQ(Md5Hex("secret"), form->lbledtUserPassword->Text());
  // A new password typed after that is digested in turn.
  TypeInto(form->lbledtUserPassword, "other");
  Tab();
  EXPECT_EQ(Md5Hex("other"), form->lbledtUserPassword->Text());
}

TEST_F(OptionsDialog, TheStoredDigestIsLeftAsItIs) {
  {
    TIniPinmark prior(files.ini);
    prior.Name = "alice";
    prior.Password = Md5Hex("secret");
    prior.Save();
  }
  Open();
  EXPECT_EQ(Md5Hex("secret"), form->lbledtUserPassword->Text());
  form->lbledtUserPassword->setFocus(Qt::MouseFocusReason);
  Tab();
  EXPECT_EQ(Md5Hex("secret"), form->lbledtUserPassword->Text());
  // Emptying the field stores the digest of the empty text, never an empty password.
  TypeInto(form->lbledtUserPassword, "");
  Tab();
  EXPECT_EQ(Md5Hex(""), form->lbledtUserPassword->Text());
  QTest::mouseClick(form->btnSave, Qt::LeftButton);
  EXPECT_EQ(Md5Hex(""), Ini("User", "Password"));
}

TEST_F(OptionsDialog, SavingFromInsideThePasswordFieldStillStoresTheDigest) {
  Open();
  TypeInto(form->lbledtUserName, "alice");
  TypeInto(form->lbledtUserPassword, "secret");
  // Alt+S presses Save without the focus leaving the field.
  QTest::keyClick(form->lbledtUserPassword, Qt::Key_S, Qt::AltModifier);
  ASSERT_TRUE(QTest::qWaitFor([&] { return !form->isVisible(); }, 5000));
  EXPECT_EQ(mrOk, form->result());
  EXPECT_EQ(Md5Hex("secret"), settings->Password);
  EXPECT_EQ(Md5Hex("secret"), Ini("User", "Password"));
  EXPECT_EQ("alice", Ini("User", "Name"));
}

TEST_F(OptionsDialog, SaveWritesEverySettingAsShown) {
  Open();
  TypeInto(form->lbledtProgramTimer, " 15");
  TypeInto(form->lbledtUserName, "a b&c=d");
  TypeInto(form->lbledtUserNode, " node ");
  TypeInto(form->lbledtUserPassword, "pw");
  QTest::mouseClick(form->btnSave, Qt::LeftButton);
  EXPECT_FALSE(form->isVisible());
  EXPECT_EQ(mrOk, form->result());
  EXPECT_EQ(15, settings->Refresh);
  EXPECT_EQ(" node ", settings->Computer);  // no trimming of the fields
  EXPECT_EQ("a b&c=d", settings->Name);
  EXPECT_EQ(Md5Hex("pw"), settings->Password);
  EXPECT_EQ("15", Ini("Program", "Refresh"));
  EXPECT_EQ(DefaultServiceURL(), Ini("Program", "URL"));
  EXPECT_EQ("a b&c=d", Ini("User", "Name"));
  EXPECT_EQ(Md5Hex("pw"), Ini("User", "Password"));
}

TEST_F(OptionsDialog, APeriodThatDoesNotConvertIsReportedAndTheDialogKeepsWhatWasTyped) {
  struct {
    const char* period;
  } const cases[] = {{"15 "}, {"abc"}, {""}, {"1.5"}};
  for (const auto& c : cases) {
    BoxRecorder boxes;
    Open();
    TypeInto(form->lbledtUserPassword, "secret");
    TypeInto(form->lbledtUserName, "alice");
    TypeInto(form->lbledtProgramTimer, c.period);
    QTest::mouseClick(form->btnSave, Qt::LeftButton);
    ASSERT_EQ(1u, boxes.boxes.size()) << c.period;
    EXPECT_EQ(std::string("'") + c.period + "' is not a valid integer value", boxes.boxes[0].Text);
    EXPECT_TRUE(form->isVisible()) << c.period;
    EXPECT_EQ(c.period, form->lbledtProgramTimer->Text());
    EXPECT_EQ("alice", form->lbledtUserName->Text());
    // Nothing reached the settings object or the file.
    EXPECT_EQ("", settings->Name);
    EXPECT_EQ(60, settings->Refresh);
    EXPECT_EQ("<absent>", Ini("User", "Name"));
    EXPECT_EQ("<absent>", Ini("Program", "Refresh"));
    form.reset();
    settings.reset();
  }
}

TEST_F(OptionsDialog, EnterAndEscDoNothing) {
  Open();
  TypeInto(form->lbledtUserName, "alice");
  for (QWidget* target : {static_cast<QWidget*>(form->lbledtUserName), static_cast<QWidget*>(form->btnCancel),
                          static_cast<QWidget*>(form->btnSave)}) {
    target->setFocus(Qt::TabFocusReason);
    for (Qt::Key key : {Qt::Key_Escape, Qt::Key_Return, Qt::Key_Enter}) {
      QTest::keyClick(target, key);
      EXPECT_TRUE(form->isVisible());
    }
  }
  EXPECT_EQ("<absent>", Ini("User", "Name"));
}

TEST_F(OptionsDialog, DefaultThenCancelKeepsTheDefaultsInMemoryOnly) {
  {
    TIniPinmark prior(files.ini);
    prior.Refresh = 15;
    prior.URL = "http://elsewhere.example/u.php";
    prior.Save();
  }
  Open();
  settings->SetIPAddress("203.0.113.7");
  QTest::mouseClick(form->btnDefault, Qt::LeftButton);
  EXPECT_EQ("UNKNOWN", Ini("Temp", "IPAddress"));
  EXPECT_EQ("15", form->lbledtProgramTimer->Text());  // the edits keep what they showed
  QTest::mouseClick(form->btnCancel, Qt::LeftButton);
  EXPECT_FALSE(form->isVisible());
  EXPECT_EQ(mrCancel, form->result());
  EXPECT_EQ(60, settings->Refresh);
  EXPECT_EQ(DefaultServiceURL(), settings->URL);
  EXPECT_EQ("15", Ini("Program", "Refresh"));
  EXPECT_EQ("http://elsewhere.example/u.php", Ini("Program", "URL"));
}

TEST_F(OptionsDialog, DefaultThenSaveStoresWhatTheEditsShow) {
  {
    TIniPinmark prior(files.ini);
    prior.Refresh = 15;
    prior.URL = "http://elsewhere.example/u.php";
    prior.Save();
  }
  Open();
  QTest::mouseClick(form->btnDefault, Qt::LeftButton);
  QTest::mouseClick(form->btnSave, Qt::LeftButton);
  EXPECT_EQ(15, settings->Refresh);
  EXPECT_EQ("15", Ini("Program", "Refresh"));
  EXPECT_EQ("http://elsewhere.example/u.php", Ini("Program", "URL"));
}

TEST_F(OptionsDialog, ClosingByTheCloseBoxChangesNothing) {
  Open();
  TypeInto(form->lbledtUserName, "alice");
  form->close();
  EXPECT_EQ(mrCancel, form->result());
  EXPECT_EQ("", settings->Name);
  EXPECT_EQ("<absent>", Ini("User", "Name"));
}

TEST_F(OptionsDialog, ShowModalReturnsTheButtonsResult) {
  settings = std::make_unique<TIniPinmark>(files.ini);
  for (bool save : {true, false}) {
    TFormOptions dialog;
    dialog.Settings = settings.get();
    ModalDriver driver([&](QWidget*) { QTest::mouseClick(save ? dialog.btnSave : dialog.btnCancel, Qt::LeftButton); });
    EXPECT_EQ(save ? mrOk : mrCancel, dialog.ShowModal());
    EXPECT_EQ(1, driver.seen());
    EXPECT_FALSE(driver.leftOpen());
  }
}
