#include "crash/ui/CDHelperProcess.h"

#include <sys/prctl.h>

#include <QApplication>
#include <QDialog>
#include <QTimer>

#include <cstdio>
#include <cstdlib>
#include <string>

#include "crash/delivery/CDBugRepFile.h"
#include "crash/delivery/CDSendReport.h"
#include "crash/helper/CDHelperLink.h"
#include "crash/handling/CDPresenter.h"
#include "crash/helper/CDRemoteException.h"
#include "crash/settings/CDSettingsRegistry.h"
#include "crash/ui/CDQtBridge.h"
#include "crash/ui/CDPresentException.h"
#include "crash/ui/CrashReporter.h"
#include "crash/ui/ExceptionBox.h"
#include "crash/delivery/CDTempFolder.h"
#include "runtime/Forms.h"
#include "runtime/SysUtils.h"

namespace {

// The helper is started through /proc/self/exe, which the system would name
// it after ("exe"): it carries the program's name instead, as the program
// itself does.
void TakeProgramName(const char* argv0) {
  if (argv0 == nullptr || *argv0 == '\0') return;
  const std::string name = ExtractFileName(argv0).substr(0, 15);
  if (!name.empty()) prctl(PR_SET_NAME, name.c_str(), 0, 0, 0);
}

// The crashed process is gone: whatever stands for it closes, dialogs on top
// first, the box with "close" (nobody is left to continue or restart).
void CloseForGoneProcess() {
  for (int i = 0; i < 64; ++i) {
    QWidget* modal = QApplication::activeModalWidget();
    if (modal == nullptr) return;
    if (auto* box = dynamic_cast<TExceptionBox*>(modal))
      box->Dismiss(TCDEnding::Close);
    else if (auto* dialog = qobject_cast<QDialog*>(modal))
      dialog->reject();
    else
      modal->close();
  }
}

}  // namespace

bool IsCrashHelperProcess() { return std::getenv(CDHelperEnvName) != nullptr; }

int RunCrashHelperProcess(int& argc, char** argv) {
  int32_t fd = -1;
  const bool named = TryStrToInt(std::getenv(CDHelperEnvName), fd) && fd >= 0;
  // Whatever this process starts (a mail program, a restarted program) is no helper.
  unsetenv(CDHelperEnvName);
  if (!named) return 3;
  TakeProgramName(argc > 0 ? argv[0] : nullptr);

  TApplication app(argc, argv);
  InitMainModuleSettings();
  // The program's own presenter when it installed one before, else the box.
  if (!CDHasPresenter()) SetCDPresenter(CDPresentException);
  TCrashReporter::InstallMessageBoxes(app);
  TCDHelperSession session(fd);
  std::string error;
  if (!session.Open(error)) {
    std::fprintf(stderr, "crash helper: %s\n", error.c_str());
    return 3;
  }
  TCDRemoteException& e = session.Exception();
  app.SetTitle(ChangeFileExt(ExtractFileName(ApplicationExeName()), ""));

  auto bridge = std::make_shared<TCDQtBridge>();
  SetCDGuiBridge(bridge);
  if (e.GetPlWaitBox()) e.SetProgressAlert(bridge->CreateProgressAlert(e.GetPlWaitTitle()));
  // A box for a process that has gone (killed, out of memory) would stand
  // for ever, and its restart would do nothing: it closes instead.
  QTimer watch;
  QObject::connect(&watch, &QTimer::timeout, [&session] {
    if (session.PeerGone()) CloseForGoneProcess();
  });
  watch.start(250);
  TCDEnding ending = e.CanContinue() ? TCDEnding::Continue : TCDEnding::Close;
  try {
    ending = CDPresent(e, e.ShowMode());
  } catch (...) {
    // The box failed: the crashed process ends as Esc would have ended it.
  }
  watch.stop();
  // Sends started from the box finish first: a sent report is not saved
  // again when the settings say so.
  WaitForRunningSends();
  // The crashed process cannot save what it could not finish itself, nor
  // anything once it has gone; a report the box saved already is not saved
  // twice.
  if ((e.FinishHere() || session.PeerGone()) && e.GetAutoSave() && !(e.GetAutoSaveIfNotSent() && e.Sent()) &&
      !e.Saved() && !e.AutoSaved()) {
    e.CompleteReport();
    const std::string note = SaveOutcomeText(AutoSaveBugReport(e, e.Report().Text()));
    if (!note.empty()) std::fprintf(stderr, "%s\n", note.c_str());
  }
  session.Answer(ending);
  SetCDGuiBridge(nullptr);
  RemoveCDTempFolder();
  return 0;
}
