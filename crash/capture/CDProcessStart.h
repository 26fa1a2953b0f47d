// Starting this program again: for the helper process that shows the box of
// a crashed process, and for a restart. The command line and the executable
// are remembered at start-up, so that a process in trouble can start itself
// without allocating: the start uses _Fork (no fork handlers, no allocator
// locks) and execve with arrays built on the stack.
#pragma once

#include <sys/types.h>

// Reads the command line and the executable's path from /proc/self; call at
// start-up. Not signal-safe.
void RememberCommandLine();
// The remembered arguments (null-terminated) and their count. Signal-safe.
char* const* RememberedArguments();
int RememberedArgumentCount();

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
};

// Starts the program with its own command line. Returns the new process's
// id, or -1. Signal-safe.
pid_t StartOwnProgram(const TCDStartOptions& options);
