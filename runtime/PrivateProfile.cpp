#include "runtime/PrivateProfile.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdio>
#include <memory>

#include "runtime/SysUtils.h"

namespace {
// Lines are handled in pieces of at most this size, so a file with an
// enormous line costs no more memory than an ordinary one.
constexpr std::size_t kLineHead = 65536;
// Links followed before giving up on a chain (the system's own limit).
constexpr int kMaxLinkHops = 40;
// Times a writer looks again when the file it locked was replaced meanwhile.
constexpr int kMaxLockAttempts = 1000;

struct FileCloser {
  void operator()(FILE* f) const {
    if (f) std::fclose(f);
  }
};
using FilePtr = std::unique_ptr<FILE, FileCloser>;

// Reads a file line by line; each line's first kLineHead bytes come back as
// its head, the rest can be copied or skipped.
class LineReader {
 public:
  explicit LineReader(FILE* f) : f_(f) {}

  // False at the end of the file. `head` excludes the line break.
  bool Next(std::string& head) {
    head.clear();
    rest_ = false;
    int c;
    while ((c = std::fgetc(f_)) != EOF) {
      if (c == '\n') return true;
      if (head.size() == kLineHead) {
        std::ungetc(c, f_);
        rest_ = true;
        return true;
      }
      head += static_cast<char>(c);
    }
    return !head.empty();
  }

  // Copies the rest of an over-long line to out (or drops it when out is null).
  bool FinishLine(FILE* out) {
    if (!rest_) return true;
    int c;
    while ((c = std::fgetc(f_)) != EOF && c != '\n')
      if (out && std::fputc(c, out) == EOF) return false;
    rest_ = false;
    return true;
  }

