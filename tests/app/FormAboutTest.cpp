#include <gtest/gtest.h>

#include <QFontMetrics>
#include <QLabel>
#include <QPushButton>
#include <QTest>
#include <QTextEdit>

#include <filesystem>

#include "app/frmAbout.h"
#include "runtime/Exception.h"
#include "tests/app/AppTestSupport.h"
#include "tests/support/ScopedVersionTable.h"

namespace {
// Shows the box modally, runs inspect while it is up, then presses OK.
int ShowAndInspect(TFormAbout& about, const std::function<void()>& inspect) {
  ModalDriver driver([&](QWidget* modal) {
    EXPECT_EQ(&about, modal);
    inspect();
    QTest::mouseClick(about.btnOK, Qt::LeftButton);
  });
  const int result = about.ShowModal();
  EXPECT_EQ(1, driver.seen());
  EXPECT_FALSE(driver.leftOpen());
  return result;
}

const char* kTable =
    "[StringFileInfo\\0C0904E4]\n"
    "CompanyName=Maker\n"
    "FileVersion=1.0.0.2\n"
    "LegalCopyright=(C) Maker\n"
    "OriginalFilename=Pinmark\n"
    "ProductVersion=1.0.0.0\n"
    "Comments=one<br>two<br>three\n";
}  // namespace

TEST(AboutBox, ShowsTheVersionTextsBesideTheIcon) {
  App();
  ScopedVersionTable table(kTable);
  TFormAbout about;
  const int result = ShowAndInspect(about, [&] {
    EXPECT_EQ("About Pinmark", about.windowTitle().toStdString());
    EXPECT_EQ("Pinmark", about.lblProductName->text().toStdString());
    EXPECT_EQ("1.0.0.0/2", about.lblVersion->text().toStdString());
    EXPECT_EQ("(C) Maker", about.lblCopyright->text().toStdString());
    EXPECT_EQ("Maker", about.lblCompanyName->text().toStdString());
    EXPECT_EQ("one\n\rtwo\n\rthree", about.Caption(about.lblComments));
    EXPECT_FALSE(about.imgProgramIcon->pixmap().isNull());
  });
  EXPECT_EQ(mrOk, result);
}

TEST(AboutBox, LabelsFollowTheIconsRightEdge) {
  App();
  ScopedVersionTable table(kTable);
  struct {
    int iconWidth;
    int left;
    int width;
  } const cases[] = {{64, 82, 187}, {80, 98, 171}};
  for (const auto& c : cases) {
    TFormAbout about;
    about.imgProgramIcon->setGeometry(6, 6, c.iconWidth, c.iconWidth);
    ShowAndInspect(about, [] {});
    int top = 6;
    for (QLabel* label : {about.lblProductName, about.lblVersion, about.lblCopyright, about.lblCompanyName}) {
      EXPECT_EQ(QRect(c.left, top, c.width, 13), label->geometry()) << c.iconWidth;
      top += 19;
    }
    EXPECT_EQ(12, about.lblComments->x());
    EXPECT_EQ(82, about.lblComments->y());
    EXPECT_EQ(257, about.lblComments->width());
  }
}

TEST(AboutBox, TwoLineBreakMarkersGiveThreeWrappedLines) {
  App();
  ScopedVersionTable table(kTable);
  TFormAbout about;
  ShowAndInspect(about, [] {});
  const int line = QFontMetrics(about.lblComments->font()).lineSpacing();
  EXPECT_GE(about.lblComments->height(), 3 * line);
  EXPECT_LT(about.lblComments->height(), 4 * line);
  EXPECT_EQ("one\ntwo\nthree", about.lblComments->text().toStdString());

  // A long comment wraps to the label's width and the label grows to hold it.
  ScopedVersionTable longTable(std::string(kTable) + "Comments=" + std::string(40, 'x') + " " + std::string(80, 'w') +
                               " end\n");
  TFormAbout wrapped;
  ShowAndInspect(wrapped, [] {});
  EXPECT_EQ(257, wrapped.lblComments->width());
  EXPECT_GE(wrapped.lblComments->height(), 2 * line);
}

TEST(AboutBox, VersionValuesAreFoundWithoutRegardToCase) {
  App();
  ScopedVersionTable table(kTable);
  struct {
    const char* key;
    const char* value;
  } const cases[] = {
      {"OriginalFileName", "Pinmark"},
      {"originalfilename", "Pinmark"},
      {"Comments", "one\n\rtwo\n\rthree"},
      {"LegalTrademarks", ""},
      {"", ""},
  };
  for (const auto& c : cases) EXPECT_EQ(c.value, TFormAbout::GetVersionValue(c.key)) << c.key;
  EXPECT_EQ("1.0.0.0/2", TFormAbout::GetVersionText());
}

