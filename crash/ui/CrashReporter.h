// The door to the crash reporter for a program with windows, built on the
// toolkit-free one (crash/CrashReporter.h), which it starts and stops, and
// through which main tells the screen's mode. main runs, in this order:
//
//   if (IsCrashHelperProcess()) return RunCrashHelperProcess(argc, argv);
//   TCrashReporter crashReporter;          // starts it; stops it when main ends
//   TApplication app(argc, argv);
//   crashReporter.AttachApplication(app);  // the GUI thread, app exceptions, boxes
//
// From then on every exception the program does not handle, in any thread,
// and every fatal signal goes to the crash reporter, which shows the box
// through the presenter (the exception box, CDPresentException, unless the
// program installed another with SetCDPresenter before).
#pragma once

#include <QPointer>

#include <memory>

#include "crash/CrashReporter.h"
#include "runtime/Forms.h"

class TCDQtBridge;

class TCrashReporter {
 public:
  // withHelper: fatal signals and freezes are shown by this program started
  // again as its helper (main must check IsCrashHelperProcess first). A
  // program without that entry passes false and gets the console instead.
  explicit TCrashReporter(bool withHelper = true);
  ~TCrashReporter();
  TCrashReporter(const TCrashReporter&) = delete;
  TCrashReporter& operator=(const TCrashReporter&) = delete;

  // Hands the application object's exceptions to the crash reporter
  // (after cancelling any mouse capture), lets it reach the GUI thread,
  // shows its message boxes as the application's own and tells the reports
  // the screen's mode.
  void AttachApplication(TApplication& app);
  // Undone by the destructor; call it earlier when the application object
  // goes first.
  void DetachApplication();

  // The crash reporter's message boxes as the application's boxes; a box
  // asked for from another thread goes to standard error.
  static void InstallMessageBoxes(TApplication& app);

 private:
  QPointer<TApplication> app_;
  std::shared_ptr<TCDQtBridge> bridge_;
};
