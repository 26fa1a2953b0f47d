#include <gtest/gtest.h>

#include <QFocusEvent>
#include <QLabel>
#include <QLineEdit>
#include <QTest>
#include <QWidget>

#include <climits>
#include <stdexcept>

#include "runtime/Exception.h"
#include "runtime/Forms.h"
#include "tests/support/QtApp.h"

namespace {
// A widget whose event handling raises, like a handler of the program that fails.
class RaisingWidget : public QWidget {
 protected:
  bool event(QEvent* e) override {
    if (e->type() == QEvent::User) throw EConvertError("'abc' is not a valid integer value");
    return QWidget::event(e);
  }
};
}  // namespace

// --- exception handling ------------------------------------------------------

TEST(Application, AnExceptionLeavingAnEventHandlerReachesOnExceptionWithItsSender) {
  TApplication& app = App();
  RaisingWidget w;
  QObject* seenSender = nullptr;
  std::string seenClass, seenMessage;
  app.OnException = [&](QObject* sender, std::exception_ptr error) {
    seenSender = sender;
    try {
      std::rethrow_exception(error);
    } catch (const Exception& e) {
      seenClass = e.ClassName();
      seenMessage = e.Message();
    }
  };
  QEvent event(QEvent::User);
  EXPECT_NO_THROW(QApplication::sendEvent(&w, &event));
  app.OnException = nullptr;
  EXPECT_EQ(&w, seenSender);
  EXPECT_EQ("EConvertError", seenClass);
  EXPECT_EQ("'abc' is not a valid integer value", seenMessage);
}

TEST(Application, WithoutOnExceptionTheMessageIsShownInAnErrorBoxTitledWithTheTitle) {
  BoxRecorder boxes;
  RaisingWidget w;
  QEvent event(QEvent::User);
  QApplication::sendEvent(&w, &event);
  ASSERT_EQ(1u, boxes.boxes.size());
  EXPECT_EQ("'abc' is not a valid integer value", boxes.boxes[0].Text);
  EXPECT_EQ("Pinmark", boxes.boxes[0].Caption);
  EXPECT_EQ(MB_ICONERROR, boxes.boxes[0].Flags & 0xF0);
}

TEST(Application, AFailingReplacementHandlerStillGetsItsOwnErrorShown) {
  BoxRecorder boxes;
  App().OnException = [](QObject*, std::exception_ptr) { throw std::runtime_error("handler broke"); };
  CallHandler(nullptr, [] { throw Exception("first"); });
  App().OnException = nullptr;
  ASSERT_EQ(1u, boxes.boxes.size());
  EXPECT_EQ("handler broke", boxes.boxes[0].Text);
}

TEST(Application, ExceptionMessagesOfEveryKind) {
  auto messageOf = [](auto thrower) {
    try {
      thrower();
    } catch (...) {
      return ExceptionMessage(std::current_exception());
    }
    return std::string("nothing raised");
  };
  EXPECT_EQ("ours", messageOf([] { throw Exception("ours"); }));
  EXPECT_EQ("std", messageOf([] { throw std::runtime_error("std"); }));
  EXPECT_EQ("Exception of unknown type", messageOf([] { throw 42; }));
  EXPECT_EQ("", ExceptionMessage(nullptr));
}

// --- message boxes -----------------------------------------------------------

TEST(Application, MessageBoxFlagsGiveButtonsInOrderAndTheDefault) {
  struct {
    uint32_t flags;
    std::vector<int> buttons;
    int def;
  } const cases[] = {
      {MB_OK, {IDOK}, IDOK},
      {MB_OK | MB_DEFBUTTON3, {IDOK}, IDOK},  // no third button: the first stays default
      {MB_OKCANCEL, {IDOK, IDCANCEL}, IDOK},
      {MB_OKCANCEL | MB_DEFBUTTON2, {IDOK, IDCANCEL}, IDCANCEL},
      {MB_YESNO | MB_ICONQUESTION, {IDYES, IDNO}, IDYES},
      {MB_YESNOCANCEL | MB_DEFBUTTON3, {IDYES, IDNO, IDCANCEL}, IDCANCEL},
      {MB_ABORTRETRYIGNORE | MB_DEFBUTTON2, {IDABORT, IDRETRY, IDIGNORE}, IDRETRY},
      {MB_RETRYCANCEL, {IDRETRY, IDCANCEL}, IDRETRY},
  };
  for (const auto& c : cases) {
    const TMessageBoxRequest r = DescribeMessageBox("t", "c", c.flags);
    EXPECT_EQ(c.buttons, r.Buttons) << c.flags;
    EXPECT_EQ(c.def, r.DefaultResult) << c.flags;
  }
}