TEST(AboutBox, AFileVersionWithoutFourPartsStopsTheBoxBeforeItShows) {
  App();
  for (const char* version : {"1.0.2", "1.0.0.2.5", "1..", ""}) {
    ScopedVersionTable table(std::string("[StringFileInfo\\0C0904E4]\nOriginalFilename=Pinmark\nFileVersion=") +
                             version + "\n");
    TFormAbout about;
    ModalDriver driver([](QWidget*) { ADD_FAILURE() << "the box came up"; });
    try {
      about.ShowModal();
      ADD_FAILURE() << "no assertion for " << version;
    } catch (const EAssertionFailed& e) {
      EXPECT_EQ("Assertion failure (frmAbout, line 52)", e.Message());
    }
    EXPECT_EQ(0, driver.seen());
    EXPECT_EQ("Pinmark", about.lblProductName->text().toStdString());  // set before the version failed
  }
  // "1.0.0." has four parts, the last one empty.
  ScopedVersionTable table("[StringFileInfo\\0C0904E4]\nProductVersion=9\nFileVersion=1.0.0.\n");
  EXPECT_EQ("9/", TFormAbout::GetVersionText());
}

TEST(AboutBox, MissingKeysLeaveTheirLabelsEmpty) {
  App();
  ScopedVersionTable table("[StringFileInfo\\0C0904E4]\nFileVersion=1.0.0.2\n");
  TFormAbout about;
  ShowAndInspect(about, [&] {
    EXPECT_EQ("About ", about.windowTitle().toStdString());
    EXPECT_EQ("", about.lblProductName->text().toStdString());
    EXPECT_EQ("/2", about.lblVersion->text().toStdString());
    EXPECT_EQ("", about.lblCompanyName->text().toStdString());
  });
}

// The whole path, wrapped to fit and selectable; the box grows to hold it,
// and a settings file that others may read is warned about below it.
TEST(AboutBox, ShowsTheWholeSettingsPathAndWarnsOfAFileOthersMayRead) {
  App();
  ScopedVersionTable table(kTable);
  TempDir dir;
  const std::string shortPath = dir.File("Pinmark.ini");
  const std::string longDir = dir.File(std::string(200, 'n'));
  std::filesystem::create_directory(longDir);
  const std::string longPath = longDir + "/Pinmark.ini";
  struct Case {
    std::string what, path;
    std::filesystem::perms mode;
    bool warned;
  } cases[] = {
      {"short, private", shortPath, std::filesystem::perms::owner_read | std::filesystem::perms::owner_write, false},
      {"long, private", longPath, std::filesystem::perms::owner_read | std::filesystem::perms::owner_write, false},
      {"short, readable by others", shortPath,
       std::filesystem::perms::owner_read | std::filesystem::perms::owner_write | std::filesystem::perms::others_read,
       true},
      {"missing", dir.File("missing.ini"), std::filesystem::perms::none, false},
  };
  for (const Case& c : cases) {
    if (c.mode != std::filesystem::perms::none) {
      TempDir::Write(c.path, "[Program]\n");
      std::filesystem::permissions(c.path, c.mode);
    }
    TFormAbout about;
    about.SettingsFile = c.path;
    ShowAndInspect(about, [&] {
      EXPECT_TRUE(about.edtSettingsFile->isVisible()) << c.what;
      EXPECT_EQ(about.lblSettingsWarning->isVisible(), c.warned) << c.what;
      // Everything fits inside the panel, and the panel and the button inside the box.
      const QRect shown = about.lblSettingsWarning->isVisible() ? about.lblSettingsWarning->geometry()
                                                                : about.edtSettingsFile->geometry();
      EXPECT_LE(shown.bottom(), about.pnlAbout->height()) << c.what;
      EXPECT_LT(about.pnlAbout->geometry().bottom(), about.btnOK->y()) << c.what;
      EXPECT_LE(about.btnOK->geometry().bottom(), about.height()) << c.what;
    });
    EXPECT_EQ(about.edtSettingsFile->toPlainText().toStdString(), "Settings: " + c.path) << c.what;
    EXPECT_TRUE(about.edtSettingsFile->isReadOnly());
    EXPECT_TRUE(about.edtSettingsFile->textInteractionFlags() & Qt::TextSelectableByMouse);
    if (c.path == longPath) {
      EXPECT_GT(about.height(), TFormAbout::kClientHeight) << "grown for a path of many lines";
    }
    if (c.warned) {
      EXPECT_NE(about.lblSettingsWarning->text().indexOf("chmod 600"), -1);
    }
  }
  TFormAbout none;
  ShowAndInspect(none, [&] { EXPECT_FALSE(none.edtSettingsFile->isVisible()); });
  EXPECT_EQ(none.height(), TFormAbout::kClientHeight);
}
