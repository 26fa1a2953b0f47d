// The program's one door to the crash reporter, free of any windowing
// toolkit. A program without windows runs, first thing in main:
//
//   StartCrashReporter(TCrashReporterOptions{});  // and StopCrashReporter() at its end
//
// From then on every exception that leaves a thread, every std::terminate
// and every fatal signal is reported: on the console, or by the program
// started again as its helper when it can act as one. A program with
// windows uses TCrashReporter (crash/ui/CrashReporter.h), which starts and
// stops the crash reporter through this door and adds the box.
//
// Not signal-safe. Start and stop on the main thread.
#pragma once

#include <unistd.h>

struct TCrashReporterOptions {
  // Fatal signals and freezes are shown by this program started again as
  // its helper (main must check for the helper's entry first thing). False:
  // they go to the console.
  bool WithHelper = false;
  // Where a program without windows shows its exceptions: standard output,
  // or standard error for one whose standard output carries its results.
  int ConsoleOutput = STDOUT_FILENO;
};

// Starts the crash reporter: reads its settings, checks the executable's
// checksum, installs every interception point and starts its threads.
void StartCrashReporter(const TCrashReporterOptions& options);
// Stops what Start started; the handling thread gets at most 500 ms.
void StopCrashReporter();

// The screen as the program's windows see it, for the reports; tell it at
// start and again whenever it changes. 0 x 0 means unknown.
void SetCrashReporterDisplayMode(int width, int height, int bitsPerPixel);

// The executable's checksum check that Start makes first (a damaged copy
// shows its box and ends the process); callable earlier on its own.
void CheckFileCrc();
