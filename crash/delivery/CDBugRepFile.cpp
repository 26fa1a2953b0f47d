#include "crash/delivery/CDBugRepFile.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <limits>
#include <mutex>

#include "crash/capture/CDSafeText.h"
#include "crash/delivery/ICDDeliverable.h"
#include "crash/report/CDReportText.h"
#include "crash/settings/ICDSettings.h"
#include "runtime/AtomicFile.h"
#include "runtime/SysUtils.h"
#include "runtime/UserFiles.h"

namespace {

constexpr std::string_view kCrLf = "\r\n";
constexpr std::string_view kDateTime = "date/time";
constexpr std::string_view kBoundary = "\r\ndate/time";
constexpr std::string_view kSeparator = "\r\n\r\n";
constexpr std::size_t npos = std::string_view::npos;

// A file larger than this is not read into memory: the report is appended to
// a copy of it without duplicate search or cut.
constexpr std::size_t kMaxMergedFile = 64u << 20;
// How long a save waits for another one to finish with the same file.
constexpr int kLockWaitMs = 10000;

std::mutex& HookLock() {
  static std::mutex lock;
  return lock;
}
std::function<void()>& BeforeReplaceHook() {
  static std::function<void()> hook;
  return hook;
}

// The header of a report: everything before the first empty line.
std::string_view HeaderOf(std::string_view report) { return report.substr(0, report.find(kSeparator)); }

// Start of the report that holds position `at`: the last boundary at or
// before it, or the file's first "date/time"; npos when there is none.
std::size_t ReportStartBefore(std::string_view file, std::size_t at) {
  std::size_t b = file.rfind(kBoundary, at);
  if (b != npos) return b + kCrLf.size();
  std::size_t first = file.find(kDateTime);
  return first != npos && first <= at ? first : npos;
}

// Where the report that starts at `start` ends: at the next report's
// "date/time" (so the empty line between them goes with it), or at the end.
std::size_t ReportEndAfter(std::string_view file, std::size_t start) {
  std::size_t next = file.find(kBoundary, start);
  return next == npos ? file.size() : next + kCrLf.size();
}

// Reports that count as the same failure: the same program, module, class
// and version (without a version, the same file dates).
bool SameSource(std::string_view earlier, std::string_view report) {
  for (std::string_view label : {"executable", "current module", "exception class", "version"})
    if (BugReportValue(earlier, label) != BugReportValue(report, label)) return false;
  if (BugReportValue(report, "version").empty())
    for (std::string_view label : {"exec. date/time", "module date/time"})
      if (BugReportValue(earlier, label) != BugReportValue(report, label)) return false;
  return true;
}

// The count an earlier report carries: 1 when it has none or an unreadable one.
uint64_t CountOf(std::string_view earlier) {
  std::string text = Trim(BugReportValue(earlier, "count"));
  uint64_t value = 0;
  if (text.empty() || text.size() > 19) return 1;
  for (char c : text) {
    if (c < '0' || c > '9') return 1;
    value = value * 10 + static_cast<uint64_t>(c - '0');
  }
  return value == 0 ? 1 : value;
}

// The report with a "count" line after its "callstack crc" line, aligned
// with it; without that line, at the end of the header.
std::string WithCount(std::string_view report, uint64_t count) {
  std::string_view header = HeaderOf(report);
  std::size_t line = npos;
  if (StartsText("callstack crc", header))
    line = 0;
  else if (std::size_t at = header.find("\r\ncallstack crc"); at != npos)
    line = at + kCrLf.size();
  std::size_t width = std::string_view("count").size() + 1;
  std::size_t insertAt = header.size();
  if (line != npos) {
    std::size_t lineEnd = header.find(kCrLf, line);
    if (lineEnd == npos) lineEnd = header.size();
    std::size_t colon = header.find(':', line);
    if (colon != npos && colon < lineEnd) width = colon - line;
    insertAt = lineEnd;
  }
  std::string out(report.substr(0, insertAt));
  out += kCrLf;
  out += RenderHeaderLine("count", std::to_string(count), width);
  out += report.substr(insertAt);
  return out;
}

// Searches the file backwards for an earlier report of the same failure.
bool FindDuplicate(std::string_view file, std::string_view report, const std::string& key, std::size_t& start,
                   std::size_t& end) {
  const std::string needle = ": " + key;
  std::size_t from = file.size();
  while (from != npos) {
    std::size_t hit = file.rfind(needle, from);
    if (hit == npos) return false;
    std::size_t s = ReportStartBefore(file, hit);
    if (s != npos) {
      std::size_t e = ReportEndAfter(file, s);
      std::string_view earlier = file.substr(s, e - s);
      if (SameSource(earlier, report)) {
        start = s;
        end = e;
        return true;
      }
      // Every other hit inside this report gives the same answer.
      hit = s;
    }
    from = hit == 0 ? npos : hit - 1;
  }
  return false;
}

// Bytes to drop from the front so that what remains is smaller than three
// quarters of the limit, starting at a report; 0 when no report boundary
// allows that.
std::size_t CutForLimit(std::string_view file, int64_t limit) {
  if (limit <= 0 || file.size() <= static_cast<uint64_t>(limit)) return 0;
  const uint64_t keep = static_cast<uint64_t>(limit - limit / 4);
  for (std::size_t b = file.find(kBoundary); b != npos; b = file.find(kBoundary, b + 1)) {
    std::size_t from = b + kCrLf.size();
    if (file.size() - from < keep) return from;
  }
  return 0;
}

// A file descriptor that closes itself.
struct TFd {
  int fd = -1;
  explicit TFd(int f) : fd(f) {}
  ~TFd() {
    if (fd >= 0) ::close(fd);
  }
  TFd(const TFd&) = delete;
  TFd& operator=(const TFd&) = delete;
};

bool ReadAll(int fd, std::string& out, std::size_t size) {
  out.resize(size);
  std::size_t done = 0;
  while (done < size) {
    ssize_t n = ::pread(fd, out.data() + done, size - done, static_cast<off_t>(done));
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return false;
    if (n == 0) break;
    done += static_cast<std::size_t>(n);
  }
  out.resize(done);
  return true;
}

bool CopyAll(int fd, TAtomicFileWriter& writer) {
  char buffer[65536];
  off_t at = 0;
  while (true) {
    ssize_t n = ::pread(fd, buffer, sizeof buffer, at);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return false;
    if (n == 0) return true;
    if (!writer.Write(std::string_view(buffer, static_cast<std::size_t>(n)))) return false;
    at += n;
  }
}

}  // namespace

