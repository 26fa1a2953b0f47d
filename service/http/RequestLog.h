// The service's request log: one line per check-in, update, sign-in,
// refusal and failure, each with its time and priority. Every value that
// came from outside goes through Value, once, where the line is made.
#pragma once

#include <functional>
#include <string>

#include "runtime/JournalLog.h"

class TRequestLog {
 public:
  using TSink = std::function<void(TLogPriority, const std::string&)>;

  // Lines go to sink, which may be empty (then nowhere) or set later; it is
  // called from the service's threads.
  explicit TRequestLog(const TSink& sink) : sink_(sink) {}

  // Writes "TIME text".
  void Write(TLogPriority priority, const std::string& text) const;
  // A value as it goes into the log: every byte outside printable ASCII, and
  // the blank and "%" that would make a line ambiguous, as %XX.
  static std::string Value(const std::string& value);
  // The local time as "YYYY-MM-DD HH:MM:SS".
  static std::string Timestamp();

 private:
  const TSink& sink_;
};
