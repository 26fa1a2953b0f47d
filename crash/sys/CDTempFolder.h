// The crash reporter's temporary folder: one per process (its id in the
// name), where attachments and screenshots are prepared. Cleared at start-up
// and at the start of every handled exception, removed at shutdown.
//
// Not for signal handlers.
#pragma once

#include <string>

// The folder's path, "crashDesk-<uid>-<pid>" in $TMPDIR or /tmp, with no
// trailing "/"; made with owner-only access when first asked for. When that
// name is taken by something not ours alone (a link, a folder another user
// made or may enter), a fresh folder of an unguessable name beside it serves
// the process instead: nothing of a report is written into, or cleared
// from, a folder that someone else controls.
std::string CDTempFolder();
// Creates the folder if needed and empties it. False when it cannot be made
// as a folder of ours alone.
bool ClearCDTempFolder();
// Removes the folder with everything in it.
void RemoveCDTempFolder();
