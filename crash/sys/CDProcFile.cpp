#include "crash/sys/CDProcFile.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>

std::string ReadProcFile(const std::string& path, std::size_t limit) {
  std::string out;
  int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return out;
  // /proc files report a size of 0; read in steps until the end or the limit.
  std::size_t step = 4096;
  while (out.size() < limit) {
    std::size_t want = std::min(step, limit - out.size());
    std::size_t at = out.size();
    out.resize(at + want);
    ssize_t n = ::read(fd, out.data() + at, want);
    if (n < 0 && errno == EINTR) {
      out.resize(at);
      continue;
    }
    if (n <= 0) {
      out.resize(at);
      break;
    }
    out.resize(at + static_cast<std::size_t>(n));
    if (step < (1u << 20)) step *= 2;
  }
  ::close(fd);
  return out;
}

std::string ReadProcLink(const std::string& path) {
  char buffer[4096];
  ssize_t n = ::readlink(path.c_str(), buffer, sizeof buffer);
  if (n <= 0 || static_cast<std::size_t>(n) >= sizeof buffer) return std::string();
  return std::string(buffer, static_cast<std::size_t>(n));
}

std::vector<std::string_view> SplitWords(std::string_view text, std::string_view blanks) {
  std::vector<std::string_view> words;
  while (!text.empty()) {
    std::size_t start = text.find_first_not_of(blanks);
    if (start == std::string_view::npos) break;
    text.remove_prefix(start);
    std::size_t end = text.find_first_of(blanks);
    words.push_back(text.substr(0, end));
    text.remove_prefix(end == std::string_view::npos ? text.size() : end);
  }
  return words;
}
