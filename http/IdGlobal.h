// Byte arrays and the one-byte-per-character conversion the HTTP client uses
// between text and the wire. No character set is involved anywhere.
#pragma once

#include <cstdint>
#include <memory>
#include <type_traits>
#include <utility>
#include <string>
#include <string_view>
#include <vector>

// Leaves new elements uninitialised: a receive area is overwritten by the
// receive at once, and zero-filling 32 KiB before every receive cost as much
// as the copy of the data itself.
template <class T>
struct TIdDefaultInitAllocator : std::allocator<T> {
  template <class U>
  struct rebind {
    using other = TIdDefaultInitAllocator<U>;
  };
  using std::allocator<T>::allocator;
  template <class U>
  void construct(U* p) noexcept(std::is_nothrow_default_constructible_v<U>) {
    ::new (static_cast<void*>(p)) U;
  }
  template <class U, class... Args>
  void construct(U* p, Args&&... args) {
    ::new (static_cast<void*>(p)) U(std::forward<Args>(args)...);
  }
};

using TIdBytes = std::vector<uint8_t, TIdDefaultInitAllocator<uint8_t>>;

inline TIdBytes ToBytes(std::string_view text) { return TIdBytes(text.begin(), text.end()); }

inline std::string BytesToString(const TIdBytes& bytes, std::size_t start = 0, std::size_t count = std::string::npos) {
  if (start >= bytes.size()) return {};
  std::size_t n = std::min(count, bytes.size() - start);
  return std::string(reinterpret_cast<const char*>(bytes.data() + start), n);
}
