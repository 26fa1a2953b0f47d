#include "crash/snapshot/CDSymbols.h"

#include <cxxabi.h>
#include <dwarf.h>
#include <elfutils/libdw.h>
#include <elfutils/libdwfl.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <map>
#include <vector>

#include "crash/sys/CDLibrary.h"
#include "runtime/SysUtils.h"

namespace {

// Never wait for a debug-information server while a report is being made.
void ClearDebuginfodUrls() {
  static std::once_flag once;
  std::call_once(once, [] { ::unsetenv("DEBUGINFOD_URLS"); });
}

// libdw's functions, bound when the first report needs symbols; until then
// the program has not even loaded the library.
#define PINMARK_DW_FUNCTIONS(X) \
  X(dwarf_attr) X(dwarf_attr_integrate) X(dwarf_child) X(dwarf_cu_getdwarf) X(dwarf_decl_line) \
  X(dwarf_diename) X(dwarf_dieoffset) X(dwarf_filesrc) X(dwarf_formstring) X(dwarf_formudata) \
  X(dwarf_getsrcfiles) X(dwarf_offdie) X(dwarf_ranges) X(dwarf_siblingof) X(dwarf_tag) X(dwfl_addrmodule) \
  X(dwfl_begin) X(dwfl_end) X(dwfl_lineinfo) X(dwfl_linux_proc_report) X(dwfl_module_addrdie) \
  X(dwfl_module_addrinfo) X(dwfl_module_getsrc) X(dwfl_module_info) X(dwfl_report_begin) X(dwfl_report_end) \
  X(dwfl_linux_proc_find_elf) X(dwfl_standard_find_debuginfo)

struct TDwApi {
  PINMARK_DW_FUNCTIONS(PINMARK_CD_FUNCTION)
};

const TDwApi* BindDw() {
  return CDBindOnce<TDwApi>("libdw.so.1", [](void* library, TDwApi& api) {
    bool ok = true;
    PINMARK_DW_FUNCTIONS(PINMARK_CD_BIND)
    return ok;
  });
}

// The functions below run only for a symbolizer that has a session, which
// it has only when the library was bound.
const TDwApi* Dw() { return BindDw(); }

char* gNoDebugPath = nullptr;

// The executable and the libraries that come with it (in its folder or below).
bool IsProgramModule(const char* path) {
  static const std::string folder = ExtractFilePath(ApplicationExeName());
  return !folder.empty() && std::string_view(path).substr(0, folder.size()) == folder;
}

std::string UnitName(const char* file) {
  if (!file || !*file) return std::string();
  // With its extension: Forms.h and Forms.cpp are different places.
  return ExtractFileName(file);
}

// Headers of the system (the C++ library's, a toolkit's) as opposed to the
// program's own files; a program's sources are never installed there.
bool IsOwnSource(const char* file) {
  if (!file || !*file) return false;
  const std::string_view path(file);
  for (std::string_view system : {"/usr/include/", "/usr/lib/", "/usr/local/include/"})
    if (path.substr(0, system.size()) == system) return false;
  return true;
}

// The file of index `index` in the unit's file table.
const char* SourceFile(Dwarf_Die* cu, Dwarf_Word index) {
  Dwarf_Files* files = nullptr;
  size_t count = 0;
  if (Dw()->dwarf_getsrcfiles(cu, &files, &count) != 0 || index >= count) return nullptr;
  return Dw()->dwarf_filesrc(files, index, nullptr, nullptr);
}

struct TRange {
  uint64_t Low = 0, High = 0;  // [Low, High), unit addresses
};

bool InRanges(const std::vector<TRange>& ranges, uint64_t pc) {
  for (const TRange& r : ranges)
    if (pc >= r.Low && pc < r.High) return true;
  return false;
}

std::vector<TRange> Ranges(Dwarf_Die* die) {
  std::vector<TRange> out;
  Dwarf_Addr base = 0, low = 0, high = 0;
  for (ptrdiff_t at = 0; (at = Dw()->dwarf_ranges(die, at, &base, &low, &high)) > 0 && out.size() < 4096;)
    if (high > low) out.push_back(TRange{low, high});
  return out;
}

// Entries deeper than this are not followed (a damaged file could nest without end).
constexpr int kMaxDepth = 64;

// A body inlined straight into a function; the bodies inlined into it are
// looked up when an address asks for them (NestedInlines), since walking
// them all for every unit would cost a report more than the rest of it.
struct TInlineInfo {
  std::vector<TRange> Ranges;
  int CallLine = 0;
  Dwarf_Word CallFile = 0;
  Dwarf_Off Die = 0;  // its entry
};

// The call of an inlined body: false when its entry does not say.
bool ReadInline(Dwarf_Die* die, TInlineInfo& in) {
  in.Ranges = Ranges(die);
  Dwarf_Attribute attr;
  Dwarf_Word line = 0, file = 0;
  if (in.Ranges.empty() || Dw()->dwarf_formudata(Dw()->dwarf_attr(die, DW_AT_call_line, &attr), &line) != 0 ||
      Dw()->dwarf_formudata(Dw()->dwarf_attr(die, DW_AT_call_file, &attr), &file) != 0)
    return false;
  in.CallLine = static_cast<int>(line);
  in.CallFile = file;
  in.Die = Dw()->dwarf_dieoffset(die);
  return true;
}

// Appends the bodies inlined inside parent that hold pc, outermost first.
void NestedInlines(Dwarf_Die* parent, uint64_t pc, std::vector<TInlineInfo>& chain, int depth) {
  Dwarf_Die child;
  if (depth > kMaxDepth || Dw()->dwarf_child(parent, &child) != 0) return;
  do {
    const int tag = Dw()->dwarf_tag(&child);
    if (tag == DW_TAG_inlined_subroutine) {
      TInlineInfo in;
      if (ReadInline(&child, in) && InRanges(in.Ranges, pc)) {
        chain.push_back(std::move(in));
        NestedInlines(&child, pc, chain, depth + 1);
        return;
      }
    } else if (tag == DW_TAG_lexical_block || tag == DW_TAG_try_block || tag == DW_TAG_catch_block) {
      const std::vector<TRange> ranges = Ranges(&child);
      if (!ranges.empty() && !InRanges(ranges, pc)) continue;
      const std::size_t before = chain.size();
      NestedInlines(&child, pc, chain, depth + 1);
      if (chain.size() > before) return;
    }
  } while (Dw()->dwarf_siblingof(&child, &child) == 0);
}

// The name of a function as its entry or the entry it was inlined from
// gives it: the linkage name demangled, else the plain name.
std::string FunctionName(Dwarf_Die* die) {
  Dwarf_Attribute attr;
  for (int name : {DW_AT_linkage_name, DW_AT_MIPS_linkage_name})
    if (const char* linkage = Dw()->dwarf_formstring(Dw()->dwarf_attr_integrate(die, name, &attr)))
      return DemangleSymbol(linkage);
  const char* plain = Dw()->dwarf_diename(die);
  return plain != nullptr ? plain : "";
}

struct TFunctionInfo {
  std::vector<TRange> Ranges;
  uint64_t Size = 0;  // of its code, to prefer the innermost of nested ones
  int DeclLine = 0;
  std::string Name;
  std::vector<TInlineInfo> Inlines;

