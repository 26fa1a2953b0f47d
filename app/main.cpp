// Pinmark: keeps a web service told where this computer is on the internet,
// from the notification area.
#include <exception>
#include <memory>

#include "app/frmPinmark.h"
#include "crash/ui/CDHelperProcess.h"
#include "crash/ui/CrashReporter.h"
#include "runtime/Forms.h"

int main(int argc, char** argv) {
  // Started again by a crashed Pinmark to show its box: nothing else runs.
  if (IsCrashHelperProcess()) return RunCrashHelperProcess(argc, argv);
  // The crash reporter comes first: from here on every failure is reported.
  // A damaged executable says so and ends before it touches anything.
  TCrashReporter crashReporter;
  TApplication app(argc, argv);
  crashReporter.AttachApplication(app);

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
