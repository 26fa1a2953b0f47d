#include "runtime/AtomicFile.h"

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <climits>
#include <thread>

#include "runtime/SysUtils.h"

namespace {
// Links followed before giving up on a chain (the system's own limit).
constexpr int kMaxLinkHops = 40;
// Times a writer looks again when the file it locked was replaced meanwhile.
constexpr int kMaxLockAttempts = 1000;
constexpr int kLockPollMs = 10;

// The new file takes the old one's owner and group where the system lets us
// (another user's file can only change hands), then its permissions; the
// order matters because a change of owner clears set-id bits.
void KeepOwnerAndMode(int fd, const std::string& fileName) {
  struct stat st {};
  if (::stat(fileName.c_str(), &st) != 0) {
    mode_t mask = umask(0);
    umask(mask);
    ::fchmod(fd, 0666 & ~mask);
    return;
  }
  if (st.st_uid != ::geteuid() || st.st_gid != ::getegid()) {
    if (::fchown(fd, st.st_uid, st.st_gid) != 0 && ::fchown(fd, static_cast<uid_t>(-1), st.st_gid) != 0) {
      // Neither owner nor group could be kept: the file stays ours, with the
      // old permissions below.
    }
  }
  ::fchmod(fd, st.st_mode & 07777);
}

int OpenRegular(const std::string& path, int flags, struct stat& st) {
  const int fd = ::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC | flags, 0666);
  if (fd < 0) return -1;
  int saved = 0;
  if (::fstat(fd, &st) != 0)
    saved = errno;
  else if (S_ISREG(st.st_mode))
    return fd;
  else
    saved = S_ISDIR(st.st_mode) ? EISDIR : EINVAL;
  ::close(fd);
  errno = saved;
  return -1;
}

// Takes the lock, polling while another holds it so that the wait can end.
int Lock(int fd, int waitMs) {
  if (waitMs < 0) {
    int rc;
    while ((rc = ::flock(fd, LOCK_EX)) != 0 && errno == EINTR) {
    }
    return rc;
  }
  for (int waited = 0;; waited += kLockPollMs) {
    if (::flock(fd, LOCK_EX | LOCK_NB) == 0) return 0;
    if (errno != EWOULDBLOCK && errno != EINTR) return -1;
    if (waited >= waitMs) {
      errno = EWOULDBLOCK;
      return -1;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(kLockPollMs));
  }
}
}  // namespace

bool TAtomicFileWriter::Open(const std::string& fileName) {
  Discard();
  fileName_ = fileName;
  std::string dir = ExtractFilePath(fileName);
  std::string tmpl = (dir.empty() ? std::string("./") : dir) + "." + ExtractFileName(fileName) + ".XXXXXX";
  int fd = mkostemp(tmpl.data(), O_CLOEXEC);
  if (fd < 0) return false;
  tmpName_ = tmpl;
  out_ = fdopen(fd, "wb");
  if (!out_) {
    int saved = errno;
    ::close(fd);
    Discard();
    errno = saved;
    return false;
  }
  KeepOwnerAndMode(fd, fileName);
  return true;
}

TAtomicFileWriter::~TAtomicFileWriter() { Discard(); }

void TAtomicFileWriter::Discard() {
  if (out_) std::fclose(out_);
  out_ = nullptr;
  if (!tmpName_.empty()) ::unlink(tmpName_.c_str());
  tmpName_.clear();
}

void TAtomicFileWriter::Cancel() {
  int saved = errno;
  Discard();
  errno = saved;
}

bool TAtomicFileWriter::Write(std::string_view text) {
  return out_ && (text.empty() || std::fwrite(text.data(), 1, text.size(), out_) == text.size());
}

bool TAtomicFileWriter::Commit() {
  if (!out_) {
    errno = EBADF;
    return false;
  }
  bool ok = std::ferror(out_) == 0 && std::fflush(out_) == 0 && Steps.SyncFile(fileno(out_)) == 0;
  int saved = errno;
  if (std::fclose(out_) != 0 && ok) {
    ok = false;
    saved = errno;
  }
  out_ = nullptr;
  if (ok && Steps.Rename(tmpName_.c_str(), fileName_.c_str()) != 0) {
    ok = false;
    saved = errno;
  }
  if (!ok) {
    Discard();
    errno = saved;
    return false;
  }
  tmpName_.clear();
  // Make the rename itself durable.
  std::string dir = ExtractFilePath(fileName_);
  int dfd = ::open(dir.empty() ? "." : dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (dfd >= 0) {
    Steps.SyncFolder(dfd);
    ::close(dfd);
  }
  return true;
}

bool WriteFileAtomically(const std::string& fileName, std::string_view content) {
  TAtomicFileWriter writer;
  return writer.Open(fileName) && writer.Write(content) && writer.Commit();
}

std::string FollowLinks(const std::string& fileName) {
  std::string path = fileName;
  for (int hops = 0; hops < kMaxLinkHops; ++hops) {
    struct stat st {};
    if (::lstat(path.c_str(), &st) != 0 || !S_ISLNK(st.st_mode)) return path;
    char buf[PATH_MAX];
    const ssize_t n = ::readlink(path.c_str(), buf, sizeof buf);
    if (n <= 0 || static_cast<std::size_t>(n) >= sizeof buf) return path;
    const std::string target(buf, static_cast<std::size_t>(n));
    path = target.front() == '/' ? target : ExtractFilePath(path) + target;
  }
  return path;
}

int OpenRegularFile(const std::string& path, struct stat& st) { return OpenRegular(path, 0, st); }

int OpenLockedForReplace(const std::string& path, int waitMs, struct stat& st) {
  for (int attempt = 0; attempt < kMaxLockAttempts; ++attempt) {
    int fd = OpenRegular(path, 0, st);
    if (fd < 0 && errno == ENOENT) fd = OpenRegular(path, O_CREAT, st);
    if (fd < 0) return -1;
    int rc = Lock(fd, waitMs);
    // A file system that has no locks still gets written, unguarded.
    if (rc != 0 && (errno == ENOLCK || errno == EOPNOTSUPP || errno == EINVAL)) rc = 0;
    struct stat now {};
    if (rc == 0 && ::fstat(fd, &st) == 0 && ::stat(path.c_str(), &now) == 0 && now.st_dev == st.st_dev &&
        now.st_ino == st.st_ino)
      return fd;
    const int saved = errno;
    ::close(fd);
    if (rc != 0) {
      errno = saved;
      return -1;
    }
    // Replaced (or removed) while we waited: take the current one.
  }
  errno = EAGAIN;
  return -1;
}

bool MayReplace(const std::string& path, const struct stat& st) {
  if ((st.st_mode & (S_IWUSR | S_IWGRP | S_IWOTH)) == 0) {
    errno = EACCES;
    return false;
  }
  return ::faccessat(AT_FDCWD, path.c_str(), W_OK, AT_EACCESS) == 0;
}