 private:
  FILE* f_;
  bool rest_ = false;
};

std::string_view StripCr(std::string_view line) {
  if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
  return line;
}

// The section name of a header line "[name]", or false.
bool SectionOf(std::string_view line, std::string& name) {
  std::string t = Trim(StripCr(line));
  if (t.size() < 2 || t.front() != '[') return false;
  std::size_t close = t.find(']');
  if (close == std::string::npos) return false;
  name = Trim(std::string_view(t).substr(1, close - 1));
  return true;
}

// The key of a "key=value" line and where its value starts, or false.
bool KeyOf(std::string_view line, std::string& key, std::size_t& valueStart) {
  std::size_t eq = line.find('=');
  if (eq == std::string_view::npos) return false;
  key = Trim(line.substr(0, eq));
  valueStart = eq + 1;
  return true;
}

std::string Cut(std::string_view s, std::size_t bufferSize) {
  std::size_t limit = bufferSize == 0 ? 0 : bufferSize - 1;
  return std::string(s.substr(0, std::min(s.size(), limit)));
}

bool WriteAll(FILE* out, std::string_view text) {
  return text.empty() || std::fwrite(text.data(), 1, text.size(), out) == text.size();
}

// The file a chain of symbolic links ends at, so that a write replaces the
// file a link names and leaves the link in place. A dangling link gives the
// path its target would have; a loop is left for the open to report (ELOOP).
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

// Opens a regular file for reading, without waiting: a FIFO in the file's
// place would otherwise block the open until someone writes to it. Anything
// that is not a regular file fails (EISDIR, EINVAL).
int OpenRegularFile(const std::string& path, int flags, struct stat& st) {
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

FilePtr AsFile(int fd) {
  if (fd < 0) return nullptr;
  if (FILE* f = ::fdopen(fd, "rb")) return FilePtr(f);
  const int saved = errno;
  ::close(fd);
  errno = saved;
  return nullptr;
}

// Opens the file for reading and takes the exclusive advisory lock that every
// writer holds for its read-modify-write, so that two writers (in one process
// or in several) never start from the same old file and drop each other's
// key. Only a file that does not exist is created (empty) here; any other
// failure to open it fails the write, so a file that is there but cannot be
// read is never taken for an absent one and replaced.
//
// Writers replace the file by renaming, so the file locked may have been
// replaced while we waited for it: then the new one is opened and locked.
FilePtr OpenLocked(const std::string& path, struct stat& st) {
  for (int attempt = 0; attempt < kMaxLockAttempts; ++attempt) {
    int fd = OpenRegularFile(path, 0, st);
    if (fd < 0 && errno == ENOENT) fd = OpenRegularFile(path, O_CREAT, st);
    if (fd < 0) return nullptr;
    int rc;
    while ((rc = ::flock(fd, LOCK_EX)) != 0 && errno == EINTR) {
    }
    // A file system that has no locks still gets written, unguarded as before.
    if (rc != 0 && (errno == ENOLCK || errno == EOPNOTSUPP || errno == EINVAL)) rc = 0;
    struct stat now {};
    if (rc == 0 && ::fstat(fd, &st) == 0 && ::stat(path.c_str(), &now) == 0 && now.st_dev == st.st_dev &&
        now.st_ino == st.st_ino)
      return AsFile(fd);
    const int saved = errno;
    ::close(fd);
    if (rc != 0) {
      errno = saved;
      return nullptr;
    }
    // Replaced (or removed) while we waited: take the current one.
  }
  errno = EAGAIN;
  return nullptr;
}

// A file without any write permission is meant to be kept as it is, and is
// refused even where the permission check would let the caller through (root);
// otherwise the caller must be allowed to write it. Replacing goes through the
// folder, so the file's own mode would not be consulted otherwise.
bool MayReplace(const std::string& path, const struct stat& st) {
  if ((st.st_mode & (S_IWUSR | S_IWGRP | S_IWOTH)) == 0) {
    errno = EACCES;
    return false;
  }
  return ::faccessat(AT_FDCWD, path.c_str(), W_OK, AT_EACCESS) == 0;
}

// The new file takes the old one's owner and group where the system lets us
// (another user's file can only change hands), then its permissions; the
// order matters because a change of owner clears set-id bits.
bool KeepOwnerAndMode(int fd, const struct stat& st) {
  if (st.st_uid != ::geteuid() || st.st_gid != ::getegid()) {
    if (::fchown(fd, st.st_uid, st.st_gid) != 0) (void)::fchown(fd, static_cast<uid_t>(-1), st.st_gid);
  }
  return ::fchmod(fd, st.st_mode & 07777) == 0;
}
}  // namespace

std::string GetPrivateProfileString(std::string_view section, std::string_view key, std::string_view def,
                                    const std::string& fileName, std::size_t bufferSize) {
  struct stat st {};
  FilePtr f = AsFile(OpenRegularFile(fileName, 0, st));
  if (!f) return Cut(def, bufferSize);
  LineReader reader(f.get());
  std::string line, name, k;
  bool inSection = false;
  while (reader.Next(line)) {
    reader.FinishLine(nullptr);
    if (SectionOf(line, name)) {
      inSection = SameText(name, section);
      continue;
    }
    std::size_t valueStart = 0;
    if (inSection && KeyOf(line, k, valueStart) && SameText(k, key))
      return Cut(Trim(StripCr(std::string_view(line).substr(valueStart))), bufferSize);
  }
  return Cut(def, bufferSize);
}

bool WritePrivateProfileString(std::string_view section, std::string_view key, std::string_view value,
                               const std::string& fileName) {
  const std::string target = FollowLinks(fileName);
  struct stat st {};
  FilePtr in = OpenLocked(target, st);
  if (!in || !MayReplace(target, st)) return false;

  const std::string dir = ExtractFilePath(target);
  std::string tmpl = (dir.empty() ? std::string("./") : dir) + "." + ExtractFileName(target) + ".XXXXXX";
  int fd = mkostemp(tmpl.data(), O_CLOEXEC);
  if (fd < 0) return false;
  const std::string tmpName = tmpl;
  FilePtr out(fdopen(fd, "wb"));
  if (!out) {
    int saved = errno;
    ::close(fd);
    ::unlink(tmpName.c_str());
    errno = saved;
    return false;
  }

  bool ok = KeepOwnerAndMode(fileno(out.get()), st);
  const std::string entry = std::string(key) + "=" + std::string(value) + "\n";
  bool done = false, inSection = false;
  std::string pendingBlanks;  // blank lines held back so a new key joins its section's last line
  LineReader reader(in.get());
  std::string line, name, k;
  while (ok && reader.Next(line)) {
    if (SectionOf(line, name)) {
      if (inSection && !done) {
        ok = WriteAll(out.get(), entry);
        done = true;
      }
      inSection = !done && SameText(name, section);
    } else if (inSection && !done) {
      std::size_t valueStart = 0;
      if (KeyOf(line, k, valueStart) && SameText(k, key)) {
        ok = reader.FinishLine(nullptr) && WriteAll(out.get(), pendingBlanks) && WriteAll(out.get(), entry);
        pendingBlanks.clear();
        done = true;
        continue;
      }
      if (Trim(line).empty()) {
        pendingBlanks += line + "\n";
        continue;
      }
    }
    ok = ok && WriteAll(out.get(), pendingBlanks) && WriteAll(out.get(), line) && reader.FinishLine(out.get()) &&
         std::fputc('\n', out.get()) != EOF;
    pendingBlanks.clear();
  }
  if (ok && std::ferror(in.get())) {
    ok = false;
    errno = EIO;
  }
  if (ok && !done) {
    if (!inSection) ok = WriteAll(out.get(), "[" + std::string(section) + "]\n");
    ok = ok && WriteAll(out.get(), entry);
  }
  ok = ok && WriteAll(out.get(), pendingBlanks);
  ok = ok && std::fflush(out.get()) == 0 && fsync(fileno(out.get())) == 0;
  int saved = errno;
  if (std::fclose(out.release()) != 0 && ok) {
    ok = false;
    saved = errno;
  }
  // The old file stays locked until the new one has taken its place.
  if (ok && std::rename(tmpName.c_str(), target.c_str()) != 0) {
    ok = false;
    saved = errno;
  }
  if (!ok) {
    ::unlink(tmpName.c_str());
    errno = saved;
    return false;
  }
  // Make the rename itself durable.
  int dfd = ::open(dir.empty() ? "." : dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (dfd >= 0) {
    fsync(dfd);
    ::close(dfd);
  }
  return true;
}