std::string BugReportValue(std::string_view report, std::string_view label) {
  if (label.empty()) return std::string();
  std::string_view header = HeaderOf(report);
  for (std::size_t at = header.find(kCrLf); at != npos; at = header.find(kCrLf, at + 1)) {
    std::size_t p = at + kCrLf.size();
    if (header.compare(p, label.size(), label) != 0) continue;
    p += label.size();
    while (p < header.size() && header[p] == ' ') ++p;
    if (header.compare(p, 2, ": ") != 0) continue;
    p += 2;
    std::size_t end = header.find_first_of("\r\n", p);
    return std::string(header.substr(p, end == npos ? npos : end - p));
  }
  return std::string();
}

TCDMergeResult MergeBugReport(std::string_view file, std::string_view report, const TCDSaveRules& rules) {
  TCDMergeResult result;
  if (!rules.Append) {
    result.Text.reserve(report.size() + kSeparator.size());
    result.Text.append(report).append(kSeparator);
    return result;
  }

  std::string kept;
  std::string_view rest = file;
  std::string entry(report);
  std::size_t dupStart = npos, dupEnd = npos;
  if (!file.empty() && !rules.DuplicateKey.empty() &&
      FindDuplicate(file, report, rules.DuplicateKey, dupStart, dupEnd)) {
    uint64_t earlier = CountOf(file.substr(dupStart, dupEnd - dupStart));
    result.Count = earlier == std::numeric_limits<uint64_t>::max() ? earlier : earlier + 1;
    result.DuplicateStart = dupStart;
    result.DuplicateEnd = dupEnd;
    entry = WithCount(report, result.Count);
    kept.reserve(file.size() - (dupEnd - dupStart));
    kept.append(file.substr(0, dupStart)).append(file.substr(dupEnd));
    rest = kept;
  }

  result.CutBytes = CutForLimit(rest, rules.SizeLimit);
  rest.remove_prefix(result.CutBytes);

  result.Text.reserve(rest.size() + kCrLf.size() + entry.size() + kSeparator.size());
  result.Text.append(rest);
  // The next report must start on a line of its own to be found again.
  if (!rest.empty() && !rest.ends_with(kCrLf)) result.Text.append(kCrLf);
  result.Text.append(entry).append(kSeparator);
  return result;
}