  const TInlineInfo* InlineAt(uint64_t pc) const {
    for (const TInlineInfo& in : Inlines)
      if (InRanges(in.Ranges, pc)) return &in;
    return nullptr;
  }
};

// The functions of one compilation unit, read in one walk over its entries:
// asking the debug information for the scopes of every address would walk
// the unit again each time.
struct TUnitInfo {
  std::vector<TFunctionInfo> Functions;

  const TFunctionInfo* FunctionAt(uint64_t pc) const {
    const TFunctionInfo* best = nullptr;
    for (const TFunctionInfo& f : Functions)
      if (InRanges(f.Ranges, pc) && (!best || f.Size < best->Size)) best = &f;
    return best;
  }
};

void CollectInlines(Dwarf_Die* parent, std::vector<TInlineInfo>& inlines, TUnitInfo& unit, int depth);

// Records a function that has code; false for a declaration.
bool AddFunction(Dwarf_Die* die, TUnitInfo& unit, int depth) {
  TFunctionInfo f;
  f.Ranges = Ranges(die);
  if (f.Ranges.empty()) return false;
  for (const TRange& r : f.Ranges) f.Size += r.High - r.Low;
  int line = 0;
  if (Dw()->dwarf_decl_line(die, &line) == 0 && line > 0) f.DeclLine = line;
  if (const char* name = Dw()->dwarf_diename(die)) f.Name = name;
  CollectInlines(die, f.Inlines, unit, depth + 1);
  unit.Functions.push_back(std::move(f));
  return true;
}

bool IsContainer(int tag) {
  return tag == DW_TAG_namespace || tag == DW_TAG_class_type || tag == DW_TAG_structure_type ||
         tag == DW_TAG_union_type || tag == DW_TAG_module;
}

void CollectFunctions(Dwarf_Die* parent, TUnitInfo& unit, int depth) {
  Dwarf_Die child;
  if (depth > kMaxDepth || Dw()->dwarf_child(parent, &child) != 0) return;
  do {
    const int tag = Dw()->dwarf_tag(&child);
    if (tag == DW_TAG_subprogram && AddFunction(&child, unit, depth)) continue;
    if (IsContainer(tag) || tag == DW_TAG_subprogram) CollectFunctions(&child, unit, depth + 1);
  } while (Dw()->dwarf_siblingof(&child, &child) == 0);
}

void CollectInlines(Dwarf_Die* parent, std::vector<TInlineInfo>& inlines, TUnitInfo& unit, int depth) {
  Dwarf_Die child;
  if (depth > kMaxDepth || Dw()->dwarf_child(parent, &child) != 0) return;
  do {
    const int tag = Dw()->dwarf_tag(&child);
    if (tag == DW_TAG_inlined_subroutine) {
      TInlineInfo in;
      if (ReadInline(&child, in)) inlines.push_back(std::move(in));
    } else if (tag == DW_TAG_lexical_block || tag == DW_TAG_try_block || tag == DW_TAG_catch_block) {
      CollectInlines(&child, inlines, unit, depth + 1);
    } else if (tag == DW_TAG_subprogram) {
      // A nested function is one of its own.
      if (!AddFunction(&child, unit, depth + 1)) CollectFunctions(&child, unit, depth + 1);
    } else if (IsContainer(tag)) {
      // The members of a local class.
      CollectFunctions(&child, unit, depth + 1);
    }
  } while (Dw()->dwarf_siblingof(&child, &child) == 0);
}

}  // namespace

