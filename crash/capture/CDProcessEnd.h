// What a process ending through the crash reporter leaves behind: nothing of
// its own. Its temporary folder goes on every ending the crash reporter
// controls (close, restart, a failed restart, and SIGTERM, SIGINT and SIGHUP
// while the program leaves those to the system) — except when attachments
// were handed to a mail program from it: the mail program may still read
// them after this process has gone, and the next start's sweep of folders of
// ended processes removes the folder then.
#pragma once

#include <string>

class TCDProcessEnd {
 public:
  // The folder to remove at the end; empty forgets it. Not signal-safe (call
  // at start-up).
  static void SetTempFolder(const std::string& path);
  // A mail program was handed files from the folder: it stays. Signal-safe.
  static void KeepTempFolder();
  static bool TempFolderKept();
  // Removes the folder, unless it is to stay. Signal-safe.
  static void CleanUp();

  // Takes SIGTERM, SIGINT and SIGHUP where the system handles them now (an
  // ignored one stays ignored, a handler of the program stays in place): the
  // folder goes, then the process ends by the signal as before. Not
  // signal-safe.
  static void InstallTerminationHandlers();
  static void RemoveTerminationHandlers();
};

// Removes a folder with everything in it, without following links and
// without allocating. False when something stayed. Signal-safe.
bool CDRemoveTree(const char* path);
