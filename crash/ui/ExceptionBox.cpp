#include "crash/ui/ExceptionBox.h"

#include <QApplication>
#include <QCloseEvent>
#include <QFileDialog>
#include <QFontInfo>
#include <QGuiApplication>
#include <QKeyEvent>
#include <QMessageBox>
#include <QPainter>
#include <QProcess>
#include <QScreen>
#include <QStandardPaths>
#include <QStyle>
#include <QThread>
#include <QTimer>
#include <QWindow>

#include <algorithm>
#include <cstdio>
#include <memory>

#include "crash/delivery/CDBugRepFile.h"
#include "crash/delivery/CDSendReport.h"
#include "crash/delivery/ICDAttachments.h"
#include "crash/settings/CDTextVars.h"
#include "crash/ui/CDAssistantForm.h"
#include "crash/ui/CDPrintReport.h"
#include "crash/ui/CDReportView.h"
#include "crash/ui/CDScreenShot.h"
#include "runtime/Forms.h"
#include "runtime/Resources.h"
#include "runtime/SysUtils.h"

namespace {

constexpr int kMargin = 10;
constexpr int kGap = 6;
constexpr int kIconLeft = 10, kIconTop = 9, kIconSize = 32, kIconShift = 40;
constexpr int kWrapWidth = 664;
constexpr int kSmallMinWidth = 75, kSmallWidenedWidth = 79;
constexpr int kViewHeight = 320, kViewMinWidth = 620;

int Index(TCDAction action) { return static_cast<int>(action); }

// The bitmap the program gives the box, when it carries one.
QPixmap BigIcon() {
  for (const char* type : {"BITMAP", "ICON"}) {
    std::span<const uint8_t> data = FindResource(type, "CDIBIG");
    QPixmap pixmap;
    if (data.data() != nullptr && pixmap.loadFromData(data.data(), static_cast<uint>(data.size())))
      return pixmap.scaled(kIconSize, kIconSize, Qt::KeepAspectRatio, Qt::SmoothTransformation);
  }
  return QPixmap();
}

QFont BoxFont() {
  QFont font = FormFont("Tahoma", 11);
  if (!QFontInfo(font).exactMatch()) {
    QFont fallback = FormFont("MS Sans Serif", 12);
    if (QFontInfo(fallback).exactMatch()) return fallback;
  }
  return font;
}

// The desktop's error sound where the desktop has one, else the bell.
void PlayErrorSound() {
  const QString player = QStandardPaths::findExecutable(QStringLiteral("canberra-gtk-play"));
  if (player.isEmpty() || !QProcess::startDetached(player, {QStringLiteral("--id=dialog-error")})) QApplication::beep();
}

// Says that a send failed; from a sending thread the message waits for the
// GUI thread (the box may be gone by then).
void ShowSendFailure(const std::string& caption, const std::string& text) {
  QCoreApplication* app = QCoreApplication::instance();
  if (app == nullptr) return;
  auto show = [caption, text] {
    if (Application != nullptr)
      Application->MessageBox(text, caption, MB_OK | MB_ICONERROR);
    else
      QMessageBox::critical(QApplication::activeWindow(), ToQString(caption), ToQString(text));
  };
  if (QThread::currentThread() == app->thread())
    show();
  else
    QMetaObject::invokeMethod(app, show, Qt::QueuedConnection);
}

std::string NameWithoutExt(const std::string& path) { return ChangeFileExt(ExtractFileName(path), ""); }

}  // namespace

QString BreakLongWords(const QString& text, const QFontMetrics& metrics, int width) {
  QString out;
  out.reserve(text.size());
  qsizetype start = 0;
  auto flush = [&](qsizetype end) {
    const QString word = text.mid(start, end - start);
    if (metrics.horizontalAdvance(word) <= width) {
      out += word;
      return;
    }
    for (qsizetype i = 0; i < word.size(); ++i) {
      if (i > 0 && !word[i].isLowSurrogate()) out += QChar(0x200B);
      out += word[i];
    }
  };
  for (qsizetype i = 0; i <= text.size(); ++i) {
    if (i < text.size() && !text[i].isSpace()) continue;
    flush(i);
    if (i < text.size()) out += text[i];
    start = i + 1;
  }
  return out;
}

std::string BreakAfterFullStops(std::string_view message) {
  std::string out(message);
  for (std::size_t i = 19; i + 11 <= out.size(); ++i)
    if (out[i] == '.' && out[i + 1] == ' ') out.replace(i + 1, 1, "\r\n");
  return out;
}

