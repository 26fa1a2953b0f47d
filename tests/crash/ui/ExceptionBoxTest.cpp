#include "crash/ui/ExceptionBox.h"

#include <gtest/gtest.h>

#include <QBuffer>
#include <QFileDialog>
#include <QGuiApplication>
#include <QScreen>
#include <QStyle>
#include <QTest>

#include <filesystem>

#include "crash/ui/CDPresentException.h"
#include "crash/ui/CDReportView.h"
#include "runtime/Resources.h"
#include "runtime/SysUtils.h"
#include "tests/crash/FakeCDException.h"
#include "tests/support/QtApp.h"
#include "tests/support/TempDir.h"

namespace {

class ExceptionBox : public ::testing::Test {
 protected:
  void SetUp() override {
    App();
    e.FillReport();
  }
  // Runs the box modally; `inside` acts on it from within its loop.
  TCDEnding Run(TExceptionBox& box, std::function<void()> inside) {
    QTimer::singleShot(0, &box, std::move(inside));
    return box.Execute();
  }
  std::vector<QPushButton*> Visible(const TExceptionBox& box) {
    std::vector<QPushButton*> list;
    for (int a = 0; a < 7; ++a)
      if (QPushButton* b = box.Button(static_cast<TCDAction>(a)); b && !b->isHidden()) list.push_back(b);
    return list;
  }
  int MaxBoxWidth(const QWidget& box) {
    int caption = std::max(18, box.style()->pixelMetric(QStyle::PM_TitleBarHeight));
    return QGuiApplication::primaryScreen()->geometry().width() - 5 * caption;
  }
  void ExpectNoOverlaps(const TExceptionBox& box) {
    std::vector<QWidget*> parts = {box.MessageLabel()};
    for (QPushButton* b : Visible(box)) parts.push_back(b);
    for (std::size_t i = 0; i < parts.size(); ++i) {
      EXPECT_TRUE(box.rect().contains(parts[i]->geometry())) << parts[i]->objectName().toStdString();
      for (std::size_t k = i + 1; k < parts.size(); ++k)
        EXPECT_FALSE(parts[i]->geometry().intersects(parts[k]->geometry()))
            << parts[i]->objectName().toStdString() << " / " << parts[k]->objectName().toStdString();
    }
  }
  TFakeCDException e;
};

TEST(FullStops, BreakOnlyWellInsideTheMessage) {
  struct Case {
    const char* in;
    const char* out;
  };
  const Case cases[] = {
      {"Short. Text that goes on for long", "Short. Text that goes on for long"},
      {"A sentence of twenty. And then more text", "A sentence of twenty.\r\nAnd then more text"},
      {"A sentence of twenty. Ten chars", "A sentence of twenty.\r\nTen chars"},
      {"A sentence of twenty. Nine ch", "A sentence of twenty. Nine ch"},
      {"Eighteen chars ok. then more text here", "Eighteen chars ok. then more text here"},
      {"A sentence of twenty.. x. And so it goes on", "A sentence of twenty..\r\nx.\r\nAnd so it goes on"},
  };
  for (const Case& c : cases) EXPECT_EQ(BreakAfterFullStops(c.in), c.out) << c.in;
}

TEST_F(ExceptionBox, FullModePutsTheEndingsInAColumnBesideARowOfReportButtons) {
  TExceptionBox box(e, 0);
  box.show();
  EXPECT_EQ(box.windowTitle().toStdString(), "crash_ui_tests");
  EXPECT_EQ(box.MessageLabel()->text().toStdString(), "An error occurred in the application.");
  ASSERT_TRUE(box.ColumnLayout());
  std::vector<QPushButton*> endings = {box.Button(TCDAction::Continue), box.Button(TCDAction::Restart),
                                       box.Button(TCDAction::Close)};
  std::vector<QPushButton*> reports = {box.Button(TCDAction::Send), box.Button(TCDAction::Show)};
  EXPECT_EQ(box.Button(TCDAction::Save), nullptr);
  EXPECT_EQ(box.Button(TCDAction::Print), nullptr);
  for (QPushButton* b : endings) {
    EXPECT_EQ(b->height(), 22);
    EXPECT_EQ(b->width(), endings[0]->width());
    EXPECT_EQ(b->x(), endings[0]->x());
    EXPECT_EQ(b->geometry().right(), box.width() - 11);
    EXPECT_GT(b->x(), box.MessageLabel()->geometry().right());
  }
  EXPECT_LT(endings[0]->y(), endings[1]->y());
  EXPECT_LT(endings[1]->y(), endings[2]->y());
  for (QPushButton* b : reports) {
    EXPECT_EQ(b->height(), 22);
    EXPECT_EQ(b->y(), reports[0]->y());
    EXPECT_GT(b->y(), box.MessageLabel()->geometry().bottom());
    EXPECT_LT(b->geometry().right(), endings[0]->x());
  }
  EXPECT_EQ(reports[0]->x(), 10);
  EXPECT_EQ(box.MessageLabel()->x(), 10);  // no "CDIBIG" in this program
  EXPECT_LE(box.width(), MaxBoxWidth(box));
  EXPECT_FALSE(box.MessageLabel()->text().isEmpty());
  ExpectNoOverlaps(box);
  box.DoAction(TCDAction::Continue);
}

TEST_F(ExceptionBox, OneEndingButtonOrNoReportButtonsMakeOneRow) {
  struct Case {
    const char* what;
    bool restart, close, send, show, ugly;
  };
  const Case cases[] = {
      {"only continue", false, false, true, true, false},
      {"no report buttons", true, true, false, false, false},
      {"ugly buttons", false, false, true, false, true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    TFakeCDException f;
    f.Settings().SetRestartBtnVis(c.restart);
    f.Settings().SetCloseBtnVis(c.close);
    f.Settings().SetSendBtnVis(c.send);
    f.Settings().SetShowBtnVis(c.show);
    f.Settings().SetUglyBtns(c.ugly);
    TExceptionBox box(f, 0);
    box.show();
    EXPECT_FALSE(box.ColumnLayout());
    std::vector<QPushButton*> row = Visible(box);
    for (std::size_t i = 0; i < row.size(); ++i) {
      EXPECT_EQ(row[i]->y(), row[0]->y());
      EXPECT_EQ(row[i]->height(), c.ugly ? 26 : 22);
      EXPECT_GT(row[i]->y(), box.MessageLabel()->geometry().bottom());
      if (i > 0) {
        EXPECT_GT(row[i]->x(), row[i - 1]->geometry().right());
      }
    }
    ExpectNoOverlaps(box);
    box.DoAction(TCDAction::Continue);
  }
}

TEST_F(ExceptionBox, TheProgramsBigIconMovesTheMessageRight) {
  static QByteArray png;
  QImage image(64, 64, QImage::Format_RGB32);
  image.fill(Qt::red);
  QBuffer buffer(&png);
  buffer.open(QIODevice::WriteOnly);
  image.save(&buffer, "PNG");
  RegisterResource("BITMAP", "CDIBIG", reinterpret_cast<const uint8_t*>(png.constData()),
                   static_cast<std::size_t>(png.size()));
  TExceptionBox box(e, 0);
  RegisterResource("BITMAP", "CDIBIG", nullptr, 0);
  box.show();
  ASSERT_NE(box.IconLabel(), nullptr);
  EXPECT_EQ(box.IconLabel()->geometry(), QRect(10, 9, 32, 32));
  EXPECT_EQ(box.MessageLabel()->x(), 50);
  ExpectNoOverlaps(box);
  box.DoAction(TCDAction::Continue);
}

TEST_F(ExceptionBox, ALongMessageWrapsWithinTheWrapWidth) {
  e.Settings().SetExceptMsg("Failure: %exceptMsg%");
  e.message =
      "The service could not be reached. Please check the network and try again later, or ask "
      "the people who run the service whether it is down for maintenance at the moment";
  TExceptionBox box(e, 0);
  box.show();
  EXPECT_LE(box.MessageLabel()->width(), 664 - 10);
  EXPECT_GT(box.MessageLabel()->height(), QFontMetrics(box.font()).lineSpacing() * 2);
  EXPECT_TRUE(box.MessageLabel()->text().startsWith("Failure: The service could not be reached.\nPlease"));
  ExpectNoOverlaps(box);
  box.DoAction(TCDAction::Continue);
}

// A narrow screen with every report button shown: the row goes below the
// column instead of under it; a word wider than the line (a long address)
// wraps instead of being cut at the edge.
TEST_F(ExceptionBox, OnANarrowScreenNothingOverlapsAndALongWordWraps) {
  e.Settings().SetSaveBtnVis(true);
  e.Settings().SetPrintBtnVis(true);
  e.Settings().SetExceptMsg("Failure: %exceptMsg%");
  e.message =
      "See https://pinmark.example/support/knowledge-base/articles/check-in-failures/"
      "connection-refused-by-the-service-while-the-network-was-up?lang=en for help.";
  for (int screen : {640, 800, 1280}) {
    SCOPED_TRACE(screen);
    TExceptionBox box(e, 0);
    box.FitToScreenWidth(screen);
    box.show();
    ASSERT_TRUE(box.ColumnLayout());
    ExpectNoOverlaps(box);
    const QLabel* label = box.MessageLabel();
    const QRect text =
        QFontMetrics(box.font()).boundingRect(QRect(0, 0, label->width(), 100000), Qt::TextWordWrap, label->text());
    EXPECT_LE(text.width(), label->width());
    EXPECT_LE(text.height(), label->height());
    EXPECT_EQ(label->text().remove(QChar(0x200B)).toStdString(), "Failure: " + e.message);
    box.DoAction(TCDAction::Continue);
  }
}

TEST_F(ExceptionBox, ReturnAndEnterPressTheFocusedButton) {
  for (Qt::Key key : {Qt::Key_Return, Qt::Key_Enter})
    for (TCDAction action : {TCDAction::Restart, TCDAction::Close, TCDAction::Continue}) {
      TExceptionBox box(e, 0);
      EXPECT_EQ(Run(box,
                    [&] {
                      box.Button(action)->setFocus();
                      QTest::keyClick(box.Button(action), key);
                    }),
                static_cast<TCDEnding>(action))
          << static_cast<int>(action);
    }
}

TEST_F(ExceptionBox, TheFixedBoxOffersNoMinimiseAndComesBackWhenAWindowManagerMinimisesItAnyway) {
  TExceptionBox box(e, 0);
  EXPECT_FALSE(box.windowFlags() & Qt::WindowMinimizeButtonHint);
  EXPECT_FALSE(box.windowFlags() & Qt::WindowMaximizeButtonHint);
  EXPECT_EQ(Run(box,
                [&] {
                  box.setWindowState(Qt::WindowMinimized);
                  EXPECT_TRUE(QTest::qWaitFor([&] { return !(box.windowState() & Qt::WindowMinimized); }, 5000));
                  box.Button(TCDAction::Continue)->click();
                }),
            TCDEnding::Continue);
}

TEST_F(ExceptionBox, SmallModesShowTheMessageWithOkAndDetails) {
  for (int mode : {2, 3}) {
    SCOPED_TRACE(mode);
    TExceptionBox box(e, mode);
    box.show();
    EXPECT_EQ(box.windowTitle().toStdString(), "crash_ui_tests");
    EXPECT_EQ(box.MessageLabel()->text().toStdString(), "Socket Error # 10061\nConnection refused.");
    QPushButton* ok = box.Button(TCDAction::Continue);
    ASSERT_NE(ok, nullptr);
    EXPECT_EQ(ok->text().toStdString(), "&OK");
    EXPECT_EQ(ok->height(), 23);
    EXPECT_GE(ok->width(), 79);
    QPushButton* details = box.Button(TCDAction::Show);
    EXPECT_EQ(details != nullptr, mode == 2);
    if (details) {
      EXPECT_EQ(details->text().toStdString(), "&Details");
      EXPECT_EQ(details->y(), ok->y());
      EXPECT_GT(details->x(), ok->x());
    }
    // The row stands in the middle.
    int left = ok->x(), right = (details ? details : ok)->geometry().right();
    EXPECT_LE(std::abs(left - (box.width() - 1 - right)), 1);
    EXPECT_EQ(Visible(box).size(), mode == 2 ? 2u : 1u);
    box.DoAction(TCDAction::Continue);
  }
}

TEST_F(ExceptionBox, ClosingWithoutAButtonChoosesTheEnding) {
  struct Case {
    const char* what;
    int focused;
    bool canContinue, continueVisible, closeVisible, restartVisible;
    int mode;
    TCDEnding expected;
  };
  const Case cases[] = {
      {"this program: Esc continues", 0, true, true, true, true, 0, TCDEnding::Continue},
      {"focused close", 6, true, true, true, true, 0, TCDEnding::Close},
      {"focused restart", 5, true, true, true, true, 0, TCDEnding::Restart},
      {"cannot continue", 0, false, true, true, true, 0, TCDEnding::Close},
      {"only restart left", 0, false, true, false, true, 0, TCDEnding::Restart},
      {"no continue button", 0, true, false, true, true, 0, TCDEnding::Close},
      {"small box", 0, true, true, true, true, 3, TCDEnding::Continue},
      {"small box of an ending exception", 0, false, true, true, true, 3, TCDEnding::Close},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    TFakeCDException f;
    f.canContinue = c.canContinue;
    f.Settings().SetFocusedBtn(c.focused);
    f.Settings().SetContinueBtnVis(c.continueVisible);
    f.Settings().SetCloseBtnVis(c.closeVisible);
    f.Settings().SetRestartBtnVis(c.restartVisible);
    TExceptionBox box(f, c.mode);
    EXPECT_EQ(Run(box, [&] { QTest::keyClick(&box, Qt::Key_Escape); }), c.expected);
    EXPECT_FALSE(box.Reshow());
  }
}

TEST_F(ExceptionBox, AnExceptionThatCannotContinueDisablesContinue) {
  e.canContinue = false;
  TExceptionBox box(e, 0);
  EXPECT_FALSE(box.Button(TCDAction::Continue)->isEnabled());
  EXPECT_EQ(Run(box, [&] { box.DoAction(TCDAction::Continue); }), TCDEnding::Close);

  TFakeCDException alone;
  alone.canContinue = false;
  alone.Settings().SetRestartBtnVis(false);
  alone.Settings().SetCloseBtnVis(false);
  TExceptionBox only(alone, 0);
  EXPECT_TRUE(only.Button(TCDAction::Continue)->isEnabled());
  only.DoAction(TCDAction::Close);
}

TEST_F(ExceptionBox, TheAutomaticButtonPressesItselfUnlessAClickStopsIt) {
  e.Settings().SetAutoContinue(true);
  e.Settings().SetAutoDelay(1);
  {
    TExceptionBox box(e, 0);
    ASSERT_EQ(box.AutoButton(), box.Button(TCDAction::Continue));
    EXPECT_EQ(box.Execute(), TCDEnding::Continue);
    EXPECT_EQ(e.actions, std::vector<TCDAction>{TCDAction::Continue});
  }
  e.actions.clear();
  e.takenOver = {TCDAction::Send};  // the click is handled elsewhere, the box stays
  {
    TExceptionBox box(e, 0);
    bool stopped = false;
    TCDEnding end = Run(box, [&] {
      ASSERT_TRUE(box.AutoButton()->CountingDown());
      QTest::mouseClick(box.Button(TCDAction::Send), Qt::LeftButton);
      stopped = !box.AutoButton()->CountingDown() && box.AutoButton()->Fill() == 0;
      QTimer::singleShot(1500, &box, [&] { box.DoAction(TCDAction::Restart); });
    });
    EXPECT_TRUE(stopped);
    EXPECT_EQ(end, TCDEnding::Restart);
  }
  // A close that is due wins over continue.
  TFakeCDException closing;
  closing.Settings().SetAutoContinue(true);
  closing.Settings().SetAutoClose(1);
  TExceptionBox box(closing, 0);
  EXPECT_EQ(box.AutoButton(), box.Button(TCDAction::Close));
  EXPECT_EQ(box.Execute(), TCDEnding::Close);  // AutoDelay 0: at once
}

TEST_F(ExceptionBox, ActionHandlersCanTakeAnActionOver) {
  e.takenOver = {TCDAction::Close};
  TExceptionBox box(e, 0);
  EXPECT_EQ(Run(box,
                [&] {
                  box.DoAction(TCDAction::Close);
                  EXPECT_TRUE(box.isVisible());
                  box.DoAction(TCDAction::Restart);
                }),
            TCDEnding::Restart);
  EXPECT_EQ(e.actions, (std::vector<TCDAction>{TCDAction::Close, TCDAction::Restart}));
}

TEST_F(ExceptionBox, ShowReopensTheBoxInFullModeWithTheReport) {
  e.Settings().SetAutoContinue(true);
  e.Settings().SetAutoDelay(30);
  int boxes = 0;
  bool secondHadView = false, secondResizable = false;
  ModalDriver driver([&](QWidget* modal) {
    auto* box = dynamic_cast<TExceptionBox*>(modal);
    ASSERT_NE(box, nullptr);
    if (++boxes == 1) {
      EXPECT_EQ(box->ShowMode(), 2);
      box->DoAction(TCDAction::Show);
      return;
    }
    EXPECT_EQ(box->ShowMode(), 0);
    secondHadView = box->ReportView() != nullptr && box->ReportView()->count() >= 2;
    secondResizable = box->minimumSize() != box->maximumSize();
    EXPECT_EQ(box->Button(TCDAction::Show), nullptr);
    EXPECT_EQ(box->AutoButton(), nullptr);
    box->DoAction(TCDAction::Continue);
  });
  EXPECT_EQ(CDPresentException(e, 2), TCDEnding::Continue);
  EXPECT_EQ(boxes, 2);
  EXPECT_TRUE(secondHadView);
  EXPECT_TRUE(secondResizable);
  EXPECT_FALSE(driver.leftOpen());
}

TEST_F(ExceptionBox, SavingToAConfiguredPathWritesTheFileAndRemovesTheButton) {
  TempDir dir;
  e.Settings().SetSaveBtnVis(true);
  e.Settings().SetSaveAssis("");
  e.Settings().SetBugRepFile(dir.File("%appname%.txt"));
  TExceptionBox box(e, 0);
  box.show();
  box.DoAction(TCDAction::Save);
  EXPECT_TRUE(std::filesystem::exists(dir.File("crash_ui_tests.txt")));
  EXPECT_TRUE(e.Saved());
  EXPECT_EQ(e.completions, 1);
  EXPECT_TRUE(box.Button(TCDAction::Save)->isHidden());
  ExpectNoOverlaps(box);
  box.DoAction(TCDAction::Continue);
}

// Once the report is complete, the box saves it and then says where it
// went: where it was meant to go, kept in the state folder, or written to
// standard error, with the reason. Nobody saves it again, the save button
// included.
TEST_F(ExceptionBox, TheAutomaticSaveIsMadeWhileTheBoxStandsAndTheBoxSaysWhereItWent) {
  struct Case {
    const char* what;
    const char* folder;  // of the bug-report file
    bool stateUsable;
    const char* said;  // the note's end, after the file it names
  } cases[] = {{"where configured", "reports", true, ""},
               {"a file in the folder's place", "plain", true, " instead."},
               {"nowhere but standard error", "plain", false, "; it was written to standard error."}};
  for (const Case& c : cases) {
    TempDir dir;
    TempDir::Write(dir.File("plain"), "a file where a folder should be");
    const std::string path = dir.File(c.folder) + "/bugreport.txt";
    const std::string state = c.stateUsable ? dir.File("state") : dir.File("plain");
    ::setenv("XDG_STATE_HOME", state.c_str(), 1);
    TFakeCDException e;
    e.FillReport();
    e.Settings().SetAutoSave(true);
    e.Settings().SetAutoSaveIfNotSent(false);
    e.Settings().SetSaveBtnVis(true);
    e.Settings().SetSaveAssis("");
    e.Settings().SetBugRepFile(path);
    e.report.MarkComplete();
    TExceptionBox box(e, 0);
    QString said;
    Run(box, [&] {
      EXPECT_TRUE(QTest::qWaitFor([&] { return e.autoSaved; }, 10000)) << c.what;
      said = box.MessageLabel()->text().remove('\n');
      // Where it went already: the button adds no second copy.
      if (c.said[0] == '\0') box.DoAction(TCDAction::Save);
      box.DoAction(TCDAction::Close);
    });
    ::unsetenv("XDG_STATE_HOME");
    const std::string note = said.toStdString();
    ASSERT_TRUE(e.autoSaved) << c.what;
    if (c.said[0] == '\0') {
      EXPECT_NE(note.find("The bug report was saved to " + path + "."), std::string::npos) << c.what << ": " << note;
      const std::string file = TempDir::Read(path);
      EXPECT_EQ(file.find("exception class"), file.rfind("exception class")) << "saved once: " << c.what;
      continue;
    }
    EXPECT_NE(note.find("The bug report could not be saved to " + path + " ("), std::string::npos)
        << c.what << ": " << note;
    const std::string kept = state + "/pinmark/bugreport.txt";
    if (c.stateUsable) {
      EXPECT_NE(note.find("; it was saved to " + kept + c.said), std::string::npos) << c.what << ": " << note;
      EXPECT_NE(TempDir::Read(kept).find("EIdSocketError"), std::string::npos) << c.what;
    } else {
      EXPECT_NE(note.find(c.said), std::string::npos) << c.what << ": " << note;
    }
  }
}

TEST_F(ExceptionBox, ARelativeNameIsSavedWhereTheSaveDialogSays) {
  TempDir dir;
  e.Settings().SetSaveBtnVis(true);
  e.Settings().SetSaveAssis("");
  std::string title;
  bool cancel = false;
  ModalDriver driver([&](QWidget* modal) {
    auto* dialog = dynamic_cast<QFileDialog*>(modal);
    ASSERT_NE(dialog, nullptr);
    title = dialog->windowTitle().toStdString();
    EXPECT_TRUE(dialog->selectedFiles().value(0).endsWith("/bugreport.txt"));
    if (cancel) {
      dialog->reject();
      return;
    }
    dialog->selectFile(ToQString(dir.File("chosen.txt")));
    static_cast<QDialog*>(dialog)->accept();
  });
  TExceptionBox box(e, 0);
  box.show();
  box.DoAction(TCDAction::Save);
  EXPECT_EQ(title, "save bug report");
  EXPECT_TRUE(std::filesystem::exists(dir.File("chosen.txt")));
  EXPECT_FALSE(e.Saved());  // not the configured file
  EXPECT_FALSE(box.Button(TCDAction::Save)->isHidden());

  cancel = true;
  std::filesystem::remove(dir.File("chosen.txt"));
  box.DoAction(TCDAction::Save);
  EXPECT_FALSE(std::filesystem::exists(dir.File("chosen.txt")));
  EXPECT_EQ(driver.seen(), 2);
  box.DoAction(TCDAction::Continue);
}

}  // namespace
