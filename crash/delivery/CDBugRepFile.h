// The bug-report file: every report the program made, oldest first, each
// followed by an empty line. Saving appends the new report; a report of the
// same failure as an earlier one replaces it and carries a "count" line
// instead, and the oldest reports go when the file grows past its limit.
//
// Guarantees: the file is only ever replaced as a whole (a temporary file in
// the same folder, synced, then renamed over it), so a crash while saving
// leaves the previous file as it was; two threads or processes saving at once
// take turns through a lock on the file, so neither loses the other's report.
// Nothing but the duplicate and the reports that the size limit cuts ever
// leaves the file, whatever the file held before.
//
// MergeBugReport is the pure part: it works on texts and can be fed anything.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <string_view>

class ICDDeliverable;
class ICDSettings;

// How a report goes into the file.
struct TCDSaveRules {
  bool Append = true;
  // File size beyond which the oldest reports are dropped; 0 = no limit.
  int64_t SizeLimit = 0;
  // The part of the "callstack crc" value that two reports of the same
  // failure share; empty = no duplicate search.
  std::string DuplicateKey;
};

// What a merge did, in offsets of the texts it was given.
struct TCDMergeResult {
  std::string Text;  // the new file content
  // The earlier report that the new one replaces: [DuplicateStart,
  // DuplicateEnd) of the old file; npos when none was found.
  std::size_t DuplicateStart = std::string::npos;
  std::size_t DuplicateEnd = std::string::npos;
  // Bytes dropped from the front of the file (after the duplicate was taken
  // out) to stay within the size limit.
  std::size_t CutBytes = 0;
  // The "count" written into the new report; 0 when it got none.
  uint64_t Count = 0;
};

// The file content after saving report into a file holding `file`.
TCDMergeResult MergeBugReport(std::string_view file, std::string_view report, const TCDSaveRules& rules);

// The value of a header line ("executable", "callstack crc", ...): the text
// after ": " on the header line that starts with the label. Empty when there
// is no such line. A label on the report's very first line is not looked at.
std::string BugReportValue(std::string_view report, std::string_view label);

// The rules for saving this report with these settings: the duplicate key
// from the report's callstack checksum (when it is complete) and the
// definition for exceptions or, without an "exception class" line, freezes.
TCDSaveRules BugReportSaveRules(std::string_view report, const ICDSettings& settings);

// The configured file name (BugRepFile with %appname% and %modname% as the
// file names without extension).
std::string ConfiguredBugRepFile(const ICDSettings& settings);
// Anything that does not start with "/" is taken relative to a folder.
bool IsRelativeBugRepName(std::string_view name);
// A relative name made absolute in the folder of the program's per-user files:
// beside the executable, or the user's configuration folder for an installed
// copy (TUserFiles).
std::string BugRepPathBesideExecutable(std::string_view name);

// Saves report into the file at path (folders created as needed) by the
// rules. Blocks while another thread or process saves into the same file,
// at most a few seconds. False when the file cannot be written; the old file
// is then unchanged, and problem (when given) receives the system's reason.
bool SaveBugReportFile(const std::string& path, std::string_view report, const TCDSaveRules& rules,
                       std::string* problem = nullptr);

// The folder for reports that cannot go where they should:
// $XDG_STATE_HOME/pinmark, else ~/.local/state/pinmark; empty without
// either (or with a relative one, which the XDG rules ignore).
std::string BugRepStateFolder();

// Where a report saved without asking anyone went.
struct TCDSaveOutcome {
  std::string MeantFor;   // the file it was meant for
  std::string Path;       // the file that took it; empty when none did
  bool Elsewhere = false;  // not the file it was meant for
  bool ToStandardError = false;  // no file took it: it was written there
  std::string Problem;    // why the file(s) before could not take it
  bool Saved() const { return !Path.empty(); }
};

// Saves report into the file at path; when that file cannot take it, into
// the file of the same name in the state folder (a report's earlier ones are
// not carried along), and when that fails too, writes it to standard error.
// A report is never dropped without the outcome saying so.
TCDSaveOutcome SaveBugReportKeeping(const std::string& path, std::string_view report, const TCDSaveRules& rules);

// Whether the folder of the file at path can take a report of this many
// bytes now: empty when it can, else the system's reason (a full file
// system, a folder that may not be written, a file in a folder's place).
// Writes nothing that stays.
std::string BugRepRoomProblem(const std::string& path, std::size_t bytes);

// What the automatic save of this exception's report will do, told while
// the box stands: empty when the configured file can take it (or nothing is
// saved automatically), else where it will go and why.
std::string PlannedSaveText(const ICDDeliverable& exception);

// What the user is told of an outcome: empty when the report went where it
// was meant to, else one sentence naming the file it went to, or saying that
// it could not be saved and why.
std::string SaveOutcomeText(const TCDSaveOutcome& outcome);

// The same outcome as the box tells it once the report is saved: always one
// sentence, naming the file it went to even where it was meant to go.
std::string SavedText(const TCDSaveOutcome& outcome);

// Takes reports that went out by mail out of the file: sent is the file's
// content as it was copied for the mail. When the file still starts with it,
// that part goes (the whole file when nothing was added since); anything
// else is left alone, so a report saved meanwhile is never lost. True when
// something was removed.
bool RemoveSentBugReports(const std::string& path, std::string_view sent);

// Saves without asking anyone: fileName, or when empty the configured name,
// a relative name being taken in the executable's folder. A save into the
// configured file marks the exception as saved. Returns success; problem
// (when given) receives the reason of a failure.
bool SaveBugReport(ICDDeliverable& exception, std::string_view report, const std::string& fileName = std::string(),
                   std::string* problem = nullptr);

// The automatic save: into the configured file, or where
// SaveBugReportKeeping finds room; only a save into the configured file
// marks the exception as saved. The outcome says where it went.
TCDSaveOutcome AutoSaveBugReport(ICDDeliverable& exception, std::string_view report);

// Test seam: runs after the new content was written to the temporary file
// and before it replaces the old file. Empty = nothing.
void SetBugRepBeforeReplaceHook(std::function<void()> hook);