// ---------------------------------------------------------------------------

TCDAutoButton::TCDAutoButton(QWidget* parent) : QPushButton(parent) {
  timer_.setInterval(10);
  connect(&timer_, &QTimer::timeout, this, [this] { Tick(); });
}

void TCDAutoButton::StartCountdown(int seconds) {
  durationMs_ = std::max(0, seconds) * 1000;
  fill_ = 0;
  if (durationMs_ == 0) {
    QTimer::singleShot(0, this, [this] { click(); });
    return;
  }
  started_.start();
  timer_.start();
}

void TCDAutoButton::StopCountdown() {
  timer_.stop();
  fill_ = 0;
  update();
}

void TCDAutoButton::Tick() {
  fill_ = std::min(1.0, static_cast<double>(started_.elapsed()) / durationMs_);
  update();
  if (fill_ >= 1.0) {
    timer_.stop();
    click();
  }
}

void TCDAutoButton::paintEvent(QPaintEvent* event) {
  QPushButton::paintEvent(event);
  if (fill_ <= 0) return;
  QPainter painter(this);
  QColor bar = palette().color(QPalette::Highlight);
  bar.setAlpha(90);
  painter.fillRect(QRect(2, 2, static_cast<int>((width() - 4) * fill_), height() - 4), bar);
}

// ---------------------------------------------------------------------------

TExceptionBox::TExceptionBox(ICDException& exception, int showMode, bool firstShowing, QWidget* parent)
    : QDialog(parent),
      e_(exception),
      mode_(showMode == 2 || showMode == 3 ? showMode : 0),
      small_(mode_ != 0),
      firstShowing_(firstShowing),
      screenShot_(exception.ScreenShotFile()) {
  setObjectName("crashDeskWndClass");
  setFont(BoxFont());
  const TICDSettings& s = e_.Settings();
  const bool resizable = !small_ && s.GetAutoShowBugRep();
  // Without CustomizeWindowHint the window manager decorates a dialog as it
  // likes, minimise and maximise included.
  Qt::WindowFlags flags = Qt::Dialog | Qt::CustomizeWindowHint | Qt::WindowTitleHint | Qt::WindowSystemMenuHint |
                          Qt::WindowCloseButtonHint | Qt::WindowStaysOnTopHint;
  if (resizable) flags |= Qt::WindowMinMaxButtonsHint;
  setWindowFlags(flags);

  std::string message = BreakAfterFullStops(e_.ExceptionMessage());
  if (small_) {
    setWindowTitle(ToQString(NameWithoutExt(ApplicationExeName())));
  } else {
    setWindowTitle(ToQString(s.GetTitleBar()));
    std::string text = e_.ExceptionType() == TCDExceptionType::Freeze ? s.GetFrozenMsg() : s.GetExceptMsg();
    std::string report = FindText(text, "%bugReport%") != std::string::npos ? e_.Report().Text() : std::string();
    message = ExpandExceptionVars(text, message, report);
  }
  baseMessage_ = message;
  // A report that will not reach its file is not lost without a word.
  if (const std::string note = PlannedSaveText(e_); !note.empty()) message += "\n\n" + note;

  QPixmap icon = BigIcon();
  if (!icon.isNull()) {
    icon_ = new QLabel(this);
    icon_->setPixmap(icon);
    icon_->setGeometry(kIconLeft, kIconTop, kIconSize, kIconSize);
  }
  message_ = new QLabel(this);
  message_->setObjectName("lblMessage");
  message_->setTextFormat(Qt::PlainText);
  message_->setWordWrap(true);
  message_->setAlignment(Qt::AlignLeft | Qt::AlignTop);
  messageText_ = MultiLineText(message);
  message_->setText(messageText_);

  CreateButtons();
  if (resizable) {
    view_ = new TCDReportView(e_.Report(), this);
    view_->setObjectName("reportView");
  }
  Arrange(-1);
  ChooseAutoButton();
  if (SavesWhileShown()) {
    // The report completes on a thread of its own; its flag is read here,
    // on the box's thread, so the box never hears of it from elsewhere.
    connect(&saveWatch_, &QTimer::timeout, this, [this] { SaveWhenComplete(); });
    saveWatch_.start(100);
  }
}

TExceptionBox::~TExceptionBox() = default;

