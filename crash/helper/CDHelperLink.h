// The crashed process's side of the helper process: starts the program
// again with one end of a socket pair (its descriptor number in the
// environment variable PINMARK_CRASH_HELPER), tells it the exception, keeps
// sending the report while it completes, answers the box's action-handler
// questions, and returns the ending the user chose.
//
// Only a program that can act as a helper (its main checks the variable
// first thing) may use it; it says so with SetHelperAvailable. The handling
// reaches it through the link that InstallHelperLink installs.
#pragma once

inline constexpr char CDHelperEnvName[] = "PINMARK_CRASH_HELPER";

// Whether this program can be started as its own helper. Signal-safe.
void SetHelperAvailable(bool available);

// Makes the helper process the handling's link to a box (see ICDHelperLink).
// Call it when the crash reporter starts.
void InstallHelperLink();
