#include "runtime/Forms.h"

#include <QFocusEvent>
#include <QGuiApplication>
#include <QMessageBox>
#include <QPainter>
#include <QPixmap>
#include <QPushButton>
#include <QScreen>
#include <QWidget>
#include <qdrawutil.h>

#include <algorithm>
#include <cstdio>
#include <limits>

#include "runtime/Exception.h"
#include "runtime/Resources.h"

TApplication* Application = nullptr;

// ---------------------------------------------------------------------------

TMessageBoxRequest DescribeMessageBox(std::string_view text, std::string_view caption, uint32_t flags) {
  TMessageBoxRequest r;
  r.Text = std::string(text);
  r.Caption = std::string(caption);
  r.Flags = flags;
  switch (flags & 0x0F) {
    case MB_OKCANCEL: r.Buttons = {IDOK, IDCANCEL}; break;
    case MB_ABORTRETRYIGNORE: r.Buttons = {IDABORT, IDRETRY, IDIGNORE}; break;
    case MB_YESNOCANCEL: r.Buttons = {IDYES, IDNO, IDCANCEL}; break;
    case MB_YESNO: r.Buttons = {IDYES, IDNO}; break;
    case MB_RETRYCANCEL: r.Buttons = {IDRETRY, IDCANCEL}; break;
    default: r.Buttons = {IDOK}; break;
  }
  std::size_t def = (flags >> 8) & 0x0F;
  if (def >= r.Buttons.size()) def = 0;
  r.DefaultResult = r.Buttons[def];
  return r;
}

// ---------------------------------------------------------------------------

TApplication::TApplication(int& argc, char** argv) : QApplication(argc, argv) {
  Application = this;
  // The program ends when its main form closes, not when the last visible
  // window does: with the main form hidden in the tray, closing a message box
  // must not end it.
  setQuitOnLastWindowClosed(false);
}

TApplication::~TApplication() {
  if (Application == this) Application = nullptr;
}

void TApplication::SetTitle(std::string title) {
  title_ = std::move(title);
  setApplicationName(ToQString(title_));
}

void TApplication::SetMainForm(QWidget* form) {
  if (mainForm_) mainForm_->removeEventFilter(this);
  mainForm_ = form;
  if (form) form->installEventFilter(this);
}

void TApplication::Minimize() {
  if (!minimized_) {
    minimized_ = true;
    if (mainForm_ && !mainForm_->isMinimized()) mainForm_->setWindowState(mainForm_->windowState() | Qt::WindowMinimized);
  }
  if (OnMinimize) OnMinimize(this);
}

void TApplication::Restore() {
  if (!minimized_) return;
  minimized_ = false;
  if (mainForm_ && mainForm_->isMinimized()) mainForm_->setWindowState(mainForm_->windowState() & ~Qt::WindowMinimized);
}

void TApplication::BringToFront() {
  QWidget* target = activeModalWidget();
  if (target == nullptr) target = mainForm_;
  if (target == nullptr || !target->isVisible()) return;
  target->raise();
  target->activateWindow();
}

bool TApplication::eventFilter(QObject* watched, QEvent* event) {
  // The user minimised the main form: that minimises the application.
  if (watched == mainForm_ && event->type() == QEvent::WindowStateChange && mainForm_->isMinimized() &&
      !minimized_) {
    CallHandler(this, [this] { Minimize(); });
  }
  // Closing the main form ends the program, once the close went through.
  if (watched == mainForm_ && event->type() == QEvent::Close) {
    QMetaObject::invokeMethod(
        this, [this] {
          if (mainForm_ == nullptr || !mainForm_->isVisible()) quit();
        },
        Qt::QueuedConnection);
  }
  return QApplication::eventFilter(watched, event);
}

void TApplication::HandleException(QObject* sender, std::exception_ptr error) {
  if (!error) return;
  if (OnException) {
    try {
      OnException(sender, error);
      return;
    } catch (...) {
      // The replacement handler failed: show what it raised rather than lose both.
      error = std::current_exception();
    }
  }
  ShowException(error);
}

void TApplication::HandleException(QObject* sender) { HandleException(sender, std::current_exception()); }

void TApplication::ShowException(std::exception_ptr error) {
  try {
    MessageBox(ExceptionMessage(error), title_, MB_OK | MB_ICONERROR);
  } catch (...) {
    // Nothing is left to report with; the program carries on.
  }
}

bool TApplication::CanShowWindows() {
  const QString platform = QGuiApplication::platformName();
  return platform != QLatin1String("offscreen") && platform != QLatin1String("minimal");
}

