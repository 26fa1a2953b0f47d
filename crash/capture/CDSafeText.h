// Text built in a fixed buffer, for the moments when nothing may be
// allocated: a signal handler, or a thread that faulted while holding the
// allocator's lock. Appends that do not fit are cut off; the text stays
// zero-terminated.
//
// Every operation is safe in a signal handler. Also the plain file writes
// and reads that such code needs.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>

class TCDSafeText {
 public:
  TCDSafeText(char* buffer, std::size_t capacity);
  TCDSafeText(const TCDSafeText&) = delete;
  TCDSafeText& operator=(const TCDSafeText&) = delete;

  // Signal-safe.
  TCDSafeText& Add(std::string_view text);
  TCDSafeText& Add(char c);
  // Lower-case hexadecimal, at least `digits` digits. Signal-safe.
  TCDSafeText& Hex(uint64_t value, int digits = 1);
  // Upper-case hexadecimal, at least `digits` digits. Signal-safe.
  TCDSafeText& HexUpper(uint64_t value, int digits = 1);
  // Decimal, at least `digits` digits (zero-padded). Signal-safe.
  TCDSafeText& Dec(int64_t value, int digits = 1);
  // Blanks up to the column. Signal-safe.
  TCDSafeText& PadTo(std::size_t column);

  // Signal-safe.
  std::string_view View() const { return std::string_view(buffer_, size_); }
  const char* CStr() const { return buffer_; }
  std::size_t Size() const { return size_; }
  bool Truncated() const { return truncated_; }
  // Signal-safe.
  void Clear();
  // Position after the last line break, for column padding. Signal-safe.
  std::size_t LineStart() const;

 private:
  TCDSafeText& Digits(uint64_t value, unsigned base, int digits, bool upper);

  char* buffer_;
  std::size_t capacity_;
  std::size_t size_ = 0;
  bool truncated_ = false;
};

// A fixed buffer with its text.
template <std::size_t N>
class TCDSafeTextBuffer : public TCDSafeText {
 public:
  TCDSafeTextBuffer() : TCDSafeText(storage_, N) {}

 private:
  char storage_[N];
};

// Writes all bytes, retrying after interruptions. False on any failure.
// Signal-safe.
bool CDWriteAll(int fd, const void* data, std::size_t size);
// Writes all bytes to a socket without ever raising SIGPIPE (the other end
// may be gone). Signal-safe.
bool CDSendAll(int fd, const void* data, std::size_t size);
// Reads exactly size bytes; false at end of file or on failure. Signal-safe.
bool CDReadAll(int fd, void* data, std::size_t size);
// The length of a zero-terminated text, at most max. Signal-safe.
std::size_t CDStrLen(const char* text, std::size_t max = SIZE_MAX);
