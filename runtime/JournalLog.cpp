#include "runtime/JournalLog.h"

#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cinttypes>
#include <cstdio>
#include <cstdlib>

bool IsJournalStream(int fd, const char* journalStream) {
  if (journalStream == nullptr || *journalStream == '\0') return false;
  uintmax_t device = 0, inode = 0;
  char end = 0;
  if (std::sscanf(journalStream, "%" SCNuMAX ":%" SCNuMAX "%c", &device, &inode, &end) != 2) return false;
  struct stat st {};
  if (::fstat(fd, &st) != 0) return false;
  return static_cast<uintmax_t>(st.st_dev) == device && static_cast<uintmax_t>(st.st_ino) == inode;
}

std::string JournalLine(TLogPriority priority, std::string_view text, bool journal) {
  std::string line;
  line.reserve(text.size() + 5);
  if (journal) {
    line += '<';
    line += static_cast<char>('0' + static_cast<int>(priority));
    line += '>';
  }
  for (char c : text) line += (c == '\n' || c == '\r') ? ' ' : c;
  line += '\n';
  return line;
}

namespace {
thread_local TLogBatch* batch = nullptr;

void WriteAll(int fd, const std::string& text) {
  const char* p = text.data();
  std::size_t left = text.size();
  while (left > 0) {
    const ssize_t n = ::write(fd, p, left);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return;
    p += n;
    left -= static_cast<std::size_t>(n);
  }
}
}  // namespace

TLogBatch::TLogBatch() : outer_(batch) { batch = this; }

TLogBatch::~TLogBatch() {
  Flush();
  batch = outer_;
}

void TLogBatch::Flush() {
  if (lines_.empty()) return;
  WriteAll(fd_, lines_);
  lines_.clear();
}

void LogLine(int fd, TLogPriority priority, std::string_view text) {
  // 0 unknown, 1 not the journal, 2 the journal; for the three standard streams.
  static std::atomic<int> known[3] = {0, 0, 0};
  bool journal = false;
  if (fd >= 0 && fd < 3) {
    int state = known[fd].load(std::memory_order_relaxed);
    if (state == 0) {
      state = IsJournalStream(fd, std::getenv("JOURNAL_STREAM")) ? 2 : 1;
      known[fd].store(state, std::memory_order_relaxed);
    }
    journal = state == 2;
  } else {
    journal = IsJournalStream(fd, std::getenv("JOURNAL_STREAM"));
  }
  const std::string line = JournalLine(priority, text, journal);
  if (!batch) return WriteAll(fd, line);
  if (batch->fd_ != fd) {
    batch->Flush();
    batch->fd_ = fd;
  }
  batch->lines_ += line;
  // A batch stays small: a turn of long lines is written in pieces.
  if (batch->lines_.size() >= 16384) batch->Flush();
}
