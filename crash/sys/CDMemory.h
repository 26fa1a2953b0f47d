// Checked reads of the process's own memory: the report reads stacks and
// code of threads that keep running and of libraries that may be unloaded
// meanwhile, so no read may fault. A read that cannot be done in full says
// so instead.
//
// The kernel does the checking (process_vm_readv on the own process); where
// a sandbox forbids that call, each read is checked against a fresh
// /proc/self/maps snapshot instead. Safe on any thread; only
// ReadOwnMemoryInHandler may be called from a signal handler.
#pragma once

#include <cstddef>
#include <cstdint>

// Copies size bytes from address; false (buffer contents unspecified) when
// any of them cannot be read.
bool ReadOwnMemory(uint64_t address, void* buffer, std::size_t size);

// As many bytes as can be read from address on, up to size: a read that runs
// into an unmapped page stops there. Returns the count read.
std::size_t ReadOwnMemoryPartly(uint64_t address, void* buffer, std::size_t size);

// As ReadOwnMemoryPartly, but safe in a signal handler and with the
// allocator's lock held: only the kernel checks, page by page, so where the
// kernel refuses the call nothing can be read and 0 comes back.
std::size_t ReadOwnMemoryInHandler(uint64_t address, void* buffer, std::size_t size);
