#include "crash/ui/CDHelperProcess.h"

#include <cstdio>
#include <cstdlib>
#include <string>

#include "crash/delivery/CDBugRepFile.h"
#include "crash/delivery/CDSendReport.h"
#include "crash/handling/CDHelperLink.h"
#include "crash/handling/CDPresenter.h"
#include "crash/handling/CDRemoteException.h"
#include "crash/settings/CDSettingsRegistry.h"
#include "crash/ui/CDQtBridge.h"
#include "crash/ui/CDPresentException.h"
#include "crash/ui/CrashReporter.h"
#include "runtime/Forms.h"
#include "runtime/SysUtils.h"

bool IsCrashHelperProcess() { return std::getenv(CDHelperEnvName) != nullptr; }

int RunCrashHelperProcess(int& argc, char** argv) {
  int32_t fd = -1;
  const bool named = TryStrToInt(std::getenv(CDHelperEnvName), fd) && fd >= 0;
  // Whatever this process starts (a mail program, a restarted program) is no helper.
  unsetenv(CDHelperEnvName);
  if (!named) return 3;

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
  TCDEnding ending = e.CanContinue() ? TCDEnding::Continue : TCDEnding::Close;
  try {
    ending = CDPresent(e, e.ShowMode());
  } catch (...) {
    // The box failed: the crashed process ends as Esc would have ended it.
  }
  // The crashed process cannot save what it could not finish itself; a
  // report the box saved already is not saved twice.
  if (e.FinishHere() && e.GetAutoSave() && !(e.GetAutoSaveIfNotSent() && e.Sent()) && !e.Saved()) {
    e.CompleteReport();
    SaveBugReport(e, e.Report().Text());
  }
  // Sends started from the box finish before this process goes.
  WaitForRunningSends();
  session.Answer(ending);
  SetCDGuiBridge(nullptr);
  return 0;
}
