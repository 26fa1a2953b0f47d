// The restart hand-over: a restarting process passes its id and its last ten
// exception times to the process it starts, in a POSIX shared-memory block
// named "crashDeskRestart" + "$" + the new process's id in lower-case hex.
// The new process finds the block for its own id at start-up, waits until
// the old process has ended, takes the times over (so that the automatic
// restart and close thresholds count across restarts) and removes the block.
//
// Layout, 88 bytes, little-endian: the old process id (4 bytes), a check
// word (4 bytes), the ten times newest first (8 bytes each).
#pragma once

#include <sys/types.h>

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>

#include "crash/capture/CDSafeText.h"
#include "crash/settings/CDExceptionTimes.h"

inline constexpr std::size_t CDRestartBlockSize = 88;
inline constexpr uint32_t CDRestartBlockCheck = 0x31424443u;  // "CDB1"

struct TCDRestartHandover {
  pid_t OldProcessId = 0;
  TCDExceptionTimeList Times{};
};

// "crashDeskRestart$<hex id>" (the shared-memory name carries a leading
// "/"). Signal-safe.
void RestartBlockName(pid_t newProcessId, TCDSafeText& name, bool withSlash = true);

// The block's bytes for a hand-over. Signal-safe.
void EncodeRestartBlock(const TCDRestartHandover& handover, uint8_t (&bytes)[CDRestartBlockSize]);
// Reads a block found for ownProcessId: nothing when it is too short, has
// the wrong check word, or names no process or this one. Times beyond the
// 32-bit range read as empty slots. Signal-safe.
std::optional<TCDRestartHandover> ParseRestartBlock(std::span<const uint8_t> bytes, pid_t ownProcessId);

// Creates the block for the new process. Signal-safe.
bool WriteRestartBlock(pid_t newProcessId, const TCDRestartHandover& handover);
// Looks for the block of this process; when there is one, removes it, waits
// until the old process has ended (at most waitMs) and returns what it held.
// Not signal-safe.
std::optional<TCDRestartHandover> TakeRestartBlock(int waitMs = 30000);

// Starts the program again with the block and ends this process with exit
// code 2. When the new process cannot run the program (its file was removed
// or may no longer be run), its block is removed and this process ends with
// exit code 1, as for a close. Either way the temporary folder goes first
// (TCDProcessEnd). Signal-safe.
[[noreturn]] void RestartProcess(const TCDExceptionTimeList& times);
// Ends this process at once with exit code 1, without the program's clean-up;
// only the temporary folder goes (TCDProcessEnd). Signal-safe.
[[noreturn]] void CloseProcess();
