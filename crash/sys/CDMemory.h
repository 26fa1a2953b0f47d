// Checked reads of the process's own memory: the report reads stacks and
// code of threads that keep running and of libraries that may be unloaded
// meanwhile, so no read may fault. A read that cannot be done in full says
// so instead.
//
// The kernel does the checking (process_vm_readv on the own process); where
// a sandbox forbids that call, each read is checked against a fresh
// /proc/self/maps snapshot instead. Safe on any thread; not for signal
// handlers.
#pragma once

#include <cstddef>
#include <cstdint>

// Copies size bytes from address; false (buffer contents unspecified) when
// any of them cannot be read.
bool ReadOwnMemory(uint64_t address, void* buffer, std::size_t size);

// As many bytes as can be read from address on, up to size: a read that runs
// into an unmapped page stops there. Returns the count read.
std::size_t ReadOwnMemoryPartly(uint64_t address, void* buffer, std::size_t size);