struct TCDSymbolizer::TState {
  Dwfl* Session = nullptr;
  std::map<std::pair<Dwfl_Module*, Dwarf_Off>, TUnitInfo> Units;
  ~TState() {
    if (Session) Dw()->dwfl_end(Session);
  }
};

std::string DemangleSymbol(const char* name) {
  if (!name) return std::string();
  // Symbol versions ("memcpy@@GLIBC_2.14") say nothing about the function.
  const std::string plain(name, std::strcspn(name, "@"));
  int status = 0;
  char* demangled = abi::__cxa_demangle(plain.c_str(), nullptr, nullptr, &status);
  if (status != 0 || !demangled) return plain;
  std::string out(demangled);
  std::free(demangled);
  return out;
}

TCDSymbolizer::TCDSymbolizer() : state_(std::make_unique<TState>()) {
  ClearDebuginfodUrls();
  if (Dw() == nullptr) return;  // no symbols, as for a module without them
  static const Dwfl_Callbacks callbacks = {
      Dw()->dwfl_linux_proc_find_elf,
      Dw()->dwfl_standard_find_debuginfo,
      nullptr,
      &gNoDebugPath,
  };
  Dwfl* d = Dw()->dwfl_begin(&callbacks);
  if (!d) return;
  Dw()->dwfl_report_begin(d);
  int failed = Dw()->dwfl_linux_proc_report(d, ::getpid());
  Dw()->dwfl_report_end(d, nullptr, nullptr);
  if (failed != 0) {
    Dw()->dwfl_end(d);
    return;
  }
  state_->Session = d;
}

TCDSymbolizer::~TCDSymbolizer() = default;

TCDSymbol TCDSymbolizer::Resolve(uint64_t address, bool returnAddress) {
  std::lock_guard<std::mutex> guard(lock_);
  auto& cache = cache_[returnAddress ? 1 : 0];
  auto it = cache.find(address);
  if (it != cache.end()) return it->second;
  if (cache.size() > 100000) cache.clear();
  return cache[address] = Lookup(address, returnAddress, kAll);
}

TCDSymbol TCDSymbolizer::ResolveCallSite(uint64_t returnAddress) {
  const std::vector<TCDSymbol> frames = ResolveFrames(returnAddress, true);
  for (const TCDSymbol& frame : frames)
    if (frame.OwnSource) return frame;
  return frames.back();
}

int TCDSymbolizer::LineOf(uint64_t address) {
  std::lock_guard<std::mutex> guard(lock_);
  return Lookup(address, false, kLine).Line;
}

uint64_t TCDSymbolizer::FunctionStartOf(uint64_t address) {
  std::lock_guard<std::mutex> guard(lock_);
  auto it = starts_.find(address);
  if (it != starts_.end()) return it->second;
  if (starts_.size() > 100000) starts_.clear();
  TCDSymbol s = Lookup(address, false, kStart);
  return starts_[address] = s.HasStart ? s.FunctionStart : 0;
}

std::vector<TCDSymbol> TCDSymbolizer::ResolveFrames(uint64_t address, bool returnAddress) {
  std::lock_guard<std::mutex> guard(lock_);
  auto& cache = frames_[returnAddress ? 1 : 0];
  auto it = cache.find(address);
  if (it != cache.end()) return it->second;
  if (cache.size() > 100000) cache.clear();
  std::vector<TCDSymbol> frames;
  TCDSymbol real = Lookup(address, returnAddress, kAll, &frames);
  frames.push_back(std::move(real));
  return cache[address] = std::move(frames);
}

