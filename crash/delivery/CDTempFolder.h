// The crash reporter's temporary folder: one per process (its id in the
// name), where attachments and screenshots are prepared. Cleared at start-up
// and at the start of every handled exception, removed at shutdown (and on
// the other endings, see TCDProcessEnd). At start-up the folders that
// processes of the same user left behind are swept away once those
// processes have ended.
//
// Not for signal handlers.
#pragma once

#include <sys/types.h>

#include <string>
#include <string_view>

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
// Removes the folder with everything in it, unless attachments were handed
// out from it (TCDProcessEnd::KeepTempFolder).
void RemoveCDTempFolder();

// The user and process a folder name belongs to: "crashDesk-<uid>-<pid>",
// or a fresh folder made in its place ("crashDesk-<uid>-<pid>-XXXXXX").
// False for any other name.
bool ParseCDTempFolderName(std::string_view name, uid_t& uid, pid_t& pid);
// Removes the folders of this user whose process no longer runs, beside
// this process's own. Returns how many went.
int SweepCDTempFolders();