bool TExceptionBox::SavesWhileShown() const {
  const TICDSettings& s = e_.Settings();
  return s.GetAutoSave() && !s.GetAutoSaveIfNotSent() && !e_.Saved() && !e_.AutoSaved();
}

void TExceptionBox::SaveWhenComplete() {
  if (!e_.Report().Complete()) return;
  saveWatch_.stop();
  // Saved by the user meanwhile, or by another showing of the same exception.
  if (e_.Saved() || e_.AutoSaved()) return;
  const std::string report = e_.Report().Text();
  if (report.empty()) return;
  e_.SetAutoSaved();
  if (e_.CallActionHandlers(TCDAction::Save)) return;
  const TCDSaveOutcome outcome = AutoSaveBugReport(e_, report);
  // The console hears of a report that did not go where it should, as
  // it does when the save comes after the box.
  if (const std::string elsewhere = SaveOutcomeText(outcome); !elsewhere.empty()) {
    const std::string line = ExtractFileName(ApplicationExeName()) + ": " + elsewhere + "\n";
    std::fwrite(line.data(), 1, line.size(), stderr);
    std::fflush(stderr);
  }
  SetNote(SavedText(outcome));
}

void TExceptionBox::SetNote(const std::string& note) {
  messageText_ = MultiLineText(note.empty() ? baseMessage_ : baseMessage_ + "\n\n" + note);
  message_->setText(messageText_);
  Arrange(view_ ? width() : -1);
}

void TExceptionBox::CreateButtons() {
  const TICDSettings& s = e_.Settings();
  const bool canContinue = e_.CanContinue();
  auto make = [this](TCDAction action, const std::string& text, const char* name) {
    auto* button = new TCDAutoButton(this);
    button->setObjectName(name);
    button->setText(ToQString(text));
    button->setAutoDefault(false);
    connect(button, &QPushButton::clicked, this, [this, action] { DoAction(action); });
    buttons_[static_cast<std::size_t>(Index(action))] = button;
  };
  if (small_) {
    make(TCDAction::Continue, s.GetOkBtnTxt(), "btnOK");
    if (mode_ == 2) make(TCDAction::Show, s.GetDetailsBtnTxt(), "btnDetails");
    Button(TCDAction::Continue)->setDefault(true);
    return;
  }
  if (s.GetSendBtnVis()) make(TCDAction::Send, s.GetSendBtnTxt(), "btnSend");
  if (s.GetSaveBtnVis()) make(TCDAction::Save, s.GetSaveBtnTxt(), "btnSave");
  if (s.GetPrintBtnVis()) make(TCDAction::Print, s.GetPrintBtnTxt(), "btnPrint");
  if (s.GetShowBtnVis() && !s.GetAutoShowBugRep()) make(TCDAction::Show, s.GetShowBtnTxt(), "btnShow");
  if (s.GetContinueBtnVis()) make(TCDAction::Continue, s.GetContinueBtnTxt(), "btnContinue");
  if (s.GetRestartBtnVis()) make(TCDAction::Restart, s.GetRestartBtnTxt(), "btnRestart");
  if (s.GetCloseBtnVis()) make(TCDAction::Close, s.GetCloseBtnTxt(), "btnClose");
  if (QPushButton* cont = Button(TCDAction::Continue))
    if (!canContinue && (Button(TCDAction::Restart) || Button(TCDAction::Close))) cont->setEnabled(false);
}

QPushButton* TExceptionBox::Button(TCDAction action) const { return buttons_[static_cast<std::size_t>(Index(action))]; }

void TExceptionBox::ChooseAutoButton() {
  const TICDSettings& s = e_.Settings();
  QPushButton* chosen = nullptr;
  if (s.AutoClosePasses() && Button(TCDAction::Close))
    chosen = Button(TCDAction::Close);
  else if (s.AutoRestartPasses() && Button(TCDAction::Restart))
    chosen = Button(TCDAction::Restart);
  else if (s.GetAutoContinue() && Button(TCDAction::Continue) && e_.CanContinue())
    chosen = Button(TCDAction::Continue);
  auto_ = static_cast<TCDAutoButton*>(chosen);
}

