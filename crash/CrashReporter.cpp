#include "crash/CrashReporter.h"

#include "crash/handling/CDStartup.h"
#include "crash/helper/CDHelperLink.h"
#include "crash/sys/CDSystemFacts.h"

void StartCrashReporter(const TCrashReporterOptions& options) {
  InstallHelperLink();
  SetHelperAvailable(options.WithHelper);
  TCDStartup::Start(TCDStartupOptions{.ConsoleOutput = options.ConsoleOutput});
}

void StopCrashReporter() {
  TCDStartup::Stop();
  SetHelperAvailable(false);
}

void SetCrashReporterDisplayMode(int width, int height, int bitsPerPixel) {
  SetCDDisplayMode(width, height, bitsPerPixel);
}
