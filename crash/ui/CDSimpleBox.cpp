#include "crash/ui/CDSimpleBox.h"

#include <QApplication>
#include <QHBoxLayout>
#include <QLabel>
#include <QPointer>
#include <QStyle>
#include <QVBoxLayout>

#include "runtime/Forms.h"
#include "runtime/SysUtils.h"

namespace {
QPushButton* AddButton(QHBoxLayout* row, QWidget* parent, const std::string& text) {
  auto* b = new QPushButton(ToQString(text), parent);
  b->setAutoDefault(false);
  row->addWidget(b);
  return b;
}
}  // namespace

TCDSimpleBox::TCDSimpleBox(ICDException& e, int showMode, QWidget* parent)
    : QDialog(parent, Qt::Dialog | Qt::WindowStaysOnTopHint | Qt::CustomizeWindowHint | Qt::WindowTitleHint |
                          Qt::WindowCloseButtonHint),
      e_(e),
      small_(showMode == 2 || showMode == 3) {
  const TICDSettings& s = e.Settings();
  setWindowTitle(ToQString(small_ ? ChangeFileExt(ExtractFileName(ApplicationExeName()), "") : s.GetTitleBar()));
  auto* column = new QVBoxLayout(this);
  auto* top = new QHBoxLayout();
  auto* icon = new QLabel(this);
  icon->setPixmap(style()->standardIcon(QStyle::SP_MessageBoxCritical).pixmap(32, 32));
  top->addWidget(icon, 0, Qt::AlignTop);
  std::string message;
  if (small_) {
    message = e.ExceptionMessage();
  } else {
    message = e.ExceptionType() == TCDExceptionType::Freeze ? s.GetFrozenMsg() : s.GetExceptMsg();
    const std::string exceptMsg = e.ExceptionMessage().empty() ? std::string("Unknown") : e.ExceptionMessage();
    message = ReplaceAll(message, "%exceptMsg%", exceptMsg, true);
  }
  auto* text = new QLabel(MultiLineText(message), this);
  text->setWordWrap(true);
  text->setTextInteractionFlags(Qt::TextSelectableByMouse);
  text->setMinimumWidth(300);
  text->setMaximumWidth(664);
  top->addWidget(text, 1);
  column->addLayout(top);

  auto* row = new QHBoxLayout();
  if (small_) {
    continue_ = AddButton(row, this, s.GetOkBtnTxt());
    if (showMode == 2) show_ = AddButton(row, this, s.GetDetailsBtnTxt());
  } else {
    if (s.GetShowBtnVis() && !s.GetAutoShowBugRep()) show_ = AddButton(row, this, s.GetShowBtnTxt());
    row->addStretch(1);
    if (s.GetContinueBtnVis()) continue_ = AddButton(row, this, s.GetContinueBtnTxt());
    if (s.GetRestartBtnVis()) restart_ = AddButton(row, this, s.GetRestartBtnTxt());
    if (s.GetCloseBtnVis()) close_ = AddButton(row, this, s.GetCloseBtnTxt());
  }
  column->addLayout(row);
  if (continue_ != nullptr) {
    connect(continue_, &QPushButton::clicked, this, [this] { Choose(TCDEnding::Continue); });
    // An exception that cannot continue offers the other endings instead.
    if (!e.CanContinue() && (restart_ != nullptr || close_ != nullptr)) continue_->setEnabled(false);
  }
  if (restart_ != nullptr) connect(restart_, &QPushButton::clicked, this, [this] { Choose(TCDEnding::Restart); });
  if (close_ != nullptr) connect(close_, &QPushButton::clicked, this, [this] { Choose(TCDEnding::Close); });
  if (show_ != nullptr) connect(show_, &QPushButton::clicked, this, [this] { ShowReport(); });
  if (!small_ && s.GetAutoShowBugRep()) ShowReport();
}

void TCDSimpleBox::ShowReport() {
  if (e_.CallActionHandlers(TCDAction::Show)) return;
  if (report_ != nullptr) return;
  report_ = new QPlainTextEdit(this);
  report_->setReadOnly(true);
  report_->setLineWrapMode(QPlainTextEdit::NoWrap);
  QFont font = FormFont("Courier New", 11);
  // Where there is no Courier New, any font whose letters are equally wide.
  font.setStyleHint(QFont::TypeWriter);
  font.setFixedPitch(true);
  report_->setFont(font);
  report_->setMinimumSize(600, 300);
  layout()->addWidget(report_);
  if (show_ != nullptr) show_->hide();
  setSizeGripEnabled(true);
  // The report grows while it is completed; the view follows it.
  QPointer<QPlainTextEdit> view = report_;
  ICDException* e = &e_;
  auto refresh = [view, e] {
    if (!view) return;
    const QString text = ToQString(e->Report().Text());
    if (view->toPlainText() != text) view->setPlainText(text);
  };
  refresh();
  e_.Report().OnChange([view, refresh] {
    if (view) QMetaObject::invokeMethod(view.data(), refresh, Qt::QueuedConnection);
  });
}

void TCDSimpleBox::Choose(TCDEnding ending) {
  if (e_.CallActionHandlers(static_cast<TCDAction>(ending))) return;
  // Continuing what cannot continue closes.
  if (ending == TCDEnding::Continue && !e_.CanContinue()) ending = TCDEnding::Close;
  ending_ = ending;
  accept();
}

TCDEnding TCDSimpleBox::EscapeEnding() const {
  const int32_t focused = e_.Settings().GetFocusedBtn();
  if (focused >= 4 && focused <= 6) return static_cast<TCDEnding>(focused);
  if (continue_ != nullptr && e_.CanContinue()) return TCDEnding::Continue;
  if (close_ != nullptr) return TCDEnding::Close;
  if (restart_ != nullptr) return TCDEnding::Restart;
  return TCDEnding::Close;
}

void TCDSimpleBox::reject() { Choose(EscapeEnding()); }

TCDEnding TCDSimpleBox::Execute() {
  QApplication::beep();
  exec();
  return ending_;
}

TCDEnding PresentInSimpleBox(ICDException& exception, int showMode) {
  TCDSimpleBox box(exception, showMode);
  return box.Execute();
}
