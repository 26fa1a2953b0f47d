#include "crash/ui/CDQtBridge.h"

#include <QApplication>
#include <QClipboard>
#include <QEventLoop>
#include <QThread>

#include "crash/ui/CDScreenShot.h"
#include "crash/ui/ProgressAlert.h"
#include "runtime/Forms.h"

TCDQtBridge::TCDQtBridge() : receiver_(new QObject()) {
  if (QCoreApplication::instance() != nullptr) receiver_->moveToThread(QCoreApplication::instance()->thread());
}

TCDQtBridge::~TCDQtBridge() {
  if (!receiver_) return;
  // Jobs still queued for it go with it.
  if (QCoreApplication::instance() == nullptr || IsGuiThread())
    delete receiver_.data();
  else
    receiver_->deleteLater();
}

bool TCDQtBridge::IsGuiThread() const {
  const QCoreApplication* app = QCoreApplication::instance();
  return app != nullptr && QThread::currentThread() == app->thread();
}

void TCDQtBridge::Post(std::function<void()> job) {
  if (!receiver_) return;
  QMetaObject::invokeMethod(receiver_.data(), std::move(job), Qt::QueuedConnection);
}

void TCDQtBridge::WaitDispatching(const TCDEvent& event) {
  bool quitSeen = false;
  while (!event.IsSet()) {
    QEventLoop loop;
    waits_.push_back({&event, &loop});
    // Set meanwhile: the wake-up went to nobody.
    if (!event.IsSet()) loop.exec();
    waits_.pop_back();
    // Ended without our event: the application was told to quit, which ends
    // every loop. The wait goes on and the quit is passed on afterwards.
    if (!event.IsSet()) quitSeen = true;
  }
  if (quitSeen)
    QMetaObject::invokeMethod(
        QCoreApplication::instance(), [] { QCoreApplication::quit(); }, Qt::QueuedConnection);
}

void TCDQtBridge::Wake() {
  Post([this] {
    for (const TWait& w : waits_)
      if (w.Event->IsSet()) w.Loop->quit();
  });
}

void TCDQtBridge::ProcessEvents() { QCoreApplication::processEvents(QEventLoop::AllEvents, 50); }

std::unique_ptr<IProgressAlert> TCDQtBridge::CreateProgressAlert(const std::string& title) {
  return std::make_unique<TCDProgressProxy>(shared_from_this(), title);
}

void TCDQtBridge::CopyToClipboard(const std::string& text) {
  Post([text] {
    if (QClipboard* clipboard = QGuiApplication::clipboard()) clipboard->setText(ToQString(text));
  });
}

std::string TCDQtBridge::TakeScreenShot(int depth, bool appOnly, const std::string& folder) {
  return TakeCDScreenShot(depth, appOnly, folder);
}

std::vector<std::string> TCDQtBridge::ToolkitThreadPrefixes() const {
  // Qt's connection to the X server, its D-Bus and QML threads, and GLib's
  // main-context, D-Bus and settings threads that Qt's platform plug-ins use.
  return {"QXcb", "QDBus", "gmain", "gdbus", "dconf", "QQmlThread"};
}
