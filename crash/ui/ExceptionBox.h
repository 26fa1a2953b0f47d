// The exception box: what the user sees of a handled exception. In full mode
// it says that an error occurred and offers the report (send, save, print,
// show) and the ending (continue, restart, close); the small modes show the
// exception's message with OK and, in mode 2, Details.
//
// The box runs its actions itself (the program's action handlers first, then
// the assistant, then the send, save or print) and closes with the ending the
// user chose; the show/details action closes it for reopening in full mode
// with the report view. Closing it by Esc or its close box chooses an ending
// as well (FocusedBtn, else continue, close, restart in that order). It never
// ends the process: the caller carries out the ending.
//
// Layout: the message wrapped to 664 pixels minus its left offset (the icon
// "CDIBIG" moves it 40 pixels right), never wider than the screen minus five
// caption heights, a word too long for a line broken anywhere; buttons 22 pixels high (26 with UglyBtns, 23 in the
// small modes, where they are at least 79 wide). With two or more of continue, restart and close beside at least one of
// send, save, print and show, the ending buttons form an equal-width column at the right and the others a row at the
// bottom left (below the column, wrapped, when the box is too narrow for both side by side); otherwise all buttons
// stand in one row. Return and Enter press the focused button; the box offers no minimise or maximise unless it shows
// the report view.
#pragma once

#include <QDialog>
#include <QElapsedTimer>
#include <QFontMetrics>
#include <QLabel>
#include <QPushButton>
#include <QTimer>

#include <array>
#include <string>
#include <string_view>

#include "crash/handling/ICDException.h"

class TCDReportView;

// The text with a break opportunity (a zero-width space) between the
// characters of every word wider than width, so that wrapping never lets a
// word run past the line.
QString BreakLongWords(const QString& text, const QFontMetrics& metrics, int width);

// The message with a line break in place of the blank after each full stop
// that stands at the 20th character or later and at least 10 characters
// before the end.
std::string BreakAfterFullStops(std::string_view message);

// A button that can press itself: a bar fills it from the left over the
// countdown, and when it is full the button clicks.
class TCDAutoButton : public QPushButton {
 public:
  explicit TCDAutoButton(QWidget* parent = nullptr);
  // Starts the countdown; 0 seconds or less presses the button at once.
  void StartCountdown(int seconds);
  void StopCountdown();
  bool CountingDown() const { return timer_.isActive(); }
  // How full the bar is, 0 to 1.
  double Fill() const { return fill_; }

 protected:
  void paintEvent(QPaintEvent* event) override;

 private:
  void Tick();

  QTimer timer_;
  QElapsedTimer started_;
  int durationMs_ = 0;
  double fill_ = 0;
};

class TExceptionBox : public QDialog {
 public:
  // showMode 0 full, 2 small with details, 3 small; firstShowing plays the
  // error sound.
  TExceptionBox(ICDException& exception, int showMode, bool firstShowing = true, QWidget* parent = nullptr);
  ~TExceptionBox() override;

  // Shows the box and returns when it was closed.
  TCDEnding Execute();
  // The box was closed by the show/details action and is to be reopened.
  bool Reshow() const { return reshow_; }
  TCDEnding Ending() const { return ending_; }

  // Runs an action as its button does.
  void DoAction(TCDAction action);
  // Closes the box with the ending, asking nobody (its process has gone).
  void Dismiss(TCDEnding ending) { Finish(ending); }

  // The button of an action, or null when the box has none.
  QPushButton* Button(TCDAction action) const;
  QLabel* MessageLabel() const { return message_; }
  QLabel* IconLabel() const { return icon_; }
  TCDReportView* ReportView() const { return view_; }
  // The button that presses itself, or null.
  TCDAutoButton* AutoButton() const { return auto_; }
  // Whether the ending buttons stand in a column at the right.
  bool ColumnLayout() const { return column_; }
  // Lays the box out for a screen this many pixels wide (by default the
  // primary screen's).
  void FitToScreenWidth(int width);
  int ShowMode() const { return mode_; }

  // Where the screenshot made for this box lies (empty when none).
  const std::string& ScreenShot() const { return screenShot_; }

 protected:
  void changeEvent(QEvent* event) override;
  void closeEvent(QCloseEvent* event) override;
  void keyPressEvent(QKeyEvent* event) override;
  void reject() override;
  void resizeEvent(QResizeEvent* event) override;
  void showEvent(QShowEvent* event) override;

 private:
  void CreateButtons();
  void ChooseAutoButton();
  void Arrange(int clientWidth);
  void Finish(TCDEnding ending);
  std::string ReportText();
  void Send();
  void SetTopMost(bool topMost);
  void Save();
  void Print();
  // The automatic save, made by the box once the report is complete when
  // the answer cannot change it (a report saved only if not sent waits for
  // the answer): the box then says where the report went, not where it
  // will go.
  bool SavesWhileShown() const;
  void SaveWhenComplete();
  void SetNote(const std::string& note);

  ICDException& e_;
  int mode_;
  bool small_;
  bool firstShowing_;
  std::array<QPushButton*, 7> buttons_{};
  TCDAutoButton* auto_ = nullptr;
  QLabel* icon_ = nullptr;
  QLabel* message_ = nullptr;
  QString messageText_;
  std::string baseMessage_;  // without a note on the save
  QTimer saveWatch_;
  int screenWidth_ = 0;  // 0: the primary screen's
  TCDReportView* view_ = nullptr;
  bool column_ = false;
  int topHeight_ = 0;  // the box without the report view
  int minClientWidth_ = 0;
  bool shown_ = false;
  bool reshow_ = false;
  bool finished_ = false;
  TCDEnding ending_ = TCDEnding::Continue;
  std::string screenShot_;
  bool screenShotDropped_ = false;
};
