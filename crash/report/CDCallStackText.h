// The text forms of call-stack entries: the aligned columns of a thread's
// section and the single-line form used in placeholders and error notes.
//
// Columns, each padded so that all lines of a section align: the address (16
// hex digits); with ShowRelAddrs (and a known function start somewhere) "+"
// and the offset from the function's start, zero-padded; the module; the
// unit; the line, right-aligned; with ShowRelLines "+" and the line relative
// to the function's first line (the plain line when that is unknown); the
// function. Pure functions on resolved entries.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "crash/snapshot/CDSymbols.h"

struct TCDCallStackOptions {
  bool ShowRelAddrs = true;
  bool ShowRelLines = true;
};

struct TCDStackLine {
  uint64_t Address = 0;
  TCDSymbol Symbol;
  uint64_t LeftOut = 0;  // frames of a deep stack left out right before this line
};

// "<address> [+<offset>] <module> [<unit>] [<line>] [+<relative line>] <function>",
// or "<address> [+0] ???" for an address outside every module.
std::string SingleLineForm(uint64_t address, const TCDSymbol& symbol, const TCDCallStackOptions& options);

// The section text of a call stack. With a creator name, ">> created by
// <creator> at:" stands before the last line (the creation site). A call the
// compiler inlined is marked " [inlined]" after its function. Where frames
// of a stack too deep to list whole were left out, ">> <n> frames left out"
// stands in their place.
std::string FormatCallStack(const std::vector<TCDStackLine>& lines, const TCDCallStackOptions& options,
                            std::string_view creatorName);

// ">> internal error in <step>", and with a failing address ":" and its
// single-line form on the next line.
std::string InternalErrorText(std::string_view step, const std::string& failingLine = std::string());