void TExceptionBox::Arrange(int clientWidth) {
  const bool ugly = e_.Settings().GetUglyBtns();
  const int height = small_ ? 23 : ugly ? 26 : 22;
  const QFontMetrics fm(font());
  auto widthOf = [&](QPushButton* b) {
    int w = fm.horizontalAdvance(b->text().remove(QChar('&'))) + 24;
    if (small_ && w < kSmallMinWidth) w = kSmallWidenedWidth;
    return w;
  };

  std::vector<QPushButton*> left, right;
  for (TCDAction a : {TCDAction::Send, TCDAction::Save, TCDAction::Print, TCDAction::Show})
    if (QPushButton* b = Button(a); b && !b->isHidden()) left.push_back(b);
  for (TCDAction a : {TCDAction::Continue, TCDAction::Restart, TCDAction::Close})
    if (QPushButton* b = Button(a); b && !b->isHidden()) right.push_back(b);
  column_ = !small_ && right.size() >= 2 && !left.empty();
  std::vector<QPushButton*> row = left;
  if (!column_) row.insert(row.end(), right.begin(), right.end());
  // In the small modes the details button follows OK.
  if (small_) std::reverse(row.begin(), row.end());

  int rowWidth = 0;
  for (QPushButton* b : row) rowWidth += widthOf(b) + (rowWidth ? kGap : 0);
  int columnWidth = 0;
  if (column_)
    for (QPushButton* b : right) columnWidth = std::max(columnWidth, widthOf(b));

  // The message's room: the wrap width, narrowed for small screens.
  const int messageLeft = icon_ ? kIconLeft + kIconShift : kMargin;
  const QScreen* screen = QGuiApplication::primaryScreen();
  const int screenWidth = screenWidth_ > 0 ? screenWidth_ : screen ? screen->geometry().width() : 0;
  const int caption = std::max(18, style()->pixelMetric(QStyle::PM_TitleBarHeight));
  const int maxClient = screenWidth > 0 ? screenWidth - 5 * caption : 100000;
  const int besideMessage = column_ ? 2 * kGap + columnWidth + kMargin : kMargin;
  int wrap = std::min(kWrapWidth - messageLeft, maxClient - messageLeft - besideMessage);
  wrap = std::max(wrap, 100);
  // A word wider than the line (a long address) breaks anywhere rather than
  // run past the box's edge.
  const QString text = BreakLongWords(messageText_, fm, wrap);
  message_->setText(text);
  QRect textRect = fm.boundingRect(QRect(0, 0, wrap, 100000), Qt::TextWordWrap, text);
  int messageWidth = textRect.width() + 2;
  // Wider when the buttons below it need more room.
  const int rowRoom = column_ ? rowWidth - (messageLeft - kMargin) : 0;
  messageWidth = std::max(messageWidth, rowRoom);
  int naturalWidth = std::max(messageLeft + messageWidth + besideMessage, rowWidth + 2 * kMargin);
  naturalWidth = std::min(naturalWidth, std::max(maxClient, rowWidth + 2 * kMargin));
  if (view_) naturalWidth = std::max(naturalWidth, kViewMinWidth);
  minClientWidth_ = naturalWidth;
  const int width = clientWidth < 0 ? naturalWidth : std::max(clientWidth, naturalWidth);

  // The message takes what the buttons beside it leave.
  messageWidth = std::min(width - messageLeft - besideMessage, std::max(messageWidth, textRect.width() + 2));
  textRect = fm.boundingRect(QRect(0, 0, messageWidth, 100000), Qt::TextWordWrap, text);
  message_->setGeometry(messageLeft, kMargin, messageWidth, textRect.height());
  int contentBottom = kMargin + textRect.height();
  if (icon_) contentBottom = std::max(contentBottom, kIconTop + kIconSize);

  int top = contentBottom;
  if (column_) {
    int y = kMargin;
    const int x = width - kMargin - columnWidth;
    for (QPushButton* b : right) {
      b->setGeometry(x, y, columnWidth, height);
      y += height + kGap;
    }
    const int columnBottom = y - kGap;
    // The row stands level with the column's last button when it ends
    // before the column; a row that would reach under the column goes below
    // it, in as many lines as the box's width needs.
    const bool beside = kMargin + rowWidth + kGap <= x;
    int rowY = beside ? std::max(contentBottom + 14, columnBottom - height)
                      : std::max(contentBottom + 14, columnBottom + kGap);
    int x2 = kMargin;
    for (QPushButton* b : row) {
      if (x2 > kMargin && x2 + widthOf(b) > (beside ? x - kGap : width - kMargin)) {
        x2 = kMargin;
        rowY += height + kGap;
      }
      b->setGeometry(x2, rowY, widthOf(b), height);
      x2 += widthOf(b) + kGap;
    }
    top = std::max(rowY + height, columnBottom);
  } else {
    const int rowY = contentBottom + 14;
    int x = small_ ? (width - rowWidth) / 2 : width - kMargin - rowWidth;
    for (QPushButton* b : row) {
      b->setGeometry(x, rowY, widthOf(b), height);
      x += widthOf(b) + kGap;
    }
    top = row.empty() ? contentBottom : rowY + height;
  }
  topHeight_ = top + kMargin;

  if (view_) {
    if (clientWidth < 0) {
      setMinimumSize(naturalWidth, topHeight_ + 120);
      resize(naturalWidth, topHeight_ + kViewHeight);
    }
    const int viewHeight =
        std::max(60, (clientWidth < 0 ? topHeight_ + kViewHeight : this->height()) - topHeight_ - kMargin);
    view_->setGeometry(kMargin, topHeight_, width - 2 * kMargin, viewHeight);
  } else {
    setFixedSize(width, topHeight_);
  }
}

