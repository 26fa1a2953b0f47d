// Checked reads of this process's own memory: copies from an address that
// may not be mapped, may be unreadable or may be unmapped while we read,
// without ever faulting. Used for memory that someone else's numbers point at
// (a version variable, a crashed thread's stack, the code around a fault).
//
// Safe in a signal handler: one system call per page, no allocation, no locks.
#pragma once

#include <cstddef>
#include <cstdint>

// Copies up to size bytes from address into buffer and returns how many
// could be read: the readable stretch from the start, stopping at the first
// page that cannot be read. Signal-safe.
std::size_t ReadOwnMemory(uintptr_t address, void* buffer, std::size_t size);

// Whether all size bytes at address can be read. Signal-safe.
bool CanReadOwnMemory(uintptr_t address, std::size_t size);
