// Pinmark: keeps a web service told where this computer is on the internet,
// from the notification area.
#include <exception>
#include <memory>

#include "app/frmPinmark.h"
#include "runtime/Forms.h"

int main(int argc, char** argv) {
  TApplication app(argc, argv);
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
