// Replacing a file as a whole, so that a crash or a full disk never leaves it
// half written: the new content goes to a temporary file in the same folder,
// is flushed to disk and then renamed over the old file, and the rename itself
// is made durable. Until Commit succeeds the old file is untouched; a writer
// destroyed without committing removes its temporary file.
//
// Writers that read the old file and write a new one (read-modify-write) hold
// an exclusive advisory lock on the old file from the read to the rename, so
// writers in several threads or processes take turns and keep each other's
// changes. A file named through symbolic links is replaced at the end of the
// chain, so the links stay links.
#pragma once

#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <string>
#include <string_view>

// The steps that make a replacement durable, in the order Commit takes
// them: sync the written temporary file, rename it over the target, sync the
// folder. Plain function pointers, so that tests can watch the order and the
// program pays nothing for it.
struct TAtomicFileSteps {
  int (*SyncFile)(int fd) = ::fsync;
  int (*Rename)(const char* from, const char* to) = std::rename;
  int (*SyncFolder)(int fd) = ::fsync;
};

class TAtomicFileWriter {
 public:
  TAtomicFileSteps Steps;

  TAtomicFileWriter() = default;
  ~TAtomicFileWriter();
  TAtomicFileWriter(const TAtomicFileWriter&) = delete;
  TAtomicFileWriter& operator=(const TAtomicFileWriter&) = delete;

  // Opens the temporary file beside fileName. The new file keeps the old
  // file's permissions and, where the system allows, its owner and group; a
  // new file gets the usual ones. False when the folder cannot take it (errno
  // tells why).
  bool Open(const std::string& fileName);

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

// The file at the end of a chain of symbolic links (the path itself when it
// is no link). A dangling link gives the path its target would have; a loop
// is left for the open to report (ELOOP).
std::string FollowLinks(const std::string& fileName);

// Opens the regular file at path for reading without waiting: a FIFO in the
// file's place would otherwise block the open until someone writes to it.
// Anything that is not a regular file fails (EISDIR, EINVAL). -1 with errno on
// failure; st describes the file.
int OpenRegularFile(const std::string& path, struct stat& st);

// Opens the regular file at path for reading, as OpenRegularFile, and
// takes the exclusive lock of its writers. Only a file that does not exist is
// created (empty); any other failure to open it fails, so a file that is
// there but cannot be read is never taken for an absent one. A file replaced
// by another writer while we waited is opened again. waitMs bounds the wait
// for the lock (negative: no limit); on a file system without locks the file
// is returned unlocked. -1 with errno on failure; st describes the file.
int OpenLockedForReplace(const std::string& path, int waitMs, struct stat& st);

// Whether the file may be replaced: a file without any write permission is
// kept as it is even where the permission check would let the caller through
// (root); otherwise the caller must be allowed to write it. Replacing goes
// through the folder, so the file's own mode would not be consulted
// otherwise. False with errno EACCES.
bool MayReplace(const std::string& path, const struct stat& st);