TEST(Application, AnUnhookedBoxWhereNobodyCanSeeItIsWrittenOutAndAnsweredByItsDefault) {
  TApplication& app = App();
  ASSERT_FALSE(TApplication::CanShowWindows());  // the suite runs offscreen
  testing::internal::CaptureStderr();
  const int answer = app.MessageBox("Really?", "Pinmark", MB_YESNO | MB_DEFBUTTON2);
  const std::string err = testing::internal::GetCapturedStderr();
  EXPECT_EQ(IDNO, answer);
  EXPECT_NE(std::string::npos, err.find("Really?"));
  EXPECT_NE(std::string::npos, err.find("Pinmark"));
}

TEST(Application, MinimisingTheMainFormMinimisesTheApplicationOnce) {
  TApplication& app = App();
  QWidget form;
  app.SetMainForm(&form);
  form.show();
  int minimised = 0;
  app.OnMinimize = [&](QObject*) { ++minimised; };
  form.setWindowState(form.windowState() | Qt::WindowMinimized);
  QCoreApplication::processEvents();
  EXPECT_EQ(1, minimised);
  EXPECT_TRUE(app.Minimized());
  app.Restore();
  EXPECT_FALSE(app.Minimized());
  EXPECT_FALSE(form.isMinimized());
  app.Minimize();
  EXPECT_EQ(2, minimised);
  EXPECT_TRUE(form.isMinimized());
  app.OnMinimize = nullptr;
  app.SetMainForm(nullptr);
}

// --- timer -------------------------------------------------------------------

TEST(Timer, RunsOnlyWhenEnabledWithANonZeroIntervalAndAHandler) {
  App();
  TTimer t;
  EXPECT_TRUE(t.Enabled());
  EXPECT_EQ(1000u, t.Interval());
  EXPECT_FALSE(t.Running());  // no handler yet
  t.SetOnTimer([](QObject*) {});
  EXPECT_TRUE(t.Running());
  t.SetInterval(0);
  EXPECT_FALSE(t.Running());
  t.SetInterval(5);
  EXPECT_TRUE(t.Running());
  t.SetEnabled(false);
  EXPECT_FALSE(t.Running());
  t.SetEnabled(true);
  EXPECT_TRUE(t.Running());
  t.SetOnTimer(nullptr);
  EXPECT_FALSE(t.Running());
}

TEST(Timer, AnUnchangedIntervalKeepsTheCountdownAndAChangedOneRestartsIt) {
  App();
  TTimer t;
  t.SetInterval(60000);
  t.SetOnTimer([](QObject*) {});
  const qint64 first = t.Deadline().deadlineNSecs();
  QTest::qWait(20);
  t.SetInterval(60000);
  t.SetEnabled(true);
  EXPECT_EQ(first, t.Deadline().deadlineNSecs());
  t.SetInterval(60001);
  EXPECT_GT(t.Deadline().deadlineNSecs(), first);
  // Disabling and enabling again counts a full interval from now.
  const qint64 second = t.Deadline().deadlineNSecs();
  QTest::qWait(20);
  t.SetEnabled(false);
  t.SetEnabled(true);
  EXPECT_GT(t.Deadline().deadlineNSecs(), second);
}

TEST(Timer, IntervalZeroNeverFires) {
  App();
  TTimer t;
  int fired = 0;
  t.SetInterval(0);
  t.SetOnTimer([&](QObject*) { ++fired; });
  QTest::qWait(100);
  EXPECT_EQ(0, fired);
}

TEST(Timer, FiresPeriodicallyAndPassesItselfAsSender) {
  App();
  TTimer t;
  int fired = 0;
  QObject* sender = nullptr;
  t.SetInterval(1);
  t.SetOnTimer([&](QObject* s) {
    ++fired;
    sender = s;
  });
  EXPECT_TRUE(QTest::qWaitFor([&] { return fired >= 3; }, 5000));
  EXPECT_EQ(&t, sender);
}

TEST(Timer, AHandlerThatRaisesReachesTheApplicationAndTheTimerRunsOn) {
  BoxRecorder boxes;
  TTimer t;
  int fired = 0;
  t.SetInterval(1);
  t.SetOnTimer([&](QObject*) {
    ++fired;
    throw Exception("tick failed");
  });
  EXPECT_TRUE(QTest::qWaitFor([&] { return fired >= 2; }, 5000));
  t.SetEnabled(false);
  ASSERT_GE(boxes.boxes.size(), 2u);
  EXPECT_EQ("tick failed", boxes.boxes[0].Text);
}

