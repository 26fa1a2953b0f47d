// Thread names: the naming call that programs use for their threads, seen by
// debuggers and the system's thread list (the first 15 characters) and, in
// full, by whoever installs a hook (the crash reporter's thread registry).
#pragma once

#include <sys/types.h>

#include <string_view>

// The calling thread's system-wide id. Safe in a signal handler.
pid_t CurrentThreadId();

// Names a thread of this process; -1 names the calling thread. A thread that
// does not exist keeps nothing. Never raises.
void NameThreadForDebugging(std::string_view name, pid_t threadId = -1);

// Receives every name given through NameThreadForDebugging, with the id of
// the thread it names. Returns the previous hook; null restores none.
using TThreadNameHook = void (*)(pid_t threadId, std::string_view name);
TThreadNameHook SetThreadNameHook(TThreadNameHook hook);
