// Code addresses to what a reader of a bug report wants to see: the module
// (file name), the unit (source file name with its extension), the function
// (demangled), where the function starts, the line and the function's own
// first line.
//
// Built on elfutils libdw over the process's own modules, read afresh for
// each report (libraries come and go). Symbols come from the modules' symbol
// tables (and those of installed debug files); units and lines from the
// debug information of the program's own modules: the executable and the
// libraries in its folder.
// An address inside code that the compiler inlined is given as the line of
// the call in the real function, so module, unit, function and line always
// describe the same frame; ResolveFrames lists the inlined calls at the
// address as frames of their own before it, as a debugger does. Debug information is never fetched from the
// network (DEBUGINFOD_URLS is cleared first).
//
// Thread-safe (one lock per symbolizer); results are cached per address.
#pragma once

#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <unordered_map>
#include <vector>

struct TCDSymbol {
  bool Known = false;     // the address lies in a module
  std::string Module;     // file name without folder
  uint64_t ModuleBase = 0;  // where the module is loaded
  std::string Unit;       // source file name with its extension, or empty
  std::string Function;   // demangled, or empty
  bool HasStart = false;  // FunctionStart is known
  uint64_t FunctionStart = 0;
  uint64_t FunctionSize = 0;
  int Line = 0;          // 0: unknown
  int FunctionLine = 0;  // the function's first line; 0: unknown
  // A call the compiler inlined: Function is the inlined function, Unit and
  // Line where it runs; module and start are those of the real function
  // that holds its code.
  bool Inlined = false;
  // Unit is a file of the program's own sources, not a header of the
  // system's (the C++ library, a toolkit) that the compiler took in.
  bool OwnSource = false;
};

class TCDSymbolizer {
 public:
  TCDSymbolizer();
  ~TCDSymbolizer();
  TCDSymbolizer(const TCDSymbolizer&) = delete;
  TCDSymbolizer& operator=(const TCDSymbolizer&) = delete;

  // For a return address the unit and line are those of the call before it.
  TCDSymbol Resolve(uint64_t address, bool returnAddress = false);
  // The frames at the address, innermost first: the inlined calls (Inlined
  // set), then the real function as Resolve gives it; cached.
  std::vector<TCDSymbol> ResolveFrames(uint64_t address, bool returnAddress = false);
  // Where a call was made, for a single line that names it (a thread's
  // creation site): of the frames at the return address, the innermost one
  // in the program's own sources, the call the program itself made, so that
  // the system headers' code inlined around it (a toolkit's slot template)
  // does not stand in its place; else the real function.
  TCDSymbol ResolveCallSite(uint64_t returnAddress);
  // The source line of an exact address (for the disassembly), 0 unknown.
  int LineOf(uint64_t address);
  // Start of the function that holds the address, 0 unknown; cached.
  uint64_t FunctionStartOf(uint64_t address);

 private:
  struct TState;
  enum TPart { kAll, kLine, kStart };
  // inlined, when given, receives the inlined calls' frames, innermost first.
  TCDSymbol Lookup(uint64_t address, bool returnAddress, TPart part, std::vector<TCDSymbol>* inlined = nullptr);

  std::mutex lock_;
  std::unique_ptr<TState> state_;
  std::unordered_map<uint64_t, TCDSymbol> cache_[2];
  std::unordered_map<uint64_t, std::vector<TCDSymbol>> frames_[2];
  std::unordered_map<uint64_t, uint64_t> starts_;
};

// Demangles a C++ symbol name; other names come back as they are.
std::string DemangleSymbol(const char* name);
