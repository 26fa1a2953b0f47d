// The service's request log: one line per check-in, update, sign-in,
// refusal, failure and change of state, each with its time and priority.
// Every value that came from outside goes through Value, once, where the
// line is made.
//
// A line is a row of key=value fields that a program can split at the
// blanks and at the first '=' of each: "time=2026-12-10T14:03:07+0100
// level=info event=checkin outcome=ok node=box user=alice address=192.0.2.1".
// time and level come first, then event (what happened), then the event's
// own fields; a reason in words is the last field, escaped like every value
// (a blank is %20). Text handed in that is not in that form yet becomes
// "event=note text=...".
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

  // Writes "time=TIME level=LEVEL text"; text is "event=... key=value...".
  void Write(TLogPriority priority, const std::string& text) const;
  // " key=value", the value escaped by Value.
  static std::string Field(const char* key, const std::string& value);
  // A value as it goes into the log: every byte outside printable ASCII, and
  // the blank and "%" that would make a line ambiguous, as %XX.
  static std::string Value(const std::string& value);
  // The local time as "YYYY-MM-DDTHH:MM:SS+hhmm".
  static std::string Timestamp();

 private:
  const TSink& sink_;
};
