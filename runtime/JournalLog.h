// Lines for the system log that keep their priority.
//
// A program started by systemd has its standard output and error connected to
// the journal, which then sets JOURNAL_STREAM to the device and inode of that
// stream. A line written there that begins with "<N>" is recorded with the
// syslog priority N, so `journalctl -p err` finds failures. Anywhere else (a
// terminal, a pipe, a file) lines go out as they are.
//
// Guarantees: a line is written with one write call (so lines from several
// threads never interleave within a line), ends in exactly one '\n', and a
// failed write never raises or ends the process (SIGPIPE is not raised:
// callers that log to a closed pipe must have it ignored, as the programs do).
#pragma once

#include <string>
#include <string_view>

enum class TLogPriority { Error = 3, Warning = 4, Info = 6 };

// Whether fd is the stream that JOURNAL_STREAM ("DEVICE:INODE") names.
bool IsJournalStream(int fd, const char* journalStream);

// text as one line for a stream that is (journal) or is not the journal:
// "<N>" in front for the journal; a line break inside text would start a
// line of the wrong priority, so each one becomes a blank.
std::string JournalLine(TLogPriority priority, std::string_view text, bool journal);

// Writes text as one line to fd, with its priority when fd is the journal
// (decided once per fd number for the process); into the thread's
// TLogBatch while there is one.
void LogLine(int fd, TLogPriority priority, std::string_view text);

// While one lives on a thread, the thread's lines are gathered and written
// with one write call at Flush (or when it goes, or when a line for another
// fd comes): for an event loop, the lines of a turn cost one write. Lines
// stay whole and in order; a line of another thread may come between.
class TLogBatch {
 public:
  TLogBatch();
  ~TLogBatch();
  TLogBatch(const TLogBatch&) = delete;
  TLogBatch& operator=(const TLogBatch&) = delete;
  void Flush();

 private:
  friend void LogLine(int fd, TLogPriority priority, std::string_view text);
  TLogBatch* outer_;
  int fd_ = -1;
  std::string lines_;
};
