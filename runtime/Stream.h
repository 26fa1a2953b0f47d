// Byte streams: the abstract TStream, an in-memory stream (TMemoryStream,
// with TStringStream giving its bytes as text) and a file stream.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "runtime/Exception.h"

PINMARK_EXCEPTION_CLASS(EStreamError, Exception);
PINMARK_EXCEPTION_CLASS(EReadError, EStreamError);
PINMARK_EXCEPTION_CLASS(EWriteError, EStreamError);
PINMARK_EXCEPTION_CLASS(EFCreateError, EStreamError);
PINMARK_EXCEPTION_CLASS(EFOpenError, EStreamError);
PINMARK_EXCEPTION_CLASS(EStreamLimitExceeded, EWriteError);

enum class TSeekOrigin { soBeginning, soCurrent, soEnd };

class TStream {
 public:
  virtual ~TStream() = default;

  // Reads up to count bytes; returns how many were read (0 at the end).
  virtual int64_t Read(void* buffer, int64_t count) = 0;
  // Writes count bytes; returns how many were written.
  virtual int64_t Write(const void* buffer, int64_t count) = 0;
  // Returns the new position.
  virtual int64_t Seek(int64_t offset, TSeekOrigin origin) = 0;
  // Grows or cuts the stream; the position is kept unless it lies past the new end.
  virtual void SetSize(int64_t size) = 0;
  virtual int64_t Size();

  int64_t Position() { return Seek(0, TSeekOrigin::soCurrent); }
  void SetPosition(int64_t pos) { Seek(pos, TSeekOrigin::soBeginning); }

  // Exactly count bytes or EReadError "Stream read error" / EWriteError
  // "Stream write error".
  void ReadBuffer(void* buffer, int64_t count);
  void WriteBuffer(const void* buffer, int64_t count);
  void WriteText(std::string_view text) { WriteBuffer(text.data(), static_cast<int64_t>(text.size())); }
  // Copies count bytes from source's position (0 = the whole source from its
  // start); returns the count copied.
  int64_t CopyFrom(TStream& source, int64_t count);
};

class TMemoryStream : public TStream {
 public:
  TMemoryStream() = default;
  explicit TMemoryStream(std::string data) : data_(std::move(data)) {}

  int64_t Read(void* buffer, int64_t count) override;
  int64_t Write(const void* buffer, int64_t count) override;
  int64_t Seek(int64_t offset, TSeekOrigin origin) override;
  void SetSize(int64_t size) override;
  int64_t Size() override { return static_cast<int64_t>(data_.size()); }

  const char* Memory() const { return data_.data(); }
  void Clear();

 protected:
  std::string data_;
  int64_t position_ = 0;
};

// An in-memory stream whose bytes are read back as text, one byte per character.
class TStringStream : public TMemoryStream {
 public:
  TStringStream() = default;
  explicit TStringStream(std::string text) : TMemoryStream(std::move(text)) {}
  const std::string& DataString() const { return data_; }
};

// A text stream that holds at most `limit` bytes, for filling from outside
// (a peer, a file) where more than that is of no use. A write that would pass
// the limit keeps what fits and raises EStreamLimitExceeded "Stream limit of
// <limit> bytes exceeded", so the reader filling it stops there. It is never
// grown ahead of its bytes: a size asked for beyond what it holds is a
// reader's hint, and growing to a length a peer announces would zero-fill
// memory for nothing. Once the limit was exceeded the stream keeps the head
// it holds: further writes and size changes raise the same exception, so a
// reader that gives up on a failed transfer cannot empty it.
class TLimitedStringStream : public TStringStream {
 public:
  explicit TLimitedStringStream(int64_t limit) : limit_(limit < 0 ? 0 : limit) {}
  int64_t Limit() const { return limit_; }
  bool Exceeded() const { return exceeded_; }

  int64_t Write(const void* buffer, int64_t count) override;
  void SetSize(int64_t size) override;
  // Hands the bytes over without copying; the stream is empty afterwards.
  std::string Take() noexcept;

 private:
  [[noreturn]] void RaiseExceeded() const;

  int64_t limit_;
  bool exceeded_ = false;
};

class TFileStream : public TStream {
 public:
  enum Mode { fmOpenRead, fmOpenWrite, fmOpenReadWrite, fmCreate };
  // Raises EFOpenError "Cannot open file <path>" or EFCreateError
  // "Cannot create file <path>" with the system's reason appended.
  TFileStream(const std::string& path, Mode mode);
  ~TFileStream() override;
  TFileStream(const TFileStream&) = delete;
  TFileStream& operator=(const TFileStream&) = delete;

  int64_t Read(void* buffer, int64_t count) override;
  int64_t Write(const void* buffer, int64_t count) override;
  int64_t Seek(int64_t offset, TSeekOrigin origin) override;
  void SetSize(int64_t size) override;
  const std::string& FileName() const { return path_; }

 private:
  std::string path_;
  int fd_ = -1;
  bool sizable_ = true;  // a regular file; a device or a pipe has no size to set
};