TEST(Timer, IntervalsLongerThanOneWaitAreChainedFromSeveralWaits) {
  App();
  TTimer t;
  t.SetLongestWait(10);
  int fired = 0;
  QElapsedTimer clock;
  qint64 firedAfter = -1;
  t.SetInterval(150);
  clock.start();
  t.SetOnTimer([&](QObject*) {
    if (fired++ == 0) firedAfter = clock.elapsed();
  });
  EXPECT_TRUE(QTest::qWaitFor([&] { return fired >= 1; }, 5000));
  // Never early: the 10 ms steps do not fire the timer themselves.
  EXPECT_GE(firedAfter, 145);
}

TEST(Timer, IntervalsBeyondQtsLimitAreAccepted) {
  App();
  TTimer t;
  int fired = 0;
  t.SetInterval(0xFFFFFFFFu);  // a refresh period of -1 minute ends up here
  t.SetOnTimer([&](QObject*) { ++fired; });
  EXPECT_TRUE(t.Running());
  EXPECT_EQ(0xFFFFFFFFu, t.Interval());
  EXPECT_GT(t.Deadline().remainingTime(), static_cast<qint64>(INT_MAX));
  QTest::qWait(50);
  EXPECT_EQ(0, fired);
}

// --- labelled edit -----------------------------------------------------------

TEST(LabeledEdit, TheLabelStandsLeftOfTheEditCentredOnItsHeightAndFollowsIt) {
  App();
  QWidget parent;
  TLabeledEdit edit(&parent);
  edit.SetBounds(100, 24, 300, 21);
  edit.SetLabelCaption("Pin-Mark URL");
  QLabel* label = edit.EditLabel();
  ASSERT_NE(nullptr, label);
  EXPECT_EQ(&parent, label->parentWidget());
  EXPECT_EQ("Pin-Mark URL", label->text().toStdString());
  EXPECT_EQ(100 - TLabeledEdit::kLabelSpacing, label->geometry().right() + 1);
  EXPECT_EQ(24 + (21 - label->height()) / 2, label->y());
  edit.SetBounds(150, 60, 50, 21);
  EXPECT_EQ(150 - TLabeledEdit::kLabelSpacing, label->geometry().right() + 1);
  EXPECT_EQ(60 + (21 - label->height()) / 2, label->y());
  edit.SetText("abc");
  EXPECT_EQ("abc", edit.Text());
}

TEST(LabeledEdit, ExitRunsWhenTheFocusMovesToAnotherControlOnly) {
  App();
  QWidget window;
  TLabeledEdit edit(&window);
  QLineEdit other(&window);
  edit.SetBounds(100, 10, 100, 21);
  other.setGeometry(100, 40, 100, 21);
  int exits = 0;
  edit.OnExit = [&](QObject* sender) {
    EXPECT_EQ(&edit, sender);
    ++exits;
  };
  window.show();
  window.activateWindow();
  ASSERT_TRUE(QTest::qWaitForWindowActive(&window));
  edit.setFocus(Qt::TabFocusReason);
  other.setFocus(Qt::TabFocusReason);
  EXPECT_EQ(1, exits);
  edit.setFocus(Qt::MouseFocusReason);
  QFocusEvent windowLost(QEvent::FocusOut, Qt::ActiveWindowFocusReason);
  QApplication::sendEvent(&edit, &windowLost);
  EXPECT_EQ(1, exits);  // the window lost the focus, not the edit
  other.setFocus(Qt::MouseFocusReason);
  EXPECT_EQ(2, exits);
}

// --- text at the Qt boundary -------------------------------------------------

TEST(Forms, MultiLineTextMakesEachKindOfLineBreakOneBreak) {
  App();
  struct {
    const char* in;
    const char* out;
  } const cases[] = {
      {"a\n\rb", "a\nb"},   {"a\r\nb", "a\nb"},     {"a\rb", "a\nb"},      {"a\nb", "a\nb"},
      {"a\n\nb", "a\n\nb"}, {"a\n\r\n\rb", "a\n\nb"}, {"no break", "no break"}, {"", ""},
  };
  for (const auto& c : cases) EXPECT_EQ(c.out, MultiLineText(c.in).toStdString()) << c.in;
}
