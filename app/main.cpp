// Pinmark: keeps a web service told where this computer is on the internet,
// from the notification area.
#include <QGuiApplication>
#include <QScreen>

#include <exception>
#include <memory>

#include "app/frmPinmark.h"
#include "crash/sys/CDSystemFacts.h"
#include "crash/ui/CDHelperProcess.h"
#include "crash/ui/CrashReporter.h"
#include "runtime/Forms.h"
#include "runtime/UserFiles.h"

namespace {
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
  // Started again by a crashed Pinmark to show its box: nothing else runs.
  if (IsCrashHelperProcess()) return RunCrashHelperProcess(argc, argv);
  // The crash reporter comes first: from here on every failure is reported.
  // A damaged executable says so and ends before it touches anything.
  TCrashReporter crashReporter;
  // Where the settings and bug reports live is decided once, here, before
  // anything may name or write one of them.
  TUserFiles::Current();
  TApplication app(argc, argv);
  crashReporter.AttachApplication(app);
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
  const int code = app.exec();
  crashReporter.DetachApplication();
  return code;
}
