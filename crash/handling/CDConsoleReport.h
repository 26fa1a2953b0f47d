// How a program without windows shows an exception: its message and, when
// the settings want the report shown, an empty line and the report, on the
// program's console. That is standard output unless the program says
// otherwise: a program whose standard output carries its results (an
// address for a script to read) sends crash reports to standard error.
//
// Everything here is safe in a signal handler: the blocked path, which may
// not allocate, writes the same way.
#pragma once

#include <string_view>

// The descriptor that console reports go to; standard output by default.
// Signal-safe.
void SetCDConsoleOutput(int fd);
int CDConsoleOutput();

// Writes the message and, when report is not empty, an empty line and the
// report, then a line end. A console that has gone (a closed pipe) only
// makes the writes fail: it never ends the process. Signal-safe.
void WriteConsoleReport(std::string_view message, std::string_view report);
