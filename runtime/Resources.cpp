#include "runtime/Resources.h"

#include <map>
#include <mutex>
#include <string>

#include "runtime/SysUtils.h"

namespace {
struct Registry {
  std::mutex lock;
  std::map<std::string, std::span<const uint8_t>> entries;
};

// Built on first use: the generated sources register during static
// initialisation, in an order the linker chooses.
Registry& TheRegistry() {
  static Registry registry;
  return registry;
}

std::string Key(std::string_view type, std::string_view name) { return UpperCase(type) + '\n' + UpperCase(name); }
}  // namespace

void RegisterResource(std::string_view type, std::string_view name, const uint8_t* data, std::size_t size) {
  Registry& r = TheRegistry();
  std::lock_guard<std::mutex> guard(r.lock);
  r.entries[Key(type, name)] = std::span<const uint8_t>(data, size);
}

std::span<const uint8_t> FindResource(std::string_view type, std::string_view name) {
  Registry& r = TheRegistry();
  std::lock_guard<std::mutex> guard(r.lock);
  auto it = r.entries.find(Key(type, name));
  return it == r.entries.end() ? std::span<const uint8_t>() : it->second;
}
