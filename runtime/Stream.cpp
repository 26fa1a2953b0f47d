#include "runtime/Stream.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "runtime/SysUtils.h"

int64_t TStream::Size() {
  int64_t pos = Seek(0, TSeekOrigin::soCurrent);
  int64_t end = Seek(0, TSeekOrigin::soEnd);
  Seek(pos, TSeekOrigin::soBeginning);
  return end;
}

void TStream::ReadBuffer(void* buffer, int64_t count) {
  if (count > 0 && Read(buffer, count) != count) throw EReadError("Stream read error");
}

void TStream::WriteBuffer(const void* buffer, int64_t count) {
  if (count > 0 && Write(buffer, count) != count) throw EWriteError("Stream write error");
}

int64_t TStream::CopyFrom(TStream& source, int64_t count) {
  if (count == 0) {
    source.SetPosition(0);
    count = source.Size();
  }
  char chunk[65536];
  int64_t left = count;
  while (left > 0) {
    int64_t n = std::min<int64_t>(left, sizeof chunk);
    source.ReadBuffer(chunk, n);
    WriteBuffer(chunk, n);
    left -= n;
  }
  return count;
}

int64_t TMemoryStream::Read(void* buffer, int64_t count) {
  int64_t size = Size();
  if (count <= 0 || position_ >= size) return 0;
  int64_t n = std::min(count, size - position_);
  std::memcpy(buffer, data_.data() + position_, static_cast<std::size_t>(n));
  position_ += n;
  return n;
}

int64_t TMemoryStream::Write(const void* buffer, int64_t count) {
  if (count <= 0) return 0;
  auto pos = static_cast<std::size_t>(position_);
  auto n = static_cast<std::size_t>(count);
  if (pos == data_.size()) {
    data_.append(static_cast<const char*>(buffer), n);
  } else {
    if (pos + n > data_.size()) data_.resize(pos + n);
    std::memcpy(data_.data() + pos, buffer, n);
  }
  position_ += count;
  return count;
}

int64_t TMemoryStream::Seek(int64_t offset, TSeekOrigin origin) {
  int64_t base = origin == TSeekOrigin::soBeginning ? 0 : origin == TSeekOrigin::soCurrent ? position_ : Size();
  position_ = std::max<int64_t>(0, base + offset);
  return position_;
}

void TMemoryStream::SetSize(int64_t size) {
  data_.resize(static_cast<std::size_t>(std::max<int64_t>(0, size)));
  if (position_ > Size()) position_ = Size();
}

void TMemoryStream::Clear() {
  data_.clear();
  data_.shrink_to_fit();
  position_ = 0;
}

void TLimitedStringStream::RaiseExceeded() const {
  throw EStreamLimitExceeded(Format("Stream limit of %lld bytes exceeded", static_cast<long long>(limit_)));
}

int64_t TLimitedStringStream::Write(const void* buffer, int64_t count) {
  if (exceeded_) RaiseExceeded();
  if (count <= 0) return 0;
  const int64_t room = std::max<int64_t>(0, limit_ - position_);
  if (count <= room) return TMemoryStream::Write(buffer, count);
  TMemoryStream::Write(buffer, room);
  exceeded_ = true;
  RaiseExceeded();
}

void TLimitedStringStream::SetSize(int64_t size) {
  if (exceeded_) RaiseExceeded();
  if (size < Size()) TMemoryStream::SetSize(size);
}

std::string TLimitedStringStream::Take() noexcept {
  std::string bytes = std::move(data_);
  data_.clear();
  position_ = 0;
  return bytes;
}

TFileStream::TFileStream(const std::string& path, Mode mode) : path_(path) {
  int flags = O_CLOEXEC;
  switch (mode) {
    case fmOpenRead: flags |= O_RDONLY; break;
    case fmOpenWrite: flags |= O_WRONLY; break;
    case fmOpenReadWrite: flags |= O_RDWR; break;
    case fmCreate: flags |= O_RDWR | O_CREAT | O_TRUNC; break;
  }
  fd_ = ::open(path.c_str(), flags, 0666);
  if (fd_ < 0) {
    std::string reason = std::strerror(errno);
    if (mode == fmCreate) throw EFCreateError(Format("Cannot create file %s. %s", path.c_str(), reason.c_str()));
    throw EFOpenError(Format("Cannot open file %s. %s", path.c_str(), reason.c_str()));
  }
  struct stat st {};
  sizable_ = fstat(fd_, &st) != 0 || S_ISREG(st.st_mode);
}

TFileStream::~TFileStream() {
  if (fd_ >= 0) ::close(fd_);
}

int64_t TFileStream::Read(void* buffer, int64_t count) {
  int64_t done = 0;
  while (done < count) {
    ssize_t n = ::read(fd_, static_cast<char*>(buffer) + done, static_cast<std::size_t>(count - done));
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    done += n;
  }
  return done;
}

int64_t TFileStream::Write(const void* buffer, int64_t count) {
  int64_t done = 0;
  while (done < count) {
    ssize_t n = ::write(fd_, static_cast<const char*>(buffer) + done, static_cast<std::size_t>(count - done));
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    done += n;
  }
  return done;
}

int64_t TFileStream::Seek(int64_t offset, TSeekOrigin origin) {
  int whence = origin == TSeekOrigin::soBeginning ? SEEK_SET : origin == TSeekOrigin::soCurrent ? SEEK_CUR : SEEK_END;
  off_t r = ::lseek(fd_, offset, whence);
  return r < 0 ? -1 : r;
}

void TFileStream::SetSize(int64_t size) {
  // A device or a pipe (say /dev/null or a terminal) has no size to set.
  if (!sizable_) return;
  if (::ftruncate(fd_, size) != 0) throw EWriteError("Stream write error");
  if (Position() > size) SetPosition(size);
}
