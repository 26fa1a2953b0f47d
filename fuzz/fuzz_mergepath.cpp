// A base and a relative path split at the first NUL (or at a position the
// first byte picks): merging ends, and never yields more than it was given.
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

#include "http/protocol/IdURI.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size == 0) return 0;
  std::string_view all(reinterpret_cast<const char*>(data) + 1, size - 1);
  std::size_t split = all.find('\0');
  if (split == std::string_view::npos) split = all.empty() ? 0 : data[0] % (all.size() + 1);
  std::string_view base = all.substr(0, split);
  std::string_view relative = split < all.size() ? all.substr(split + (all[split] == '\0' ? 1 : 0)) : std::string_view();
  std::string merged = MergePath(base, relative);
  if (merged.size() > base.size() + relative.size() + 1) std::abort();
  MergePath(base, relative, '\\');
  return 0;
}
