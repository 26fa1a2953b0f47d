// The crash reporter's temporary folder: one per process (its id in the
// name), where attachments and screenshots are prepared. Cleared at start-up
// and at the start of every handled exception, removed at shutdown.
//
// Not for signal handlers.
#pragma once

#include <string>

// The folder's path, "crashDesk-<uid>-<pid>" in $TMPDIR or /tmp, with no
// trailing "/"; made with owner-only access when first asked for.
std::string CDTempFolder();
// Creates the folder if needed and empties it. False when it cannot be made.
bool ClearCDTempFolder();
// Removes the folder with everything in it.
void RemoveCDTempFolder();
