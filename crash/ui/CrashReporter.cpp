#include "crash/ui/CrashReporter.h"

#include <QApplication>
#include <QMessageBox>
#include <QScreen>
#include <QThread>
#include <QWidget>

#include <cstdio>

#include "crash/CrashReporter.h"
#include "crash/handling/CDHandlingEntry.h"
#include "crash/handling/CDPresenter.h"
#include "crash/settings/CDMessageBox.h"
#include "crash/ui/CDPresentException.h"
#include "crash/ui/CDQtBridge.h"

namespace {
// Before the application object exists (a damaged executable is noticed
// first thing) a box needs one of its own for the moment.
void ShowEarlyBox(const std::string& caption, const std::string& text, TCDMsgIcon icon) {
  static int argc = 1;
  static char name[] = "crashDesk";
  static char* argv[] = {name, nullptr};
  QApplication app(argc, argv);
  if (!TApplication::CanShowWindows()) {
    std::fprintf(stderr, "[%s] %s\n", caption.c_str(), text.c_str());
    return;
  }
  QMessageBox box(icon == TCDMsgIcon::Error     ? QMessageBox::Critical
                  : icon == TCDMsgIcon::Warning ? QMessageBox::Warning
                                                : QMessageBox::Information,
                  ToQString(caption), ToQString(text), QMessageBox::Ok);
  box.exec();
}
// The report names the screen's mode, which a report made on any thread
// cannot ask the toolkit for: it is learnt here, and again whenever it
// changes.
void FollowScreenMode(TApplication& app) {
  auto update = [] {
    QScreen* screen = QGuiApplication::primaryScreen();
    if (!screen) return;
    const QSize pixels = screen->geometry().size() * screen->devicePixelRatio();
    SetCrashReporterDisplayMode(pixels.width(), pixels.height(), screen->depth());
  };
  update();
  QObject::connect(&app, &QGuiApplication::primaryScreenChanged, &app, [update](QScreen* screen) {
    update();
    if (screen) QObject::connect(screen, &QScreen::geometryChanged, screen, update);
  });
  if (QScreen* screen = QGuiApplication::primaryScreen())
    QObject::connect(screen, &QScreen::geometryChanged, screen, update);
}
}  // namespace

TCrashReporter::TCrashReporter(bool withHelper) {
  if (!CDHasPresenter()) SetCDPresenter(CDPresentException);
  SetCDMessageBoxHook([](const std::string& caption, const std::string& text, TCDMsgIcon icon) {
    if (QCoreApplication::instance() == nullptr)
      ShowEarlyBox(caption, text, icon);
    else
      std::fprintf(stderr, "[%s] %s\n", caption.c_str(), text.c_str());
  });
  StartCrashReporter(TCrashReporterOptions{.WithHelper = withHelper});
}

TCrashReporter::~TCrashReporter() {
  DetachApplication();
  StopCrashReporter();
  SetCDMessageBoxHook(nullptr);
}

void TCrashReporter::InstallMessageBoxes(TApplication& app) {
  SetCDMessageBoxHook([&app](const std::string& caption, const std::string& text, TCDMsgIcon icon) {
    if (QThread::currentThread() != app.thread()) {
      std::fprintf(stderr, "[%s] %s\n", caption.c_str(), text.c_str());
      return;
    }
    uint32_t flags = MB_OK;
    switch (icon) {
      case TCDMsgIcon::Error:
        flags |= MB_ICONERROR;
        break;
      case TCDMsgIcon::Warning:
        flags |= MB_ICONWARNING;
        break;
      case TCDMsgIcon::Information:
        flags |= MB_ICONINFORMATION;
        break;
      case TCDMsgIcon::None:
        break;
    }
    app.MessageBox(text, caption, flags);
  });
}

void TCrashReporter::AttachApplication(TApplication& app) {
  DetachApplication();
  app_ = &app;
  InstallMessageBoxes(app);
  FollowScreenMode(app);
  bridge_ = std::make_shared<TCDQtBridge>();
  SetCDGuiBridge(bridge_);
  app.OnException = [](QObject* sender, std::exception_ptr error) {
    // A button held down or a menu open would keep the mouse from the box.
    if (QWidget* grabber = QWidget::mouseGrabber()) grabber->releaseMouse();
    if (QWidget* grabber = QWidget::keyboardGrabber()) grabber->releaseKeyboard();
    while (QWidget* popup = QApplication::activePopupWidget()) {
      if (!popup->close()) break;
    }
    HandleApplicationException(std::move(error), reinterpret_cast<uintptr_t>(sender));
  };
}

void TCrashReporter::DetachApplication() {
  SetCDGuiBridge(nullptr);
  bridge_.reset();
  if (app_ == nullptr) return;
  app_->OnException = nullptr;
  SetCDMessageBoxHook(nullptr);
  app_ = nullptr;
}
