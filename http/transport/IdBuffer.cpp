#include "http/transport/IdBuffer.h"

#include <cstring>
#include <limits>

#include "runtime/SysUtils.h"

using namespace IdBufferStrings;

namespace {
constexpr int64_t kMaxQueued = std::numeric_limits<int32_t>::max();
constexpr std::size_t kKeptStore = 64 * 1024;
}

void TIdBuffer::AppendBytes(TIdBytes bytes) {
  if (kMaxQueued - static_cast<int64_t>(bytes.size()) < byteCount_) throw EIdTooMuchDataInBuffer(RSTooMuchDataInBuffer);
  if (bytes.empty()) return;
  if (byteCount_ == 0) {
    headOffset_ = 0;
    store_ = std::move(bytes);
    byteCount_ = static_cast<int32_t>(store_.size());
    return;
  }
  AppendBytes(bytes.data(), bytes.size());
}

void TIdBuffer::AppendBytes(const uint8_t* data, std::size_t count) {
  if (kMaxQueued - static_cast<int64_t>(count) < byteCount_) throw EIdTooMuchDataInBuffer(RSTooMuchDataInBuffer);
  if (count == 0) return;
  if (byteCount_ == 0) {
    // Into the store an emptied queue kept when the bytes fit; otherwise, as
    // with an array handed over, the store is exactly the new bytes.
    headOffset_ = 0;
    if (store_.size() < count) TIdBytes(count).swap(store_);
    std::memcpy(store_.data(), data, count);
    byteCount_ = static_cast<int32_t>(count);
    return;
  }
  Compact(false);
  auto n = static_cast<int64_t>(count);
  if (static_cast<int64_t>(store_.size()) - byteCount_ < n) {
    int64_t wanted = std::min<int64_t>(byteCount_ + n + GrowthSlack, kMaxQueued);
    store_.resize(static_cast<std::size_t>(wanted));
  }
  std::memcpy(store_.data() + byteCount_, data, count);
  byteCount_ += static_cast<int32_t>(count);
}

void TIdBuffer::AppendText(std::string_view text) {
  AppendBytes(reinterpret_cast<const uint8_t*>(text.data()), text.size());
}

void TIdBuffer::Discard(int32_t count) {
  if (count <= 0) return;
  if (count < byteCount_) {
    headOffset_ += count;
    byteCount_ -= count;
    if (headOffset_ > GrowthSlack) Compact(true);
  } else {
    EmptyBuffer();
  }
  if (OnConsumed) OnConsumed(*this, count);
}

void TIdBuffer::Compact(bool mayShrink) {
  if (headOffset_ > 0) {
    if (byteCount_ > 0) std::memmove(store_.data(), store_.data() + headOffset_, static_cast<std::size_t>(byteCount_));
    headOffset_ = 0;
  }
  if (mayShrink && static_cast<int64_t>(store_.size()) - byteCount_ > GrowthSlack) {
    // A fresh store and one memcpy: shrink_to_fit would copy byte by byte
    // through the allocator's construct.
    TIdBytes smaller(static_cast<std::size_t>(byteCount_) + static_cast<std::size_t>(std::max(GrowthSlack, 0)));
    if (byteCount_ > 0) std::memcpy(smaller.data(), store_.data(), static_cast<std::size_t>(byteCount_));
    store_.swap(smaller);
  }
}

void TIdBuffer::EmptyBuffer() {
  // A small store is kept for the next bytes: a queue that is filled and
  // emptied line by line or request by request need not allocate each time.
  if (store_.size() > kKeptStore) TIdBytes().swap(store_);
  headOffset_ = 0;
  byteCount_ = 0;
}

void TIdBuffer::CheckEnough(int32_t count) const {
  if (count > byteCount_)
    throw EIdNotEnoughDataInBuffer(Format("%s (%d/%d)", RSNotEnoughDataInBuffer, count, byteCount_));
}

void TIdBuffer::ExtractBytes(TIdBytes& dest, int32_t count, bool append) {
  if (count == -1) count = byteCount_;
  if (count <= 0) return;
  CheckEnough(count);
  const uint8_t* from = store_.data() + headOffset_;
  if (append) {
    dest.insert(dest.end(), from, from + count);
  } else {
    if (dest.size() < static_cast<std::size_t>(count)) dest.resize(static_cast<std::size_t>(count));
    std::memcpy(dest.data(), from, static_cast<std::size_t>(count));
  }
  Discard(count);
}

std::string TIdBuffer::ExtractText(int32_t count) {
  if (count == -1) count = byteCount_;
  if (count <= 0) return {};
  CheckEnough(count);
  std::string text(reinterpret_cast<const char*>(store_.data() + headOffset_), static_cast<std::size_t>(count));
  Discard(count);
  return text;
}

void TIdBuffer::MoveToStream(TStream& stream, int32_t count) {
  if (count == -1) count = byteCount_;
  if (count <= 0) return;
  CheckEnough(count);
  // Written from where the unread bytes start: compacting first would move
  // the whole rest of the queue for every small read, as a body of many tiny
  // chunks makes. Discard compacts once enough consumed bytes pile up.
  stream.WriteBuffer(store_.data() + headOffset_, count);
  Discard(count);
}

int32_t TIdBuffer::Find(const uint8_t* pattern, std::size_t length, int32_t start) const {
  if (byteCount_ == 0) return -1;
  if (length == 0) throw EIdException(RSBufferMissingTerminator);
  if (start < 0 || start >= byteCount_) throw EIdException(RSBufferInvalidStartPos);
  if (length > static_cast<std::size_t>(byteCount_)) return -1;
  const uint8_t* base = store_.data() + headOffset_;
  if (length == 1) {
    // A line terminator: one memchr finds it.
    const void* hit = std::memchr(base + start, pattern[0], static_cast<std::size_t>(byteCount_ - start));
    return hit ? static_cast<int32_t>(static_cast<const uint8_t*>(hit) - base) : -1;
  }
  const int32_t last = byteCount_ - static_cast<int32_t>(length);
  int32_t p = start;
  while (p <= last) {
    const void* hit = std::memchr(base + p, pattern[0], static_cast<std::size_t>(last - p + 1));
    if (!hit) return -1;
    p = static_cast<int32_t>(static_cast<const uint8_t*>(hit) - base);
    if (std::memcmp(base + p, pattern, length) == 0) return p;
    ++p;
  }
  return -1;
}

int32_t TIdBuffer::FindBytes(const TIdBytes& pattern, int32_t start) const {
  return Find(pattern.data(), pattern.size(), start);
}

int32_t TIdBuffer::FindText(std::string_view pattern, int32_t start) const {
  return Find(reinterpret_cast<const uint8_t*>(pattern.data()), pattern.size(), start);
}