TCDSaveRules BugReportSaveRules(std::string_view report, const ICDSettings& settings) {
  TCDSaveRules rules;
  rules.Append = settings.GetAppendBugReps();
  rules.SizeLimit = settings.GetBugRepFileSize();
  std::string crc = BugReportValue(report, "callstack crc");
  if (crc.size() != 31) return rules;
  bool exception = !BugReportValue(report, "exception class").empty();
  bool noDup = exception ? settings.GetNoDupExcepts() : settings.GetNoDupFreezes();
  if (!noDup) return rules;
  int length = exception ? settings.DupExceptKeyLength() : settings.DupFreezeKeyLength();
  rules.DuplicateKey = crc.substr(0, static_cast<std::size_t>(length));
  return rules;
}

std::string ConfiguredBugRepFile(const ICDSettings& settings) { return settings.GetBugRepFile(); }

bool IsRelativeBugRepName(std::string_view name) { return !name.starts_with('/'); }

std::string BugRepPathBesideExecutable(std::string_view name) {
  if (!IsRelativeBugRepName(name)) return std::string(name);
  return TUserFiles::Current().File(name);
}

bool SaveBugReportFile(const std::string& path, std::string_view report, const TCDSaveRules& rules,
                       std::string* problem) {
  // The reason is taken where a step fails: later clean-up may change errno.
  auto fail = [problem] {
    if (problem != nullptr) *problem = std::strerror(errno != 0 ? errno : EIO);
    return false;
  };
  std::string dir = ExtractFilePath(path);
  if (!dir.empty()) {
    std::error_code ec;
    std::filesystem::create_directories(dir, ec);
  }
  const std::string target = FollowLinks(path);
  struct stat st {};
  TFd lock(OpenLockedForReplace(target, kLockWaitMs, st));
  if (lock.fd < 0 || !MayReplace(target, st)) return fail();

  TAtomicFileWriter writer;
  if (!writer.Open(target)) return fail();
  const auto size = static_cast<std::size_t>(st.st_size);
  bool ok;
  if (rules.Append && size > kMaxMergedFile) {
    // Too large to search: keep all of it and add the report.
    std::string tail(2, '\0');
    ok = CopyAll(lock.fd, writer) && ::pread(lock.fd, tail.data(), 2, st.st_size - 2) == 2 &&
         (tail == kCrLf || writer.Write(kCrLf)) && writer.Write(report) && writer.Write(kSeparator);
  } else {
    std::string old;
    ok = (!rules.Append || ReadAll(lock.fd, old, size)) &&
         writer.Write(MergeBugReport(old, report, rules).Text);
  }
  if (!ok) return fail();
  {
    std::function<void()> hook;
    {
      std::lock_guard<std::mutex> guard(HookLock());
      hook = BeforeReplaceHook();
    }
    if (hook) hook();
  }
  return writer.Commit() || fail();
}

std::string BugRepStateFolder() {
  auto below = [](std::string folder, const char* rest) {
    if (!folder.ends_with('/')) folder += '/';
    return folder + rest;
  };
  const char* state = std::getenv("XDG_STATE_HOME");
  if (state != nullptr && state[0] == '/') return below(state, "pinmark");
  const char* home = std::getenv("HOME");
  if (home != nullptr && home[0] == '/') return below(home, ".local/state/pinmark");
  return std::string();
}

TCDSaveOutcome SaveBugReportKeeping(const std::string& path, std::string_view report, const TCDSaveRules& rules) {
  TCDSaveOutcome outcome;
  outcome.MeantFor = path;
  std::string why;
  if (SaveBugReportFile(path, report, rules, &why)) {
    outcome.Path = path;
    return outcome;
  }
  outcome.Elsewhere = true;
  outcome.Problem = why;
  const std::string folder = BugRepStateFolder();
  if (!folder.empty()) {
    const std::string kept = folder + "/" + ExtractFileName(path);
    if (kept != path) {
      // Its own earlier reports stay where they are; the state folder's
      // file collects what could not go there.
      if (SaveBugReportFile(kept, report, rules, &why)) {
        outcome.Path = kept;
        return outcome;
      }
      outcome.Problem += "; " + kept + ": " + why;
    }
  }
  // No file takes it: the console gets it whole, so that it is not lost.
  const std::string text = "\n" + std::string(report) + "\n";
  outcome.ToStandardError = CDWriteAll(STDERR_FILENO, text.data(), text.size());
  return outcome;
}