void TExceptionBox::resizeEvent(QResizeEvent* event) {
  QDialog::resizeEvent(event);
  if (view_) Arrange(width());
}

void TExceptionBox::keyPressEvent(QKeyEvent* event) {
  // Return and Enter press the button that has the focus, as on any desktop.
  if (event->key() == Qt::Key_Return || event->key() == Qt::Key_Enter) {
    for (QPushButton* b : buttons_)
      if (b != nullptr && b == focusWidget()) {
        if (b->isEnabled()) b->click();
        event->accept();
        return;
      }
  }
  QDialog::keyPressEvent(event);
}

void TExceptionBox::changeEvent(QEvent* event) {
  QDialog::changeEvent(event);
  // The fixed box asks for no minimise button (Qt sets the Motif hints to
  // move, resize and close, and the type to a dialog), but some window
  // managers offer one anyway: openbox 3.6 passes over the Motif hints'
  // minimise and maximise bits and keeps minimise for every normal, dialog
  // and utility window; only the toolbar and menu types lose it, which would
  // tell every other window manager that the box is no dialog. A minimised
  // box waits where the user may never find it while the program waits on
  // it, so it comes straight back.
  if (event->type() == QEvent::WindowStateChange && (windowState() & Qt::WindowMinimized) &&
      !(windowFlags() & Qt::WindowMinimizeButtonHint))
    QTimer::singleShot(0, this, [this] {
      setWindowState(windowState() & ~Qt::WindowMinimized);
      raise();
      activateWindow();
    });
}

void TExceptionBox::FitToScreenWidth(int width) {
  screenWidth_ = width;
  Arrange(view_ ? this->width() : -1);
}

void TExceptionBox::showEvent(QShowEvent* event) {
  QDialog::showEvent(event);
  if (shown_) return;
  shown_ = true;
  // The focused button shows its focus from the start, not only after a Tab.
  setAttribute(Qt::WA_KeyboardFocusChange);
  const QScreen* screen = QGuiApplication::primaryScreen();
  if (screen) {
    const QRect s = screen->geometry();
    const QSize f = frameGeometry().size();
    move(s.left() + (s.width() - f.width()) / 2, s.top() + (s.height() - f.height()) / 2);
  }
  setWindowState(windowState() & ~Qt::WindowMinimized);
  raise();
  activateWindow();
  if (firstShowing_) PlayErrorSound();
  if (auto_) auto_->StartCountdown(e_.Settings().GetAutoDelay());
}

TCDEnding TExceptionBox::Execute() {
  exec();
  return ending_;
}

void TExceptionBox::Finish(TCDEnding ending) {
  ending_ = ending;
  finished_ = true;
  accept();
}

void TExceptionBox::reject() { close(); }

void TExceptionBox::closeEvent(QCloseEvent* event) {
  if (finished_) {
    QDialog::closeEvent(event);
    return;
  }
  // Closed without a button: the configured one, else the first of
  // continue, close and restart that the box offers.
  event->ignore();
  int focused = e_.Settings().GetFocusedBtn();
  if (focused >= Index(TCDAction::Continue) && focused <= Index(TCDAction::Close)) {
    DoAction(static_cast<TCDAction>(focused));
  } else if (Button(TCDAction::Continue) && e_.CanContinue()) {
    DoAction(TCDAction::Continue);
  } else if (Button(TCDAction::Close)) {
    DoAction(TCDAction::Close);
  } else if (Button(TCDAction::Restart)) {
    DoAction(TCDAction::Restart);
  } else {
    DoAction(TCDAction::Close);
  }
}

