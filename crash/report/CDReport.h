// One bug report while it is being made: its header lines and sections, the
// text rendered from them, the callstack checksum, and its completion.
//
// The header is filled at once; the sections start as placeholders and are
// completed by a thread of their own, so the report is shown, saved or
// mailed while it grows. Anyone may render the text at any time: a text
// rendered while another change arrived is returned but not kept, so the
// stored text is never older than the lists. Waiters learn of completion
// through WaitComplete, listeners through OnChange and OnComplete.
//
// Thread-safe. Callbacks run on the thread that made the change, outside the
// report's locks; they must not block for long.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <functional>
#include <mutex>
#include <string>
#include <vector>

#include "crash/report/ICDFields.h"

class TCDReport {
 public:
  TCDReport();
  TCDReport(const TCDReport&) = delete;
  TCDReport& operator=(const TCDReport&) = delete;

  TICDFields Header;
  TICDFields Sections;

  // The report text for the current lists.
  std::string Text();

  // Sections still to complete. Each SectionDone counts one down; reaching
  // zero marks the report complete.
  void SetOutstanding(int sections);
  void SectionDone();
  int Outstanding() const;
  // Marks the report complete (idempotent); fires the completion callbacks once.
  void MarkComplete();
  bool Complete() const;
  // Waits until complete; a negative timeout waits without limit. True when
  // complete.
  bool WaitComplete(int timeoutMs);

  // Set when whoever shows the report gives up on it before completion (the
  // box closed); the completing thread checks it between steps.
  void Abort();
  bool Aborted() const;

  // Any change of the header or the sections.
  void OnChange(std::function<void()> listener);
  // Runs once at completion; at once when the report is complete already.
  void OnComplete(std::function<void()> callback);

 private:
  void Changed();

  mutable std::mutex lock_;
  std::condition_variable completed_;
  std::string text_;
  uint64_t textChanges_ = UINT64_MAX;  // change count the stored text belongs to
  int outstanding_ = 0;
  bool complete_ = false;
  bool aborted_ = false;
  std::vector<std::function<void()>> changeListeners_;
  std::vector<std::function<void()>> completeCallbacks_;
};
