// Libraries that only a report needs (symbols and lines, the disassembly,
// the device list) are opened when the first report needs them, not when
// the program starts: a program that never fails never pays for loading
// and relocating them.
//
// Opening takes the loader's lock and the allocator, as the unwinder and the
// symbols already do when a report is made; the handling makes sure both are
// usable first (the blocked-process probe) and otherwise leaves the report
// to a process that can (the helper, started afresh). A library that cannot
// be had, or lacks a function, leaves its part of the report empty, as a
// module without symbols would.
//
// Thread-safe; not signal-safe.
#pragma once

#include <dlfcn.h>

// The library by its soname, opened once per process and kept; null when it
// cannot be loaded.
void* CDOpenLibrary(const char* soname);

// Sets function to the library's function of that name; false when missing.
template <typename F>
bool CDBindFunction(void* library, const char* name, F& function) {
  function = reinterpret_cast<F>(::dlsym(library, name));
  return function != nullptr;
}

// A table of a library's functions is declared from a list macro, one
// X(name) per function, as struct { PINMARK_CD_FUNCTION(name) ... }, and
// bound in one go inside a function that has `library` and `api` in scope:
//   bool ok = true; LIST(PINMARK_CD_BIND)
#define PINMARK_CD_FUNCTION(name) decltype(&::name) name = nullptr;
#define PINMARK_CD_BIND(name) ok = CDBindFunction(library, #name, api.name) && ok;

// The table TApi of the library soname, bound by bind(library, api) on the
// first call and kept for the process; null when the library cannot be
// opened or bind says a function is missing.
template <typename TApi, typename TBind>
const TApi* CDBindOnce(const char* soname, TBind bind) {
  static const TApi* bound = [&]() -> const TApi* {
    static TApi api;
    void* library = CDOpenLibrary(soname);
    return library != nullptr && bind(library, api) ? &api : nullptr;
  }();
  return bound;
}
