#include "crash/ui/ProgressAlert.h"

#include <QApplication>
#include <QGuiApplication>
#include <QHBoxLayout>
#include <QScreen>
#include <QVBoxLayout>

#include <algorithm>
#include <limits>

#include "crash/handling/ICDGuiBridge.h"
#include "runtime/Forms.h"
#include "runtime/Resources.h"

namespace {
QPixmap WaitBitmap() {
  std::span<const uint8_t> data = FindResource("BITMAP", "CDIPLWAIT");
  QPixmap pixmap;
  if (data.data() != nullptr && !data.empty()) pixmap.loadFromData(data.data(), static_cast<uint>(data.size()));
  return pixmap;
}
}  // namespace

TProgressAlert::TProgressAlert(const std::string& title)
    : QWidget(nullptr, Qt::Tool | Qt::WindowStaysOnTopHint | Qt::CustomizeWindowHint | Qt::WindowTitleHint) {
  setWindowTitle(ToQString(title));
  setAttribute(Qt::WA_DeleteOnClose, false);
  auto* row = new QHBoxLayout(this);
  const QPixmap bitmap = WaitBitmap();
  if (!bitmap.isNull()) {
    picture_ = new QLabel(this);
    picture_->setPixmap(bitmap);
    row->addWidget(picture_, 0, Qt::AlignTop);
  }
  auto* column = new QVBoxLayout();
  text_ = new QLabel(this);
  text_->setWordWrap(true);
  text_->setMaximumWidth(kTextWidth);
  bar_ = new QProgressBar(this);
  bar_->setRange(0, 1000);
  bar_->setTextVisible(false);
  column->addWidget(text_);
  column->addWidget(bar_);
  row->addLayout(column);
  setMinimumWidth(kMinWidth);
}

TProgressAlert::~TProgressAlert() { CloseAlert(); }

void TProgressAlert::SetText(const std::string& text) { text_->setText(ToQString(text)); }

void TProgressAlert::SetBar(int position) { bar_->setValue(position); }

void TProgressAlert::ShowAlert(bool activate) {
  if (isVisible()) return;
  owner_ = QApplication::activeWindow();
  if (owner_ == this) owner_ = nullptr;
  if (owner_) owner_->setEnabled(false);
  adjustSize();
  const QScreen* screen = QGuiApplication::primaryScreen();
  if (activate) {
    if (screen != nullptr) {
      const QRect s = screen->geometry();
      move(s.left() + (s.width() - width()) / 2, s.top() + (s.height() - height()) / 2);
    }
    setAttribute(Qt::WA_ShowWithoutActivating, false);
    show();
    activateWindow();
  } else {
    const QRect area = WorkArea();
    move(area.right() - frameGeometry().width(), area.bottom() - frameGeometry().height());
    setAttribute(Qt::WA_ShowWithoutActivating, true);
    show();
  }
}

void TProgressAlert::CloseAlert() {
  if (owner_) owner_->setEnabled(true);
  owner_ = nullptr;
  hide();
}

// ---- TCDProgressProxy ----

TCDProgressProxy::TCDProgressProxy(std::shared_ptr<ICDGuiBridge> bridge, const std::string& title)
    : bridge_(std::move(bridge)), state_(std::make_shared<TState>()) {
  state_->Title = title;
}

TCDProgressProxy::~TCDProgressProxy() {
  // The window belongs to the GUI thread; it goes there.
  OnGui(
      [](TState& s) {
        s.ClosedThrough = std::numeric_limits<uint64_t>::max();
        delete s.Window.data();
      },
      false);
}

void TCDProgressProxy::OnGui(std::function<void(TState&)> job, bool dispatch) {
  if (bridge_->IsGuiThread()) {
    job(*state_);
    if (dispatch) bridge_->ProcessEvents();
    return;
  }
  bridge_->Post([state = state_, job = std::move(job)] { job(*state); });
}

void TCDProgressProxy::Refresh() {
  // From another thread one pending refresh is enough: it reads the newest state.
  if (!bridge_->IsGuiThread() && state_->RefreshPosted.exchange(true)) return;
  OnGui(
      [](TState& s) {
        s.RefreshPosted.store(false);
        if (!s.Window) return;
        s.Window->SetText(s.Areas.Text());
        s.Window->SetBar(s.Areas.BarPosition());
      },
      true);
}

int TCDProgressProxy::AddArea(int64_t weight, const std::string& text) {
  const int index = state_->Areas.AddArea(weight, text);
  Refresh();
  return index;
}

void TCDProgressProxy::SetArea(int index) {
  state_->Areas.SetArea(index);
  Refresh();
}

void TCDProgressProxy::SetPosition(int position) {
  state_->Areas.SetPosition(position);
  Refresh();
}

void TCDProgressProxy::Show(bool activate) {
  const uint64_t ticket = ++state_->ShowTickets;
  OnGui(
      [activate, ticket](TState& s) {
        if (ticket <= s.ClosedThrough) return;
        if (!s.Window) s.Window = new TProgressAlert(s.Title);
        s.Window->SetText(s.Areas.Text());
        s.Window->SetBar(s.Areas.BarPosition());
        s.Window->ShowAlert(activate);
      },
      true);
}

void TCDProgressProxy::Close() {
  const uint64_t through = state_->ShowTickets.load();
  OnGui(
      [through](TState& s) {
        s.ClosedThrough = std::max(s.ClosedThrough, through);
        if (s.Window) s.Window->CloseAlert();
      },
      false);
}
