// Runs crashdemo in a child process, offscreen, with its recording presenter
// in place of the box, and collects what it recorded, the bug-report file
// and how it ended. A run that outlives its time-out is killed and reported
// as hung, so that no test can wait forever.
#pragma once

#include <signal.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <fstream>
#include <functional>
#include <map>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "tests/support/TempDir.h"

// One recorded line: "present a=b|c=d" as its kind and fields.
struct DemoLine {
  std::string Kind;
  std::map<std::string, std::string> Fields;
  std::string operator[](const std::string& key) const {
    auto it = Fields.find(key);
    return it == Fields.end() ? std::string() : it->second;
  }
};

struct DemoRun {
  bool Hung = false;
  int ExitCode = -1;  // of crashdemo itself; -1 when it died of a signal
  int Signal = 0;     // the signal it died of
  // Every process that ended: crashdemo, its helpers, programs it started again.
  std::map<pid_t, int> ExitCodes;
  std::vector<DemoLine> Lines;
  std::string BugReport;
  bool BugReportExists = false;

  std::vector<DemoLine> Of(const std::string& kind) const {
    std::vector<DemoLine> out;
    for (const DemoLine& l : Lines)
      if (l.Kind == kind) out.push_back(l);
    return out;
  }
  // The exit code of the process that recorded the line.
  int ExitCodeOf(const DemoLine& line) const {
    auto it = ExitCodes.find(static_cast<pid_t>(std::stoi(line["pid"])));
    return it == ExitCodes.end() ? -2 : it->second;
  }
  // Failures the file records: a report merged with earlier ones of the same
  // failure counts them all ("count").
  int Failures() const {
    int n = 0;
    std::size_t start = 0;
    while (start < BugReport.size()) {
      std::size_t end = BugReport.find("\r\ndate/time ", start);
      if (end == std::string::npos) end = BugReport.size();
      const std::string report = BugReport.substr(start, end - start);
      const std::size_t count = report.find("\r\ncount ");
      n += count == std::string::npos ? 1 : std::stoi(report.substr(report.find(": ", count) + 2));
      start = end + 2;
    }
    return n;
  }
  // Each report begins with its "date/time" line.
  int Reports() const {
    int n = BugReport.rfind("date/time ", 0) == 0 ? 1 : 0;
    for (std::size_t at = BugReport.find("\r\ndate/time "); at != std::string::npos;
         at = BugReport.find("\r\ndate/time ", at + 1))
      ++n;
    return n;
  }
};

inline std::vector<DemoLine> ParseDemoRecord(const std::string& text) {
  std::vector<DemoLine> lines;
  std::istringstream in(text);
  for (std::string line; std::getline(in, line);) {
    DemoLine l;
    const std::size_t space = line.find(' ');
    l.Kind = line.substr(0, space);
    std::istringstream fields(space == std::string::npos ? "" : line.substr(space + 1));
    for (std::string f; std::getline(fields, f, '|');) {
      const std::size_t eq = f.find('=');
      if (eq != std::string::npos) l.Fields[f.substr(0, eq)] = f.substr(eq + 1);
    }
    lines.push_back(l);
  }
  return lines;
}

struct DemoOptions {
  std::string Answers = "continue";
  std::vector<std::string> Env;  // more "NAME=value"
  int TimeoutSeconds = 40;
  bool Exit = true;              // --exit
  // Called while crashdemo runs with what it recorded so far, to act on it
  // from outside as a user or the system would (kill it, take its file away).
  std::function<void(pid_t demo, const std::vector<DemoLine>& lines)> Watch = {};
  std::vector<std::string> Arguments = {};  // after the case and "--now"
  std::string Stderr = {};  // file that gets crashdemo's standard error; empty: none
  // Runs in the child before crashdemo starts (a mount of its own, say);
  // false ends the child with exit code 125 (the test skips then).
  std::function<bool()> InChild = {};
};

