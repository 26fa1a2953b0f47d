// Replacing a file as a whole, so that a crash or a full disk never leaves it
// half written: the new content goes to a temporary file in the same folder,
// is flushed to disk and then renamed over the old file, and the rename itself
// is made durable. Until Commit succeeds the old file is untouched; a writer
// destroyed without committing removes its temporary file.
#pragma once

#include <cstdio>
#include <string>
#include <string_view>

class TAtomicFileWriter {
 public:
  // Opens the temporary file beside fileName. The new file keeps the old
  // file's permissions; a new file gets the usual ones. False when the folder
  // cannot take it (errno tells why).
  bool Open(const std::string& fileName);
  ~TAtomicFileWriter();
  TAtomicFileWriter() = default;
  TAtomicFileWriter(const TAtomicFileWriter&) = delete;
  TAtomicFileWriter& operator=(const TAtomicFileWriter&) = delete;

  // The open temporary file; valid between Open and Commit.
  FILE* File() const { return out_; }
  bool Write(std::string_view text);
  // Flushes, syncs and renames over the target. False (errno set) when any
  // step failed; the old file is then unchanged and the temporary file gone.
  bool Commit();
  // Drops the temporary file and leaves the old one as it was; errno is kept.
  void Cancel();

 private:
  void Discard();

  std::string fileName_, tmpName_;
  FILE* out_ = nullptr;
};

// The whole content in one call.
bool WriteFileAtomically(const std::string& fileName, std::string_view content);
