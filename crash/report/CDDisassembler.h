// The report's "disassembling" section: the machine code of the faulting
// function around the exception address (Capstone), one instruction a line.
//
// Each line: the address (16 hex digits); the source line where it changes
// (a column of its own when the code has line information); ">" on the
// faulting instruction, a blank elsewhere; the instruction; after ";" the
// function a call or jump leads to. `limit` (LimitDisAsm) is how many source
// lines before and after the faulting one are shown, or three times as many
// instructions where there is no line information; 0 or less shows the whole
// function (up to 400 instructions on either side of the fault). `format` (FormatDisAsm) adds the instruction bytes and aligns the
// operands. Code is read through checked reads; unreadable code ends the
// listing early.
#pragma once

#include <cstdint>
#include <string>

#include "crash/report/CDRegisters.h"
#include "crash/snapshot/CDSymbols.h"

std::string DisassemblyText(uint64_t faultAddress, TCDSymbolizer& symbols, const TCDReadMemory& read, bool format,
                            int limit);