TCDSymbol TCDSymbolizer::Lookup(uint64_t address, bool returnAddress, TPart part, std::vector<TCDSymbol>* inlined) {
  TCDSymbol s;
  if (!state_->Session || address == 0) return s;
  // A return address is the instruction after the call; the call itself
  // holds the line that is running.
  const uint64_t at = returnAddress ? address - 1 : address;
  Dwfl_Module* mod = Dw()->dwfl_addrmodule(state_->Session, at);
  if (!mod) return s;
  Dwarf_Addr base = 0;
  const char* path = Dw()->dwfl_module_info(mod, nullptr, &base, nullptr, nullptr, nullptr, nullptr, nullptr);
  if (!path) return s;
  s.Known = true;
  s.Module = ExtractFileName(path);
  s.ModuleBase = base;

  GElf_Off offset = 0;
  GElf_Sym sym{};
  if (part != kLine) {
    if (const char* name = Dw()->dwfl_module_addrinfo(mod, at, &offset, &sym, nullptr, nullptr, nullptr)) {
      if (part == kAll) s.Function = DemangleSymbol(name);
      s.HasStart = true;
      s.FunctionStart = at - offset;
      s.FunctionSize = sym.st_size;
    }
    if (part == kStart) return s;
  }

  // Units and lines come from the program's own modules: the system's
  // libraries rarely carry them, and where a debug package adds them,
  // unpacking its compressed sections would cost a report many times what
  // the rest of it does. Their symbols are still used.
  if (!IsProgramModule(path)) return s;
  const char* file = nullptr;
  int line = 0;
  if (Dwfl_Line* l = Dw()->dwfl_module_getsrc(mod, at)) {
    file = Dw()->dwfl_lineinfo(l, nullptr, &line, nullptr, nullptr, nullptr);
  }

  // Inside inlined code the real function's line is the call.
  Dwarf_Addr bias = 0;
  if (Dwarf_Die* cu = Dw()->dwfl_module_addrdie(mod, at, &bias)) {
    auto key = std::make_pair(mod, Dw()->dwarf_dieoffset(cu));
    auto it = state_->Units.find(key);
    if (it == state_->Units.end()) {
      TUnitInfo info;
      CollectFunctions(cu, info, 0);
      it = state_->Units.emplace(key, std::move(info)).first;
    }
    const TUnitInfo& unit = it->second;
    const uint64_t pc = at - bias;
    if (const TFunctionInfo* f = unit.FunctionAt(pc)) {
      std::vector<TInlineInfo> chain;
      if (const TInlineInfo* top = f->InlineAt(pc)) {
        chain.push_back(*top);
        Dwarf_Die die;
        if (inlined != nullptr && part == kAll && Dw()->dwarf_offdie(Dw()->dwarf_cu_getdwarf(cu->cu), top->Die, &die) != nullptr)
          NestedInlines(&die, pc, chain, 0);
      }
      // Innermost first: each inlined body stands where the line table says
      // (the innermost) or where the body inside it was called.
      for (std::size_t i = chain.size(); i-- > 0;) {
        if (inlined != nullptr && part == kAll) {
          TCDSymbol frame = s;
          frame.Inlined = true;
          Dwarf_Die die;
          if (Dw()->dwarf_offdie(Dw()->dwarf_cu_getdwarf(cu->cu), chain[i].Die, &die) != nullptr) {
            frame.Function = FunctionName(&die);
            int declLine = 0;
            if (Dw()->dwarf_decl_line(&die, &declLine) == 0 && declLine > 0) frame.FunctionLine = declLine;
          }
          frame.Line = line > 0 ? line : 0;
          frame.Unit = line > 0 ? UnitName(file) : std::string();
          frame.OwnSource = line > 0 && IsOwnSource(file);
          if (frame.FunctionLine > frame.Line) frame.FunctionLine = 0;
          inlined->push_back(std::move(frame));
        }
        line = chain[i].CallLine;
        file = SourceFile(cu, chain[i].CallFile);
      }
      s.FunctionLine = f->DeclLine;
      if (s.Function.empty() && part == kAll) s.Function = f->Name;
    }
  }
  if (line > 0) {
    s.Line = line;
    s.Unit = UnitName(file);
    s.OwnSource = IsOwnSource(file);
  }
  if (s.FunctionLine > s.Line) s.FunctionLine = 0;  // a declaration elsewhere tells nothing
  return s;
}
