#include "crash/handling/CDStartup.h"

#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <memory>

#include "crash/capture/CDBlockedProbe.h"
#include "crash/capture/CDMemoryReserve.h"
#include "crash/capture/CDProcessEnd.h"
#include "crash/capture/CDProcessStart.h"
#include "crash/capture/CDRestartBlock.h"
#include "crash/capture/CDThreadHook.h"
#include "crash/capture/CDThreadRegistry.h"
#include "crash/capture/CDThreadStopper.h"
#include "crash/handling/CDBlockedHandling.h"
#include "crash/handling/CDConsoleReport.h"
#include "crash/handling/CDFreezeWatchdog.h"
#include "crash/handling/CDHandlingEntry.h"
#include "crash/handling/CDHandlingThread.h"
#include "crash/handling/ICDGuiBridge.h"
#include "crash/report/CDPluginRegistry.h"
#include "crash/settings/CDExceptionTimes.h"
#include "crash/settings/CDMessageBox.h"
#include "crash/settings/ICDSettings.h"
#include "crash/sys/CDModule.h"
#include "crash/sys/CDSystemFacts.h"
#include "crash/delivery/CDTempFolder.h"
#include "crash/sys/FileCrc.h"
#include "runtime/ThreadName.h"

namespace {
bool started = false;
// The main thread's alternate stack and registry entry.
std::unique_ptr<TCDThreadScope> mainThread;

// A GUI thread that runs the question answers it; without one there is
// nothing that could freeze.
void PingGuiThread(std::function<void()> answer) {
  if (std::shared_ptr<ICDGuiBridge> bridge = CDGuiBridge())
    bridge->Post(std::move(answer));
  else
    answer();
}

}  // namespace

void CheckFileCrc() {
  // The running file cannot change under the process (/proc/self/exe is the
  // file it was started from), so a copy found good is not read again when
  // a program checks before starting the crash reporter, which checks too.
  static std::atomic<bool> foundGood{false};
  if (foundGood) return;
  const uint32_t stored = StoredFileChecksum();
  if (stored == 0) return;
  TICDSettings settings;
  if (!settings.GetCheckFileCrc()) return;
  // A file that cannot be read proves nothing either way; only a file that
  // reads differently from what was stamped is taken as damaged.
  if (VerifyFileChecksum("/proc/self/exe", stored) != TCDFileCrcResult::Mismatch) {
    foundGood = true;
    return;
  }
  CDMessageBox("Error", settings.GetBitFaultMsg(), TCDMsgIcon::Error);
  std::fflush(nullptr);
  ::_exit(0);
}

void TCDStartup::Start(const TCDStartupOptions& options) {
  if (started) return;
  started = true;
  MarkCrashReporterStart();
  SetCDConsoleOutput(options.ConsoleOutput);
  if (std::optional<TCDRestartHandover> handover = TakeRestartBlock())
    ProcessExceptionTimes().SetTimes(handover->Times);
  ClearCDTempFolder();
  SweepCDTempFolders();
  TCDProcessEnd::SetTempFolder(CDTempFolder());
  InitMainModuleSettings();
  CheckFileCrc();
  TICDSettings settings;

  // What a process in trouble can no longer find out for itself.
  (void)MainModuleHandle();
  RememberCommandLine();
  CaptureBlockedHandlingSettings();

  mainThread = std::make_unique<TCDThreadScope>(0, 0, 0);
  // The name is the report's; the system keeps the program's own name for
  // its main thread, which is the name of the process.
  TCDThreadRegistry::Instance().SetName(CurrentThreadId(), "main thread");
  InstallInterceptionPoints();
  TCDProcessEnd::InstallTerminationHandlers();
  TCDThreadStopper::Install();
  TCDBlockedProbe::Start();
  TCDHandlingThread::Start();
  TCDMemoryReserve::Take();
  if (settings.GetCheckFreeze()) TCDFreezeWatchdog::Start(settings.GetFreezeTimeout(), PingGuiThread, HandleFreeze);
  RegisterSystemListPlugins();
}

void TCDStartup::Stop() {
  if (!started) return;
  started = false;
  TCDFreezeWatchdog::Stop();
  TCDHandlingThread::Stop(500);
  UnregisterSystemListPlugins();
  TCDBlockedProbe::Stop();
  RemoveInterceptionPoints();
  TCDThreadStopper::Remove();
  TCDMemoryReserve::Release();
  TCDProcessEnd::RemoveTerminationHandlers();
  RemoveCDTempFolder();
  TCDProcessEnd::SetTempFolder(std::string());
  mainThread.reset();
}

bool TCDStartup::Started() { return started; }
