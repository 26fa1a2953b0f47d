// The pieces of an application framework that the program's windows lean on,
// over Qt Widgets: the application object with its title, minimise event,
// exception handling and message boxes; a millisecond timer; a line edit with
// its label; a bevelled panel; and the conversions at the Qt boundary.
//
// Text stays 8-bit std::string inside the program and becomes QString only
// here and in the windows.
#pragma once

#include <QApplication>
#include <QDeadlineTimer>
#include <QDialog>
#include <QFont>
#include <QFrame>
#include <QIcon>
#include <QLabel>
#include <QLineEdit>
#include <QPointer>
#include <QRect>
#include <QString>
#include <QTimer>

#include <cstdint>
#include <exception>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

#include "runtime/Exception.h"

// ---------------------------------------------------------------------------
// Message boxes: the buttons, icons and answers of the classic message-box
// call, so that callers say what they mean in one flags word.

inline constexpr uint32_t MB_OK = 0x00;
inline constexpr uint32_t MB_OKCANCEL = 0x01;
inline constexpr uint32_t MB_ABORTRETRYIGNORE = 0x02;
inline constexpr uint32_t MB_YESNOCANCEL = 0x03;
inline constexpr uint32_t MB_YESNO = 0x04;
inline constexpr uint32_t MB_RETRYCANCEL = 0x05;
inline constexpr uint32_t MB_ICONERROR = 0x10;
inline constexpr uint32_t MB_ICONQUESTION = 0x20;
inline constexpr uint32_t MB_ICONWARNING = 0x30;
inline constexpr uint32_t MB_ICONINFORMATION = 0x40;
inline constexpr uint32_t MB_DEFBUTTON1 = 0x000;
inline constexpr uint32_t MB_DEFBUTTON2 = 0x100;
inline constexpr uint32_t MB_DEFBUTTON3 = 0x200;

inline constexpr int IDOK = 1;
inline constexpr int IDCANCEL = 2;
inline constexpr int IDABORT = 3;
inline constexpr int IDRETRY = 4;
inline constexpr int IDIGNORE = 5;
inline constexpr int IDYES = 6;
inline constexpr int IDNO = 7;

// Results of a modal form.
inline constexpr int mrNone = 0;
inline constexpr int mrOk = 1;
inline constexpr int mrCancel = 2;

// One message box as asked for, handed to a hook instead of the screen.
struct TMessageBoxRequest {
  std::string Text;
  std::string Caption;
  uint32_t Flags = MB_OK;
  std::vector<int> Buttons;  // answers in the order the buttons stand
  int DefaultResult = IDOK;  // the answer of the default button
};

// Answers a message box in place of the user; returns one of the ID values.
using TMessageBoxHook = std::function<int(const TMessageBoxRequest&)>;
using TNotifyEvent = std::function<void(QObject* sender)>;
using TExceptionEvent = std::function<void(QObject* sender, std::exception_ptr error)>;

// The buttons of a flags word, in screen order, and the answer of its default button.
TMessageBoxRequest DescribeMessageBox(std::string_view text, std::string_view caption, uint32_t flags);

// ---------------------------------------------------------------------------

class TApplication : public QApplication {
 public:
  // argc must outlive the application, as QApplication requires.
  TApplication(int& argc, char** argv);
  ~TApplication() override;

  const std::string& Title() const { return title_; }
  void SetTitle(std::string title);

  // The window that stands for the program: minimising it minimises the
  // application, and BringToFront/Restore act on it.
  QWidget* MainForm() const { return mainForm_; }
  void SetMainForm(QWidget* form);

  // Runs after the application was minimised (by Minimize or by the user
  // minimising the main form).
  TNotifyEvent OnMinimize;
  // Replaces the default exception handling (a message box with the
  // message); the crash reporter installs itself here.
  TExceptionEvent OnException;

  void Minimize();
  void Restore();
  void BringToFront();
  bool Minimized() const { return minimized_; }

  // Hands an exception that left an event handler to OnException, or shows
  // it. Never raises. The overload without an exception uses the one being
  // handled, so it belongs in a catch block.
  void HandleException(QObject* sender, std::exception_ptr error);
  void HandleException(QObject* sender);
  // The default handling: an error box titled with Title() holding the message.
  void ShowException(std::exception_ptr error);

  // A modal message box; returns the ID of the button pressed. With a hook
  // installed the hook answers instead. Where nobody can see a box (the
  // "offscreen" and "minimal" platforms) it is written to standard error and
  // answered with its default button, so that it never waits forever.
  int MessageBox(std::string_view text, std::string_view caption, uint32_t flags = MB_OK);
  TMessageBoxHook MessageBoxHook;
  // False on platforms where no one can see or answer a window.
  static bool CanShowWindows();