std::string TExceptionBox::ReportText() {
  e_.CompleteReport();
  return e_.Report().Text();
}

void TExceptionBox::DoAction(TCDAction action) {
  for (QPushButton* b : buttons_)
    if (b) static_cast<TCDAutoButton*>(b)->StopCountdown();
  if (e_.CallActionHandlers(action)) return;
  switch (action) {
    case TCDAction::Send:
      Send();
      break;
    case TCDAction::Save:
      Save();
      break;
    case TCDAction::Print:
      Print();
      break;
    case TCDAction::Show:
      reshow_ = true;
      Finish(TCDEnding::Continue);
      break;
    case TCDAction::Continue:
      Finish(e_.CanContinue() ? TCDEnding::Continue : TCDEnding::Close);
      break;
    case TCDAction::Restart:
      Finish(TCDEnding::Restart);
      break;
    case TCDAction::Close:
      Finish(TCDEnding::Close);
      break;
  }
}

void TExceptionBox::Send() {
  const TICDSettings& s = e_.Settings();
  const bool hadScreenShot = !screenShot_.empty();
  if (!RunCDAssistant(e_, s.GetSendAssis(), screenShot_, this)) return;
  if (hadScreenShot && screenShot_.empty()) screenShotDropped_ = true;
  if (screenShot_.empty() && e_.ScreenShotWanted() && !screenShotDropped_)
    screenShot_ = TakeCDScreenShot(s.GetScrShotDepth(), s.GetScrShotAppOnly(), CDTempFolder() + "/", this);
  QApplication::setOverrideCursor(Qt::WaitCursor);
  std::string report = ReportText();
  // The mail program's window must be able to come up above the box. The
  // window itself changes, not the widget: a shown modal dialog whose flags
  // change is hidden, and that would end it.
  SetTopMost(false);
  TCDSendOptions options;
  options.Background = s.GetSendInBackgr();
  const std::string caption = s.GetTitleBar();
  options.ShowFailure = [caption](const std::string& text) { ShowSendFailure(caption, text); };
  SendBugReport(e_, report, screenShot_, options);
  QApplication::restoreOverrideCursor();
  if (!options.Background) SetTopMost(true);
}

void TExceptionBox::SetTopMost(bool topMost) {
  if (QWindow* window = windowHandle()) window->setFlag(Qt::WindowStaysOnTopHint, topMost);
}

void TExceptionBox::Save() {
  const TICDSettings& s = e_.Settings();
  if (!RunCDAssistant(e_, s.GetSaveAssis(), screenShot_, this)) return;
  std::string report = ReportText();
  std::string name = ConfiguredBugRepFile(s);
  std::string path = name;
  if (IsRelativeBugRepName(name)) {
    if (e_.ProcessBlocked()) {
      QApplication::beep();
      return;
    }
    const std::string proposed = BugRepPathBesideExecutable(name);
    QFileDialog dialog(this, ToQString(s.GetSaveBtnTxt()), ToQString(ExtractFilePath(proposed)),
                       QStringLiteral("*.txt"));
    dialog.setAcceptMode(QFileDialog::AcceptSave);
    // A report is appended to the file chosen: nothing is replaced.
    dialog.setOption(QFileDialog::DontConfirmOverwrite);
    dialog.selectFile(ToQString(proposed));
    if (dialog.exec() != QDialog::Accepted || dialog.selectedFiles().isEmpty()) return;
    path = FromQString(dialog.selectedFiles().front());
  }
  std::string problem;
  // The configured file has it already (the box saved it once complete):
  // a second copy would count as a second failure.
  const bool there = e_.Saved() && BugRepPathBesideExecutable(path) == BugRepPathBesideExecutable(name);
  bool saved = there || SaveBugReport(e_, report, path, &problem);
  if (!saved) {
    ShowSendFailure(s.GetTitleBar(), "The bug report could not be saved to " + BugRepPathBesideExecutable(path) +
                                         " (" + problem + ").");
    return;
  }
  if (!IsRelativeBugRepName(name)) {
    Button(TCDAction::Save)->hide();
    Arrange(view_ ? width() : -1);
  }
}

void TExceptionBox::Print() {
  if (!RunCDAssistant(e_, e_.Settings().GetPrintAssis(), screenShot_, this)) return;
  PrintBugReport(ReportText(), this);
}
