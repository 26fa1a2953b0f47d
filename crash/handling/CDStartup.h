// Starting and stopping the crash reporter, before the program's own
// initialisation and after its end. Start, in this order: takes over the
// exception times of a process that restarted this one, clears the
// temporary folder (and sweeps away those of ended processes), reads the
// settings, checks the executable's checksum, names the calling thread
// "main thread" in the thread registry (the system keeps the program's name
// for it), installs every interception point
// and the thread-creation hook, starts the exception-handling thread (and
// what the blocked-process test and thread stopping need), the freeze
// watchdog when CheckFreeze is on, and registers the report plug-ins
// "hardware", "processes" and "modules"; SIGTERM, SIGINT and SIGHUP, while
// the system handles them, remove the temporary folder first. Stop undoes it: the handling thread
// gets its stop request (at most 500 ms), the plug-ins are unregistered.
// A program without windows starts it this way alone (its crashes are then
// written to its console); a program with windows uses TCrashReporter.
//
// Not signal-safe. Call Start on the main thread, first thing in main.
#pragma once

#include <unistd.h>

// Call first thing in main() (Start does it too). With a stamped executable
// and the setting CheckFileCrc on, compares the checksum of the running
// executable's file with the stamp; on a mismatch shows BitFaultMsg
// (variables expanded) in an error box and ends the process with exit code
// 0. A stamp of 0 skips the check.
void CheckFileCrc();

struct TCDStartupOptions {
  // Where a program without windows shows its exceptions: standard output,
  // or standard error for one whose standard output carries its results.
  int ConsoleOutput = STDOUT_FILENO;
};

class TCDStartup {
 public:
  static void Start(const TCDStartupOptions& options = {});
  static void Stop();
  static bool Started();
};