  // Routes every exception that leaves an event handler to HandleException.
  bool notify(QObject* receiver, QEvent* event) override;

 protected:
  bool eventFilter(QObject* watched, QEvent* event) override;

 private:
  std::string title_;
  QPointer<QWidget> mainForm_;
  bool minimized_ = false;
};

// The one application object, or null before it exists and after it is gone.
extern TApplication* Application;

// Runs an event handler; if it raises, the exception goes to the
// application's exception handling instead of unwinding through Qt. Without
// an application object the exception passes on.
template <typename F>
void CallHandler(QObject* sender, F&& handler) {
  try {
    handler();
  } catch (...) {
    if (Application == nullptr) throw;
    Application->HandleException(sender, std::current_exception());
  }
}

// ---------------------------------------------------------------------------

// A periodic timer with a 32-bit unsigned interval in milliseconds. It runs
// while Enabled, with a non-zero Interval and an OnTimer handler; an interval
// of 0 never fires. Setting the interval or the enabled state it already has
// leaves the running countdown alone; any real change starts a full interval
// anew. Intervals longer than Qt's own limit (about 24.8 days) are waited out
// in several steps.
class TTimer : public QObject {
 public:
  explicit TTimer(QObject* owner = nullptr);
  ~TTimer() override;

  bool Enabled() const { return enabled_; }
  void SetEnabled(bool enabled);
  uint32_t Interval() const { return interval_; }
  void SetInterval(uint32_t milliseconds);
  void SetOnTimer(TNotifyEvent handler);

  // Whether a countdown is running, and when it ends.
  bool Running() const { return running_; }
  QDeadlineTimer Deadline() const { return deadline_; }

  // The longest single wait handed to Qt; longer intervals are chained from
  // such waits. Qt takes at most INT_MAX ms.
  void SetLongestWait(int milliseconds);
  int LongestWait() const { return longestWait_; }

 private:
  void UpdateTimer();
  void Schedule();
  void Elapsed();

  QTimer qtimer_;
  QDeadlineTimer deadline_;
  TNotifyEvent onTimer_;
  uint32_t interval_ = 1000;
  bool enabled_ = true;
  bool running_ = false;
  int longestWait_;
};

// ---------------------------------------------------------------------------

// A single-line edit with its label to its left, the label's right edge three
// pixels before the edit and the label centred on the edit's height.
class TLabeledEdit : public QLineEdit {
 public:
  explicit TLabeledEdit(QWidget* parent);
  ~TLabeledEdit() override;

  QLabel* EditLabel() const { return label_; }
  void SetLabelCaption(std::string_view caption);
  void SetBounds(int left, int top, int width, int height);

  std::string Text() const;
  void SetText(std::string_view text);

  // Runs when the focus moves from this edit to another control of its
  // window (not when the window itself loses the focus).
  TNotifyEvent OnExit;

  static constexpr int kLabelSpacing = 3;

 protected:
  void moveEvent(QMoveEvent* event) override;
  void resizeEvent(QResizeEvent* event) override;
  void showEvent(QShowEvent* event) override;
  void hideEvent(QHideEvent* event) override;
  void focusOutEvent(QFocusEvent* event) override;

 private:
  void PlaceLabel();
  QPointer<QLabel> label_;
};

// ---------------------------------------------------------------------------

enum class TBevelCut { bvNone, bvLowered, bvRaised };

// A panel with an outer and an inner bevel of one pixel each.
class TPanel : public QFrame {
 public:
  explicit TPanel(QWidget* parent);
  TBevelCut BevelOuter = TBevelCut::bvRaised;
  TBevelCut BevelInner = TBevelCut::bvNone;

 protected:
  void paintEvent(QPaintEvent* event) override;
};

// ---------------------------------------------------------------------------

// A modal dialog whose result is one of the mr values; closing it by its
// close box answers mrCancel.
class TDialogForm : public QDialog {
 public:
  explicit TDialogForm(QWidget* parent = nullptr);
  virtual int ShowModal();
  // Fixes the area inside the window frame at width × height.
  void SetClientSize(int width, int height);
  void CenterOnScreen();
  void reject() override;
};

// ---------------------------------------------------------------------------
// The Qt boundary.

QString ToQString(std::string_view text);
std::string FromQString(const QString& text);
// For captions shown on several lines: CR LF, LF CR, a lone CR and a lone LF
// each become one line break.
QString MultiLineText(std::string_view text);
// The font of the windows: the family at the given pixel height, or the
// nearest font the system has.
QFont FormFont(const char* family, int pixelSize);
// The icon compiled into the executable as ICON/<name> (an image file), or a
// null icon when there is none or it does not decode.
QIcon ResourceIcon(std::string_view name);
QPixmap ResourcePixmap(std::string_view name);
// The screen's work area (the desktop minus panels and task bars).
QRect WorkArea();
