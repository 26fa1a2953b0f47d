// The helper process: the program started again by a crashed (or frozen)
// process to show that process's box, where the crashed process itself may
// run no windows any more. It reads the exception and the report as they
// come through its pipe, shows the box through the program's presenter with
// the same settings, performs what the box does (save, send, print) itself,
// saves the report when the crashed process cannot, and answers the chosen
// ending for the crashed process to carry out.
//
// main checks IsCrashHelperProcess first thing, before any other start-up.
#pragma once

// Started as a helper: the environment names the pipe.
bool IsCrashHelperProcess();

// Runs the helper and returns the process's exit code: 0 when the ending
// was answered, 3 when the crashed process sent nothing usable.
int RunCrashHelperProcess(int& argc, char** argv);
