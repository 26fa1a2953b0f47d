// The report's "cpu registers", "stack dump" and "disassembling" sections:
// the processor state at the exception, the stack bytes above the stack
// pointer and the machine code around the faulting instruction.
//
// Memory is read through checked reads, so a damaged context gives a short
// section, never a fault. Pure formatting otherwise; safe on any thread. The
// Write forms write into a fixed buffer and are safe in a signal handler
// (with a reader that is), for a process that may not allocate.
#pragma once

#include <cstdint>
#include <functional>
#include <string>

#include "crash/capture/CDContext.h"
#include "crash/capture/CDSafeText.h"

// One line per register: "rax = " and 16 hex digits, in the order rax, rbx,
// rcx, rdx, rsi, rdi, rip, rsp, rbp, r8 to r15, then "eflags = ".
std::string CpuRegistersText(const TCDContext& context);
// Signal-safe.
void WriteCpuRegisters(const TCDContext& context, TCDSafeText& out);

// Reads memory; returns how many bytes could be read from the start.
using TCDReadMemory = std::function<std::size_t(uint64_t address, void* buffer, std::size_t size)>;

// At most 20 lines of 16 bytes from the stack pointer, stopping at regionEnd
// (the end of the mapping that holds it): the address, two blanks, the bytes
// as hex pairs with "- " before the ninth, a blank and the bytes as
// characters (33..126 as themselves, others "."). Bytes beyond the region
// are three blanks each ("  " in place of "- ").
std::string StackDumpText(uint64_t stackPointer, uint64_t regionEnd, const TCDReadMemory& read);
// Signal-safe when read is (a plain function keeps the reader itself free
// of allocation).
void WriteStackDump(uint64_t stackPointer, uint64_t regionEnd, const TCDReadMemory& read, TCDSafeText& out);
