#include "runtime/AtomicFile.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

#include "runtime/SysUtils.h"

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
  struct stat st {};
  mode_t mode = 0666;
  if (::stat(fileName.c_str(), &st) == 0) {
    mode = st.st_mode & 07777;
  } else {
    mode_t mask = umask(0);
    umask(mask);
    mode &= ~mask;
  }
  fchmod(fileno(out_), mode);
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
  bool ok = std::ferror(out_) == 0 && std::fflush(out_) == 0 && fsync(fileno(out_)) == 0;
  int saved = errno;
  if (std::fclose(out_) != 0 && ok) {
    ok = false;
    saved = errno;
  }
  out_ = nullptr;
  if (ok && std::rename(tmpName_.c_str(), fileName_.c_str()) != 0) {
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
    fsync(dfd);
    ::close(dfd);
  }
  return true;
}

bool WriteFileAtomically(const std::string& fileName, std::string_view content) {
  TAtomicFileWriter writer;
  return writer.Open(fileName) && writer.Write(content) && writer.Commit();
}
