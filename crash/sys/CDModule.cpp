#include "crash/sys/CDModule.h"

#include <link.h>

#include <algorithm>

#include "runtime/SysUtils.h"

namespace {

struct TModuleInfo {
  TCDModuleHandle Base = 0;
  uintptr_t End = 0;
  std::string Path;
  bool IsMain = false;
};

// The lowest loaded segment's address is the image's base; the load bias
// alone is 0 for an executable that is not position-independent.
TModuleInfo Describe(const dl_phdr_info* info, bool isMain) {
  TModuleInfo m;
  uintptr_t low = UINTPTR_MAX, high = 0;
  for (ElfW(Half) i = 0; i < info->dlpi_phnum; ++i) {
    const ElfW(Phdr)& ph = info->dlpi_phdr[i];
    if (ph.p_type != PT_LOAD) continue;
    uintptr_t start = info->dlpi_addr + ph.p_vaddr;
    low = std::min<uintptr_t>(low, start);
    high = std::max<uintptr_t>(high, start + ph.p_memsz);
  }
  if (low == UINTPTR_MAX) return m;
  m.Base = low;
  m.End = high;
  m.Path = info->dlpi_name ? info->dlpi_name : "";
  m.IsMain = isMain;
  return m;
}

template <typename Pred>
TModuleInfo FindModule(Pred pred) {
  struct Search {
    Pred* pred;
    TModuleInfo found;
    bool first = true;
  } search{&pred, {}};
  dl_iterate_phdr(
      [](dl_phdr_info* info, size_t, void* data) -> int {
        auto* s = static_cast<Search*>(data);
        TModuleInfo m = Describe(info, s->first);
        s->first = false;
        if (m.Base != 0 && (*s->pred)(m)) {
          s->found = std::move(m);
          return 1;
        }
        return 0;
      },
      &search);
  return search.found;
}

}  // namespace

TCDModuleHandle MainModuleHandle() {
  static const TCDModuleHandle handle = FindModule([](const TModuleInfo& m) { return m.IsMain; }).Base;
  return handle;
}

TCDModuleHandle ModuleFromAddress(const void* address) {
  const auto a = reinterpret_cast<uintptr_t>(address);
  return FindModule([a](const TModuleInfo& m) { return a >= m.Base && a < m.End; }).Base;
}

std::string ModuleFilePath(TCDModuleHandle module) {
  if (module == 0) return std::string();
  if (module == MainModuleHandle()) return ApplicationExeName();
  return FindModule([module](const TModuleInfo& m) { return m.Base == module; }).Path;
}
