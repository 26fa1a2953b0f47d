#include "crash/capture/CDSafeText.h"

#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>

TCDSafeText::TCDSafeText(char* buffer, std::size_t capacity) : buffer_(buffer), capacity_(capacity) {
  if (capacity_ > 0) buffer_[0] = '\0';
}

void TCDSafeText::Clear() {
  size_ = 0;
  truncated_ = false;
  if (capacity_ > 0) buffer_[0] = '\0';
}

TCDSafeText& TCDSafeText::Add(std::string_view text) {
  for (char c : text) Add(c);
  return *this;
}

TCDSafeText& TCDSafeText::Add(char c) {
  if (size_ + 1 >= capacity_) {
    truncated_ = true;
    return *this;
  }
  buffer_[size_++] = c;
  buffer_[size_] = '\0';
  return *this;
}

TCDSafeText& TCDSafeText::Digits(uint64_t value, unsigned base, int digits, bool upper) {
  const char* set = upper ? "0123456789ABCDEF" : "0123456789abcdef";
  char tmp[64];
  int n = 0;
  do {
    tmp[n++] = set[value % base];
    value /= base;
  } while (value != 0 && n < 64);
  while (n < digits && n < 64) tmp[n++] = '0';
  while (n > 0) Add(tmp[--n]);
  return *this;
}

TCDSafeText& TCDSafeText::Hex(uint64_t value, int digits) { return Digits(value, 16, digits, false); }

TCDSafeText& TCDSafeText::HexUpper(uint64_t value, int digits) { return Digits(value, 16, digits, true); }

TCDSafeText& TCDSafeText::Dec(int64_t value, int digits) {
  if (value < 0) {
    Add('-');
    // Negating the smallest value overflows; its magnitude fits unsigned.
    return Digits(static_cast<uint64_t>(-(value + 1)) + 1, 10, digits, false);
  }
  return Digits(static_cast<uint64_t>(value), 10, digits, false);
}

std::size_t TCDSafeText::LineStart() const {
  std::size_t i = size_;
  while (i > 0 && buffer_[i - 1] != '\n') --i;
  return i;
}

TCDSafeText& TCDSafeText::PadTo(std::size_t column) {
  const std::size_t start = LineStart();
  while (size_ - start < column && !truncated_) Add(' ');
  return *this;
}

namespace {
template <typename Write>
bool WriteLoop(const void* data, std::size_t size, Write&& write) {
  const char* p = static_cast<const char*>(data);
  while (size > 0) {
    const ssize_t n = write(p, size);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    p += n;
    size -= static_cast<std::size_t>(n);
  }
  return true;
}
}  // namespace

bool CDWriteAll(int fd, const void* data, std::size_t size) {
  return WriteLoop(data, size, [fd](const char* p, std::size_t n) { return ::write(fd, p, n); });
}

bool CDSendAll(int fd, const void* data, std::size_t size) {
  return WriteLoop(data, size, [fd](const char* p, std::size_t n) { return ::send(fd, p, n, MSG_NOSIGNAL); });
}

bool CDReadAll(int fd, void* data, std::size_t size) {
  char* p = static_cast<char*>(data);
  while (size > 0) {
    const ssize_t n = ::read(fd, p, size);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    p += n;
    size -= static_cast<std::size_t>(n);
  }
  return true;
}

std::size_t CDStrLen(const char* text, std::size_t max) {
  std::size_t n = 0;
  while (n < max && text[n] != '\0') ++n;
  return n;
}