// Kills crashdemo (its helpers then become ours) and then every child of
// this process, by id.
// The lines of a report's section, by the start of its name ("main thread ($1f):");
// an empty name gives the first section (the crashed thread's).
inline std::vector<std::string> SectionLines(const std::string& report, const std::string& namePrefix) {
  std::vector<std::string> lines;
  const std::size_t start = report.find("\r\n\r\n" + namePrefix);
  if (start == std::string::npos) return lines;
  const std::size_t end = report.find("\r\n\r\n", start + 4);
  std::istringstream in(report.substr(start + 4, end == std::string::npos ? std::string::npos : end - start - 4));
  for (std::string line; std::getline(in, line);) {
    if (!line.empty() && line.back() == '\r') line.pop_back();
    lines.push_back(line);
  }
  return lines;
}

inline void KillChildren(pid_t demo) {
  kill(demo, SIGKILL);
  std::this_thread::sleep_for(std::chrono::milliseconds(100));
  std::ifstream children("/proc/self/task/" + std::to_string(gettid()) + "/children");
  for (pid_t child; children >> child;) kill(child, SIGKILL);
}

// Runs the crashdemo at exe (a copy, say).
inline DemoRun RunCrashDemoAt(const std::string& exe, const std::string& kind, const DemoOptions& options = {}) {
  // Programs that crashdemo starts again (a restart) become ours when it
  // ends, so that their ends can be awaited too.
  prctl(PR_SET_CHILD_SUBREAPER, 1);
  TempDir dir;
  const std::string record = dir.File("record"), bugReport = dir.File("bugreport.txt");
  const pid_t pid = fork();
  if (pid == 0) {
    setenv("QT_QPA_PLATFORM", "offscreen", 1);
    setenv("CRASHDEMO_RECORD", record.c_str(), 1);
    setenv("CRASHDEMO_BUGREPORT", bugReport.c_str(), 1);
    setenv("CRASHDEMO_ANSWERS", options.Answers.c_str(), 1);
    for (const std::string& e : options.Env) putenv(const_cast<char*>(e.c_str()));
    const char* errors = options.Stderr.empty() ? "/dev/null" : options.Stderr.c_str();
    if (!freopen(errors, "w", stderr) || !freopen("/dev/null", "w", stdout)) _exit(126);
    if (options.InChild && !options.InChild()) _exit(125);
    std::vector<const char*> argv{exe.c_str(), kind.c_str(), "--now"};
    for (const std::string& a : options.Arguments) argv.push_back(a.c_str());
    if (options.Exit) argv.push_back("--exit");
    argv.push_back(nullptr);
    execv(exe.c_str(), const_cast<char* const*>(argv.data()));
    _exit(127);
  }
  DemoRun run;
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(options.TimeoutSeconds);
  // Waits for crashdemo and for whatever it left behind (helpers, restarted
  // programs), until nothing is left or the time is up.
  while (true) {
    int status = 0;
    const pid_t ended = waitpid(-1, &status, WNOHANG);
    if (ended < 0) break;  // nothing left
    if (ended > 0) {
      const int code = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
      run.ExitCodes[ended] = code;
      if (ended == pid) {
        run.ExitCode = code;
        if (WIFSIGNALED(status)) run.Signal = WTERMSIG(status);
      }
      continue;
    }
    if (std::chrono::steady_clock::now() > deadline) {
      run.Hung = true;
      KillChildren(pid);
    }
    if (options.Watch && !run.Hung) options.Watch(pid, ParseDemoRecord(TempDir::Read(record)));
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  run.Lines = ParseDemoRecord(TempDir::Read(record));
  run.BugReportExists = access(bugReport.c_str(), F_OK) == 0;
  run.BugReport = TempDir::Read(bugReport);
  return run;
}

inline DemoRun RunCrashDemo(const std::string& kind, const DemoOptions& options = {}) {
  return RunCrashDemoAt(CRASHDEMO_PATH, kind, options);
}