std::string BugRepRoomProblem(const std::string& path, std::size_t bytes) {
  std::string dir = ExtractFilePath(path);
  if (dir.empty()) dir = ".";
  std::error_code ec;
  std::filesystem::create_directories(dir, ec);
  // A file without a name in the folder, gone when closed: the room a save
  // needs is asked of the file system itself.
  TFd probe(::open(dir.c_str(), O_TMPFILE | O_WRONLY | O_CLOEXEC, 0600));
  if (probe.fd < 0 && (errno == EOPNOTSUPP || errno == EISDIR)) {
    std::string name = dir + "/.bugreport-probe-XXXXXX";
    probe.fd = ::mkstemp(name.data());
    if (probe.fd >= 0) ::unlink(name.c_str());
  }
  if (probe.fd < 0) return std::strerror(errno);
  const int error = ::posix_fallocate(probe.fd, 0, static_cast<off_t>(bytes));
  // Without fallocate the file system has to be asked by writing.
  if (error != 0 && error != EOPNOTSUPP && error != EINVAL) return std::strerror(error);
  return std::string();
}

std::string PlannedSaveText(const ICDDeliverable& exception) {
  const TICDSettings& settings = exception.Settings();
  if (!settings.GetAutoSave() || exception.Saved()) return std::string();
  const std::string path = BugRepPathBesideExecutable(ConfiguredBugRepFile(settings));
  // A file is replaced whole: room for a copy of it plus about what a
  // report needs (the report is still being made).
  auto room = [](const std::string& file) {
    struct stat st {};
    return (std::size_t{64} << 10) + (::stat(file.c_str(), &st) == 0 ? static_cast<std::size_t>(st.st_size) : 0);
  };
  const std::string problem = BugRepRoomProblem(path, room(path));
  if (problem.empty()) return std::string();
  const std::string text = "The bug report cannot be saved to " + path + " (" + problem + ")";
  const std::string folder = BugRepStateFolder();
  if (!folder.empty()) {
    const std::string kept = folder + "/" + ExtractFileName(path);
    if (kept != path && BugRepRoomProblem(kept, room(kept)).empty()) return text + "; it will be saved to " + kept + ".";
  }
  return text + "; it will be written to standard error.";
}

std::string SaveOutcomeText(const TCDSaveOutcome& outcome) {
  if (!outcome.Elsewhere) return std::string();
  const std::string text = "The bug report could not be saved to " + outcome.MeantFor + " (" + outcome.Problem + ")";
  if (outcome.Saved()) return text + "; it was saved to " + outcome.Path + " instead.";
  return text + (outcome.ToStandardError ? "; it was written to standard error." : "; it is lost.");
}

std::string SavedText(const TCDSaveOutcome& outcome) {
  if (outcome.Saved() && !outcome.Elsewhere) return "The bug report was saved to " + outcome.Path + ".";
  return SaveOutcomeText(outcome);
}

bool RemoveSentBugReports(const std::string& path, std::string_view sent) {
  if (sent.empty()) return false;
  struct stat st {};
  if (::stat(path.c_str(), &st) != 0) return false;
  const std::string target = FollowLinks(path);
  TFd lock(OpenLockedForReplace(target, kLockWaitMs, st));
  if (lock.fd < 0) return false;
  std::string content;
  if (static_cast<std::size_t>(st.st_size) > kMaxMergedFile ||
      !ReadAll(lock.fd, content, static_cast<std::size_t>(st.st_size)) || !content.starts_with(sent))
    return false;
  if (content.size() == sent.size()) return ::unlink(target.c_str()) == 0;
  return WriteFileAtomically(target, std::string_view(content).substr(sent.size()));
}

bool SaveBugReport(ICDDeliverable& exception, std::string_view report, const std::string& fileName,
                   std::string* problem) {
  const TICDSettings& settings = exception.Settings();
  std::string configured = BugRepPathBesideExecutable(ConfiguredBugRepFile(settings));
  std::string path = fileName.empty() ? configured : BugRepPathBesideExecutable(fileName);
  if (!SaveBugReportFile(path, report, BugReportSaveRules(report, settings), problem)) return false;
  if (path == configured) exception.SetSaved(true);
  return true;
}

TCDSaveOutcome AutoSaveBugReport(ICDDeliverable& exception, std::string_view report) {
  const TICDSettings& settings = exception.Settings();
  const std::string path = BugRepPathBesideExecutable(ConfiguredBugRepFile(settings));
  TCDSaveOutcome outcome = SaveBugReportKeeping(path, report, BugReportSaveRules(report, settings));
  // Only the configured file holds it with the others: a copy of that file
  // for a mail must still get it.
  if (outcome.Saved() && !outcome.Elsewhere) exception.SetSaved(true);
  return outcome;
}

void SetBugRepBeforeReplaceHook(std::function<void()> hook) {
  std::lock_guard<std::mutex> guard(HookLock());
  BeforeReplaceHook() = std::move(hook);
}
