#include "tools/idpost/BodyOutput.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "runtime/SysUtils.h"

namespace {
// Bytes gathered before a write, so that a body of many tiny pieces does not
// cost a system call per piece.
constexpr std::size_t kWriteChunk = 64 * 1024;
}  // namespace

TBodyOutput::TBodyOutput() : name_("standard output"), holdBack_(HoldBack) {}

TBodyOutput::TBodyOutput(const std::string& path) : name_(path) {
  struct stat st {};
  const bool special = ::stat(path.c_str(), &st) == 0 && !S_ISREG(st.st_mode);
  const std::string target = special ? path : path + ".part";
  fd_ = ::open(target.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666);
  if (fd_ < 0)
    throw EFCreateError(Format("Cannot create file %s. %s", target.c_str(), std::strerror(errno)));
  if (!special) {
    path_ = path;
    partPath_ = target;
  }
}

TBodyOutput::~TBodyOutput() {
  if (fd_ > 1) ::close(fd_);
  if (!finished_ && !partPath_.empty()) ::unlink(partPath_.c_str());
}

void TBodyOutput::Finish() {
  Flush();
  if (partPath_.empty()) {
    finished_ = true;
    return;
  }
  const int fd = fd_;
  fd_ = -1;
  if (::close(fd) != 0) RaiseWriteError(errno);
  if (::rename(partPath_.c_str(), path_.c_str()) != 0) RaiseWriteError(errno);
  finished_ = true;
}

int64_t TBodyOutput::Read(void*, int64_t) { return 0; }

int64_t TBodyOutput::Write(const void* buffer, int64_t count) {
  if (count <= 0) return 0;
  pending_.append(static_cast<const char*>(buffer), static_cast<std::size_t>(count));
  position_ += count;
  const bool holding = written_ == 0 && position_ <= holdBack_;
  if (!holding && pending_.size() >= kWriteChunk) Flush();
  return count;
}

int64_t TBodyOutput::Seek(int64_t offset, TSeekOrigin origin) {
  int64_t target = offset;
  if (origin == TSeekOrigin::soCurrent) target = position_ + offset;
  if (origin == TSeekOrigin::soEnd) target = position_ + offset;
  if (target < position_) CutBack(std::max<int64_t>(target, 0));
  return position_;
}

void TBodyOutput::SetSize(int64_t size) {
  if (size < position_) CutBack(std::max<int64_t>(size, 0));
}

void TBodyOutput::CutBack(int64_t size) {
  if (size >= written_) {
    pending_.resize(static_cast<std::size_t>(size - written_));
    position_ = size;
    return;
  }
  pending_.clear();
  // What reached standard output cannot be taken back; a file can be cut.
  if (partPath_.empty() || ::ftruncate(fd_, size) != 0 || ::lseek(fd_, size, SEEK_SET) < 0) {
    position_ = written_;
    return;
  }
  written_ = size;
  position_ = size;
}

void TBodyOutput::Flush() {
  std::size_t done = 0;
  while (done < pending_.size()) {
    ssize_t n = ::write(fd_, pending_.data() + done, pending_.size() - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) RaiseWriteError(n < 0 ? errno : ENOSPC);
    done += static_cast<std::size_t>(n);
  }
  written_ += static_cast<int64_t>(done);
  pending_.clear();
}

void TBodyOutput::RaiseWriteError(int error) const {
  throw EWriteError(Format("Cannot write the body to %s: %s", name_.c_str(), std::strerror(error)));
}
