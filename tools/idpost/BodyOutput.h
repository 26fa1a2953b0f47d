// Where idpost puts a body: standard output or a file, written as the body
// arrives but never left looking complete when the exchange fails.
//
// Standard output holds the first HoldBack bytes back until Finish, so a
// failed transfer of a body up to that size prints nothing; past it the
// bytes stream on, and a failure stops them where they are.
//
// A regular file is written as NAME.part and renamed to NAME by Finish, once
// the whole body is in; an unfinished output removes NAME.part, so NAME is
// either the complete body or untouched. A device or a pipe named as the
// file (/dev/null, a FIFO) is written directly.
//
// The exchange may cut the stream back (SetSize to an earlier size): bytes
// not yet written out are dropped, a file is truncated. Every write error
// raises EWriteError naming the target and the system's reason.
#pragma once

#include <cstdint>
#include <string>

#include "runtime/Stream.h"

class TBodyOutput : public TStream {
 public:
  static constexpr int64_t HoldBack = 16 << 20;

  // Standard output.
  TBodyOutput();
  // The file at path; raises EFCreateError when it cannot be created.
  explicit TBodyOutput(const std::string& path);
  ~TBodyOutput() override;
  TBodyOutput(const TBodyOutput&) = delete;
  TBodyOutput& operator=(const TBodyOutput&) = delete;

  // Writes out what is held and, for a file, puts it in place under its name.
  void Finish();

  int64_t Read(void* buffer, int64_t count) override;
  int64_t Write(const void* buffer, int64_t count) override;
  // Only the position bookkeeping the exchange needs: going back cuts the
  // body back to there; going forward is not possible.
  int64_t Seek(int64_t offset, TSeekOrigin origin) override;
  // Growing changes nothing (the body is not pre-sized); shrinking cuts back.
  void SetSize(int64_t size) override;
  int64_t Size() override { return position_; }

 private:
  void CutBack(int64_t size);
  void Flush();
  [[noreturn]] void RaiseWriteError(int error) const;

  int fd_ = 1;
  std::string name_;      // for messages: "standard output" or the file's name
  std::string path_;      // the file's name; empty for standard output and devices
  std::string partPath_;  // where the file is written until Finish
  bool finished_ = false;
  int64_t holdBack_ = 0;
  std::string pending_;  // accepted, not yet written out
  int64_t written_ = 0;  // bytes written out
  int64_t position_ = 0;
};