int TApplication::MessageBox(std::string_view text, std::string_view caption, uint32_t flags) {
  const TMessageBoxRequest request = DescribeMessageBox(text, caption, flags);
  if (MessageBoxHook) return MessageBoxHook(request);
  if (!CanShowWindows()) {
    std::fprintf(stderr, "[%s] %s\n", request.Caption.c_str(), request.Text.c_str());
    std::fflush(stderr);
    return request.DefaultResult;
  }

  QMessageBox box(QApplication::activeWindow());
  box.setWindowTitle(ToQString(caption));
  box.setTextFormat(Qt::PlainText);
  box.setText(ToQString(text));
  switch (flags & 0xF0) {
    case MB_ICONERROR: box.setIcon(QMessageBox::Critical); break;
    case MB_ICONQUESTION: box.setIcon(QMessageBox::Question); break;
    case MB_ICONWARNING: box.setIcon(QMessageBox::Warning); break;
    case MB_ICONINFORMATION: box.setIcon(QMessageBox::Information); break;
    default: box.setIcon(QMessageBox::NoIcon); break;
  }
  struct Choice {
    QAbstractButton* button;
    int id;
  };
  std::vector<Choice> choices;
  for (int id : request.Buttons) {
    QMessageBox::StandardButton sb = QMessageBox::Ok;
    switch (id) {
      case IDCANCEL: sb = QMessageBox::Cancel; break;
      case IDABORT: sb = QMessageBox::Abort; break;
      case IDRETRY: sb = QMessageBox::Retry; break;
      case IDIGNORE: sb = QMessageBox::Ignore; break;
      case IDYES: sb = QMessageBox::Yes; break;
      case IDNO: sb = QMessageBox::No; break;
      default: break;
    }
    QPushButton* b = box.addButton(sb);
    choices.push_back({b, id});
    if (id == request.DefaultResult) box.setDefaultButton(b);
  }
  // Esc answers Cancel where there is one, and OK in a box with only OK.
  int escapeId = 0;
  for (const Choice& c : choices)
    if (c.id == IDCANCEL || (request.Buttons.size() == 1 && c.id == IDOK)) {
      box.setEscapeButton(c.button);
      escapeId = c.id;
    }
  box.exec();
  for (const Choice& c : choices)
    if (box.clickedButton() == c.button) return c.id;
  return escapeId != 0 ? escapeId : IDCANCEL;
}

bool TApplication::notify(QObject* receiver, QEvent* event) {
  try {
    return QApplication::notify(receiver, event);
  } catch (...) {
    HandleException(receiver, std::current_exception());
    return false;
  }
}

// ---------------------------------------------------------------------------

TTimer::TTimer(QObject* owner) : QObject(owner), longestWait_(std::numeric_limits<int>::max()) {
  qtimer_.setSingleShot(true);
  qtimer_.setTimerType(Qt::PreciseTimer);
  QObject::connect(&qtimer_, &QTimer::timeout, this, [this] { Elapsed(); });
}

TTimer::~TTimer() = default;

void TTimer::SetEnabled(bool enabled) {
  if (enabled == enabled_) return;
  enabled_ = enabled;
  UpdateTimer();
}

void TTimer::SetInterval(uint32_t milliseconds) {
  if (milliseconds == interval_) return;
  interval_ = milliseconds;
  UpdateTimer();
}

void TTimer::SetOnTimer(TNotifyEvent handler) {
  onTimer_ = std::move(handler);
  UpdateTimer();
}

void TTimer::SetLongestWait(int milliseconds) {
  longestWait_ = std::max(1, milliseconds);
  if (running_) Schedule();
}

void TTimer::UpdateTimer() {
  qtimer_.stop();
  running_ = enabled_ && interval_ != 0 && static_cast<bool>(onTimer_);
  if (!running_) {
    deadline_ = QDeadlineTimer();
    return;
  }
  deadline_ = QDeadlineTimer(static_cast<qint64>(interval_), Qt::PreciseTimer);
  Schedule();
}

void TTimer::Schedule() {
  const qint64 remaining = std::max<qint64>(0, deadline_.remainingTime());
  qtimer_.start(static_cast<int>(std::min<qint64>(remaining, longestWait_)));
}

void TTimer::Elapsed() {
  if (!running_) return;
  if (!deadline_.hasExpired()) {
    Schedule();  // one step of a long interval
    return;
  }
  // The next period counts from now; the handler may change it.
  deadline_ = QDeadlineTimer(static_cast<qint64>(interval_), Qt::PreciseTimer);
  Schedule();
  TNotifyEvent handler = onTimer_;
  CallHandler(this, [&] { handler(this); });
}

// ---------------------------------------------------------------------------

TLabeledEdit::TLabeledEdit(QWidget* parent) : QLineEdit(parent), label_(new QLabel(parent)) {
  label_->setBuddy(this);
  label_->setFont(font());
}

TLabeledEdit::~TLabeledEdit() { delete label_.data(); }

void TLabeledEdit::SetLabelCaption(std::string_view caption) {
  label_->setText(ToQString(caption));
  label_->adjustSize();
  PlaceLabel();
}

