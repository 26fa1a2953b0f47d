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

#include <cstddef>
#include <span>
#include <string_view>

#include "crash/handling/ICDException.h"
#include "crash/handling/ICDHelperLink.h"
#include "crash/helper/CDHelperProtocol.h"

inline constexpr char CDHelperEnvName[] = "PINMARK_CRASH_HELPER";

// Signal-safe.
void SetHelperAvailable(bool available);
bool HelperAvailable();

// Makes the functions below the handling's link to the helper. Call it when
// the crash reporter starts.
void InstallHelperLink();

// Shows the exception in a helper process and waits for its answer. Runs on
// the exception-handling thread. Not signal-safe.
TCDHelperOutcome PresentInHelper(TICDException& exception, int showMode);

// The same without allocating: the report goes over complete, and the
// helper saves it itself. Action-handler questions are answered "not
// handled" (the program's handlers cannot run in such a process).
// Signal-safe.
TCDHelperOutcome PresentInHelperSafely(const TCDSafeExceptionView& exception, std::span<const TCDFieldView> header,
                                       std::span<const TCDFieldView> sections);
