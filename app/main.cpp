// Pinmark: keeps a web service told where this computer is on the internet,
// from the notification area.
//
//   pinmark [--help | --version] [Qt options]
//
// One window runs per user and settings file: a second start brings the
// running window to the front and ends with exit code 0.
#include <cstdio>
#include <cstring>
#include <exception>
#include <memory>

#include "app/SingleInstance.h"
#include "app/frmPinmark.h"
#include "crash/ui/CDHelperProcess.h"
#include "crash/ui/CrashReporter.h"
#include "runtime/Forms.h"
#include "runtime/SysUtils.h"
#include "runtime/UserFiles.h"
#include "settings/uPinmarkIni.h"

namespace {
// --help and --version, answered before anything starts; -1 for a start.
// Every other argument is Qt's (-display, -platform, ...).
int AnswerInformationOptions(int argc, char** argv) {
  for (int i = 1; i < argc; ++i) {
    if (std::strcmp(argv[i], "--version") == 0) {
      std::printf("pinmark %s\n", PINMARK_VERSION);
    } else if (std::strcmp(argv[i], "--help") == 0) {
      std::printf(
          "usage: pinmark [--help | --version] [Qt options]\n"
          "Shows the Pinmark window and its tray icon, and checks in with the Pinmark\n"
          "service once per refresh period and whenever Pin-Mark is pressed.\n"
          "A second start with the same settings brings the running window to the front.\n"
          "  --help      this text\n"
          "  --version   the program's name and version\n"
          "Settings: %s\n",
          PinmarkSettingsFile(ApplicationExeName()).c_str());
    } else {
      continue;
    }
    return std::fflush(stdout) == 0 ? 0 : 1;
  }
  return -1;
}
}  // namespace

int main(int argc, char** argv) {
  // Started again by a crashed Pinmark to show its box: nothing else runs.
  if (IsCrashHelperProcess()) return RunCrashHelperProcess(argc, argv);
  if (const int answered = AnswerInformationOptions(argc, argv); answered >= 0) return answered;
  // The crash reporter comes first: from here on every failure is reported.
  // A damaged executable says so and ends before it touches anything.
  TCrashReporter crashReporter;
  // Where the settings and bug reports live is decided once, here, before
  // anything may name or write one of them.
  TUserFiles::Current();
  TApplication app(argc, argv);
  crashReporter.AttachApplication(app);

  app.SetTitle("Pinmark");
  app.setWindowIcon(ResourceIcon("MAINICON"));

  TSingleInstance instance(PinmarkSettingsFile(ApplicationExeName()));
  switch (instance.Claim()) {
    case TSingleInstance::TClaim::Raised:
      return 0;
    case TSingleInstance::TClaim::NoAnswer:
      std::fprintf(stderr, "pinmark: %s\n", instance.Problem().c_str());
      app.MessageBox(instance.Problem(), app.Title(), MB_OK);
      return 1;
    case TSingleInstance::TClaim::First:
      break;
  }

  std::unique_ptr<TFormMain> form;
  try {
    form = std::make_unique<TFormMain>();
  } catch (...) {
    // Without its settings file the window has nothing to work with: say why and end.
    app.HandleException(nullptr, std::current_exception());
    return 1;
  }
  app.SetMainForm(form.get());
  instance.Listen([&app, window = form.get()] {
    CallHandler(window, [&app, window] {
      window->TrayIconDblClick(window);
      app.Restore();
      app.BringToFront();
    });
  });
  // Not fatal: this window runs, only a second start cannot find it.
  if (!instance.Problem().empty()) std::fprintf(stderr, "pinmark: %s\n", instance.Problem().c_str());
  form->show();
  const int code = app.exec();
  crashReporter.DetachApplication();
  return code;
}
