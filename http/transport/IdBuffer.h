// A byte queue: received bytes wait here until a read takes them from the front.
//
// The unread bytes lie at HeadOffset() .. HeadOffset()+Size()-1 of the store.
// The store grows by what is appended plus GrowthSlack, and consumed bytes in
// front are only moved away once more than GrowthSlack of them pile up, so a
// long stream read in large chunks moves little memory.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <string_view>

#include "http/IdGlobal.h"
#include "http/transport/IdStackRegistry.h"
#include "runtime/Stream.h"

namespace IdBufferStrings {
inline constexpr const char* RSTooMuchDataInBuffer = "Too much data in buffer.";
inline constexpr const char* RSNotEnoughDataInBuffer = "Not enough data in buffer.";
inline constexpr const char* RSBufferMissingTerminator = "Buffer terminator must be specified.";
inline constexpr const char* RSBufferInvalidStartPos = "Buffer start position is invalid.";
}  // namespace IdBufferStrings

class TIdBuffer {
 public:
  // Called after bytes were discarded from the front, with their count.
  using TIdBufferBytesRemoved = std::function<void(TIdBuffer& sender, int32_t count)>;

  TIdBuffer() = default;
  explicit TIdBuffer(TIdBufferBytesRemoved onConsumed) : OnConsumed(std::move(onConsumed)) {}
  TIdBuffer(const TIdBuffer&) = delete;
  TIdBuffer& operator=(const TIdBuffer&) = delete;

  int32_t GrowthSlack = 2048;
  TIdBufferBytesRemoved OnConsumed;

  // Unread bytes.
  int32_t Size() const { return byteCount_; }
  int32_t HeadOffset() const { return headOffset_; }
  int32_t Capacity() const { return static_cast<int32_t>(store_.size()); }
  // The first unread byte; Size() bytes are readable from here until the queue changes.
  const uint8_t* Data() const { return store_.data() + headOffset_; }

  // Appends the bytes; an empty queue takes the array over without copying.
  // Raises EIdTooMuchDataInBuffer when the queue would pass 2147483647 bytes.
  void AppendBytes(TIdBytes bytes);
  void AppendBytes(const uint8_t* data, std::size_t count);
  void AppendText(std::string_view text);

  // count -1 = all; count 0 or less (other than -1) gives nothing. Raises
  // EIdNotEnoughDataInBuffer "Not enough data in buffer. (<count>/<size>)".
  std::string ExtractText(int32_t count = -1);
  // With append the bytes go after dest's end; without, to its start (dest is
  // lengthened when shorter, never shortened).
  void ExtractBytes(TIdBytes& dest, int32_t count = -1, bool append = true);
  void MoveToStream(TStream& stream, int32_t count = -1);
  void Discard(int32_t count);
  void Compact(bool mayShrink = false);
  // Position (relative to the first unread byte) of the first occurrence of
  // pattern at or after start, or -1. An empty queue answers -1; otherwise an
  // empty pattern or a start outside the queue raises EIdException.
  int32_t FindBytes(const TIdBytes& pattern, int32_t start = 0) const;
  int32_t FindText(std::string_view pattern, int32_t start = 0) const;
  void EmptyBuffer();

 private:
  TIdStackUser stackUser_;
  TIdBytes store_;
  int32_t headOffset_ = 0;
  int32_t byteCount_ = 0;

  void CheckEnough(int32_t count) const;
  int32_t Find(const uint8_t* pattern, std::size_t length, int32_t start) const;
};
