// Starting this program again: for the helper process that shows the box of
// a crashed process, and for a restart. The command line and the executable
// are remembered at start-up, so that a process in trouble can start itself
// without allocating: the start uses _Fork (no fork handlers, no allocator
// locks) and execve with arrays built on the stack.
//
// Whatever is started begins as the program itself began, not as the thread
// that starts it stands: with no signal blocked (a signal handler blocks the
// fatal signals while it runs), with the system's handling of every signal
// the crash reporter took over, and at the nice value the program had at its
// start (the handling thread runs at a raised priority).
#pragma once

#include <signal.h>
#include <sys/types.h>

// Reads the command line and the executable's path from /proc/self; call at
// start-up. Not signal-safe.
void RememberCommandLine();
// The remembered arguments (null-terminated) and their count. Signal-safe.
char* const* RememberedArguments();
int RememberedArgumentCount();
// The nice value of the program at its start (when RememberCommandLine ran).
// Signal-safe.
int StartNiceValue();

// The crash reporter notes each signal whose handling it takes over, so that
// the programs it starts get the system's handling back. Signal-safe.
void NoteTakenSignal(int signal);
void NoteReturnedSignal(int signal);
// The signals taken now. Signal-safe.
void TakenSignals(sigset_t& set);
// Puts the calling process back to the program's start: every taken signal
// handled by the system, no signal blocked, the start's nice value. For a
// new process before it runs its program. Signal-safe.
void ResetToProgramStart();

struct TCDStartOptions {
  // "NAME=value" entries put in front of the environment (replacing entries
  // of the same name), null-terminated; may be null.
  const char* const* ExtraEnvironment = nullptr;
  // A descriptor the new process keeps open (all others above 2 close), or -1.
  int KeepFd = -1;
  // When not -1, the child waits until this descriptor has a byte to read or
  // reaches its end before it runs the program, so that the starter can
  // prepare what the new process will look for.
  int GateFd = -1;
  // The starter's end of the gate, closed in the child first, so that the
  // gate also opens when the starter dies.
  int GateOtherEnd = -1;
  // Run the very same executable (true) rather than the file at its path
  // now, which a new build may have replaced (false).
  bool SameImage = true;
  // When not -1, the write end of a close-on-exec pipe: the child writes one
  // byte to it when it could not run the program, so that the starter, who
  // reads the other end, learns of the failure (a byte) or the success (the
  // end of the pipe).
  int ExecFailedFd = -1;
};

// Starts the program with its own command line. Returns the new process's
// id, or -1. Signal-safe.
pid_t StartOwnProgram(const TCDStartOptions& options);

