#include "crash/report/CDSymbols.h"

#include <cxxabi.h>
#include <dwarf.h>
#include <elfutils/libdw.h>
#include <elfutils/libdwfl.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>

#include "runtime/SysUtils.h"

namespace {

// Never wait for a debug-information server while a report is being made.
void ClearDebuginfodUrls() {
  static std::once_flag once;
  std::call_once(once, [] { ::unsetenv("DEBUGINFOD_URLS"); });
}

char* gNoDebugPath = nullptr;
const Dwfl_Callbacks kCallbacks = {
    dwfl_linux_proc_find_elf,
    dwfl_standard_find_debuginfo,
    nullptr,
    &gNoDebugPath,
};

std::string UnitName(const char* file) {
  if (!file || !*file) return std::string();
  return ChangeFileExt(ExtractFileName(file), "");
}

// The file of index `index` in the unit's file table.
const char* SourceFile(Dwarf_Die* cu, Dwarf_Word index) {
  Dwarf_Files* files = nullptr;
  size_t count = 0;
  if (dwarf_getsrcfiles(cu, &files, &count) != 0 || index >= count) return nullptr;
  return dwarf_filesrc(files, index, nullptr, nullptr);
}

}  // namespace

struct TCDSymbolizer::TState {
  Dwfl* Session = nullptr;
  ~TState() {
    if (Session) dwfl_end(Session);
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
  Dwfl* d = dwfl_begin(&kCallbacks);
  if (!d) return;
  dwfl_report_begin(d);
  int failed = dwfl_linux_proc_report(d, ::getpid());
  dwfl_report_end(d, nullptr, nullptr);
  if (failed != 0) {
    dwfl_end(d);
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
  return cache[address] = Lookup(address, returnAddress);
}

int TCDSymbolizer::LineOf(uint64_t address) {
  std::lock_guard<std::mutex> guard(lock_);
  return Lookup(address, false).Line;
}

TCDSymbol TCDSymbolizer::Lookup(uint64_t address, bool returnAddress) {
  TCDSymbol s;
  if (!state_->Session || address == 0) return s;
  // A return address is the instruction after the call; the call itself
  // holds the line that is running.
  const uint64_t at = returnAddress ? address - 1 : address;
  Dwfl_Module* mod = dwfl_addrmodule(state_->Session, at);
  if (!mod) return s;
  const char* path = dwfl_module_info(mod, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr);
  if (!path) return s;
  s.Known = true;
  s.Module = ExtractFileName(path);

  GElf_Off offset = 0;
  GElf_Sym sym{};
  if (const char* name = dwfl_module_addrinfo(mod, at, &offset, &sym, nullptr, nullptr, nullptr)) {
    s.Function = DemangleSymbol(name);
    s.HasStart = true;
    s.FunctionStart = at - offset;
    s.FunctionSize = sym.st_size;
  }

  const char* file = nullptr;
  int line = 0;
  if (Dwfl_Line* l = dwfl_module_getsrc(mod, at)) {
    file = dwfl_lineinfo(l, nullptr, &line, nullptr, nullptr, nullptr);
  }

  // The scopes around the address: inlined code first, out to the real
  // function. Inside inlined code the real function's line is the call. The
  // scopes of an address stop at the first inlined body; its concrete
  // parents lead on to the function it was inlined into.
  Dwarf_Addr bias = 0;
  if (Dwarf_Die* cu = dwfl_module_addrdie(mod, at, &bias)) {
    Dwarf_Die function{}, outerInline{};
    bool haveFunction = false, haveInline = false;
    Dwarf_Die* scopes = nullptr;
    int n = dwarf_getscopes(cu, at - bias, &scopes);
    for (int i = 0; i < n && !haveFunction && !haveInline; ++i) {
      int tag = dwarf_tag(&scopes[i]);
      if (tag == DW_TAG_subprogram) {
        function = scopes[i];
        haveFunction = true;
      } else if (tag == DW_TAG_inlined_subroutine) {
        Dwarf_Die* chain = nullptr;
        int m = dwarf_getscopes_die(&scopes[i], &chain);
        for (int j = 0; j < m && !haveFunction; ++j) {
          int t = dwarf_tag(&chain[j]);
          if (t == DW_TAG_inlined_subroutine) {
            outerInline = chain[j];
            haveInline = true;
          } else if (t == DW_TAG_subprogram) {
            function = chain[j];
            haveFunction = true;
          }
        }
        std::free(chain);
        haveInline = true;
      }
    }
    std::free(scopes);
    if (haveFunction && haveInline) {
      Dwarf_Attribute attr;
      Dwarf_Word callFile = 0, callLine = 0;
      if (dwarf_formudata(dwarf_attr(&outerInline, DW_AT_call_line, &attr), &callLine) == 0 &&
          dwarf_formudata(dwarf_attr(&outerInline, DW_AT_call_file, &attr), &callFile) == 0) {
        line = static_cast<int>(callLine);
        file = SourceFile(cu, callFile);
      }
    }
    if (haveFunction) {
      int first = 0;
      if (dwarf_decl_line(&function, &first) == 0 && first > 0) s.FunctionLine = first;
      if (s.Function.empty())
        if (const char* name = dwarf_diename(&function)) s.Function = name;
    }
  }
  if (line > 0) {
    s.Line = line;
    s.Unit = UnitName(file);
  }
  if (s.FunctionLine > s.Line) s.FunctionLine = 0;  // a declaration elsewhere tells nothing
  return s;
}
