// Pinmark: keeps a web service told where this computer is on the internet,
// from the notification area.
#include <QGuiApplication>
#include <QScreen>
#include <QThread>

#include <cstdio>
#include <exception>
#include <memory>

#include "app/frmPinmark.h"
#include "crash/settings/CDMessageBox.h"
#include "crash/sys/FileCrc.h"
#include "crash/settings/ICDSettings.h"
#include "crash/sys/CDSystemFacts.h"
#include "runtime/Forms.h"
#include "runtime/UserFiles.h"

namespace {
// The crash reporter's boxes, shown as the application's own. A box asked
// for from another thread cannot be a window; it goes to standard error.
void InstallCrashMessageBoxes(TApplication& app) {
  SetCDMessageBoxHook([&app](const std::string& caption, const std::string& text, TCDMsgIcon icon) {
    if (QThread::currentThread() != app.thread()) {
      std::fprintf(stderr, "[%s] %s\n", caption.c_str(), text.c_str());
      return;
    }
    uint32_t flags = MB_OK;
    switch (icon) {
      case TCDMsgIcon::Error: flags |= MB_ICONERROR; break;
      case TCDMsgIcon::Warning: flags |= MB_ICONWARNING; break;
      case TCDMsgIcon::Information: flags |= MB_ICONINFORMATION; break;
      case TCDMsgIcon::None: break;
    }
    app.MessageBox(text, caption, flags);
  });
}

// The crash reporter has no user interface of its own: it learns the screen's
// mode here, and again whenever it changes, so that a report made on any
// thread can name it without asking the toolkit.
void TellCrashReporterTheScreen(TApplication& app) {
  auto update = [] {
    QScreen* screen = QGuiApplication::primaryScreen();
    if (!screen) return;
    const QSize pixels = screen->geometry().size() * screen->devicePixelRatio();
    SetCDDisplayMode(pixels.width(), pixels.height(), screen->depth());
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

int main(int argc, char** argv) {
  TApplication app(argc, argv);
  InstallCrashMessageBoxes(app);
  // A damaged executable says so and ends before it touches anything.
  CheckFileCrc();
  InitMainModuleSettings();
  // Where the settings and bug reports live is decided once, here, before
  // anything may name or write one of them.
  TUserFiles::Current();
  TellCrashReporterTheScreen(app);

  app.SetTitle("Pinmark");
  app.setWindowIcon(ResourceIcon("MAINICON"));

  std::unique_ptr<TFormMain> form;
  try {
    form = std::make_unique<TFormMain>();
  } catch (...) {
    // Without its settings file the window has nothing to work with: say why and end.
    app.HandleException(nullptr, std::current_exception());
    return 1;
  }
  app.SetMainForm(form.get());
  form->show();
  return app.exec();
}