void TLabeledEdit::SetBounds(int left, int top, int width, int height) {
  setGeometry(left, top, width, height);
  // A hidden edit gets its move and resize events only when shown.
  PlaceLabel();
}

std::string TLabeledEdit::Text() const { return FromQString(text()); }

void TLabeledEdit::SetText(std::string_view text) { setText(ToQString(text)); }

void TLabeledEdit::PlaceLabel() {
  if (!label_) return;
  const QRect g = geometry();
  label_->move(g.left() - label_->width() - kLabelSpacing, g.top() + (g.height() - label_->height()) / 2);
}

void TLabeledEdit::moveEvent(QMoveEvent* event) {
  QLineEdit::moveEvent(event);
  PlaceLabel();
}

void TLabeledEdit::resizeEvent(QResizeEvent* event) {
  QLineEdit::resizeEvent(event);
  PlaceLabel();
}

void TLabeledEdit::showEvent(QShowEvent* event) {
  QLineEdit::showEvent(event);
  PlaceLabel();
  if (label_) label_->show();
}

void TLabeledEdit::hideEvent(QHideEvent* event) {
  QLineEdit::hideEvent(event);
  // Only a hide of the edit itself hides the label; a hidden window hides both anyway.
  if (label_ && !event->spontaneous() && isHidden()) label_->hide();
}

void TLabeledEdit::focusOutEvent(QFocusEvent* event) {
  QLineEdit::focusOutEvent(event);
  const Qt::FocusReason reason = event->reason();
  if (reason == Qt::ActiveWindowFocusReason || reason == Qt::PopupFocusReason) return;
  if (!window()->isVisible() || !OnExit) return;
  TNotifyEvent handler = OnExit;
  CallHandler(this, [&] { handler(this); });
}

// ---------------------------------------------------------------------------

TPanel::TPanel(QWidget* parent) : QFrame(parent) { setContentsMargins(2, 2, 2, 2); }

void TPanel::paintEvent(QPaintEvent* event) {
  QFrame::paintEvent(event);
  QPainter p(this);
  QRect r = rect();
  for (TBevelCut cut : {BevelOuter, BevelInner}) {
    if (cut == TBevelCut::bvNone) continue;
    qDrawShadePanel(&p, r, palette(), cut == TBevelCut::bvLowered, 1);
    r.adjust(1, 1, -1, -1);
  }
}

// ---------------------------------------------------------------------------

TDialogForm::TDialogForm(QWidget* parent) : QDialog(parent) {}

int TDialogForm::ShowModal() { return exec(); }

void TDialogForm::SetClientSize(int width, int height) { setFixedSize(width, height); }

void TDialogForm::CenterOnScreen() {
  const QScreen* screen = QGuiApplication::primaryScreen();
  if (screen == nullptr) return;
  const QRect s = screen->geometry();
  const QSize f = frameGeometry().size();
  move(s.left() + (s.width() - f.width()) / 2, s.top() + (s.height() - f.height()) / 2);
}

void TDialogForm::reject() { done(mrCancel); }

// ---------------------------------------------------------------------------

QString ToQString(std::string_view text) {
  return QString::fromLocal8Bit(text.data(), static_cast<qsizetype>(text.size()));
}

std::string FromQString(const QString& text) { return text.toLocal8Bit().toStdString(); }

QString MultiLineText(std::string_view text) {
  std::string out;
  out.reserve(text.size());
  for (std::size_t i = 0; i < text.size(); ++i) {
    const char c = text[i];
    if (c == '\r' || c == '\n') {
      out.push_back('\n');
      if (i + 1 < text.size() && (text[i + 1] == '\r' || text[i + 1] == '\n') && text[i + 1] != c) ++i;
    } else {
      out.push_back(c);
    }
  }
  return ToQString(out);
}

QFont FormFont(const char* family, int pixelSize) {
  QFont f(QString::fromLatin1(family));
  f.setPixelSize(pixelSize);
  f.setStyleHint(QFont::SansSerif);
  return f;
}

QPixmap ResourcePixmap(std::string_view name) {
  std::span<const uint8_t> data = FindResource("ICON", name);
  QPixmap pixmap;
  if (data.data() != nullptr && data.size() <= static_cast<std::size_t>(std::numeric_limits<int>::max()))
    pixmap.loadFromData(data.data(), static_cast<uint>(data.size()));
  return pixmap;
}

QIcon ResourceIcon(std::string_view name) {
  QPixmap pixmap = ResourcePixmap(name);
  return pixmap.isNull() ? QIcon() : QIcon(pixmap);
}

QRect WorkArea() {
  const QScreen* screen = QGuiApplication::primaryScreen();
  return screen ? screen->availableGeometry() : QRect();
}

#if defined(__SANITIZE_ADDRESS__)
// Qt's font database keeps fontconfig's configuration for the life of the
// process and never frees it; that is no leak of ours.
extern "C" const char* __lsan_default_suppressions() { return "leak:libfontconfig.so\n"; }
#endif
