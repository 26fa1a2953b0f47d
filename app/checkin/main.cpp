// pinmark-checkin: Pinmark's check-in without windows, for servers, cron and
// systemd.
//
//   pinmark-checkin [--ini FILE] [--every MINUTES]
//   pinmark-checkin [--ini FILE] --timer-period
//   pinmark-checkin --help | --version
//
// It reads the settings file of the Pinmark program beside it (or FILE) and
// runs the very check-in of the window: the same request, the same records in
// the file. It prints the address and exits 0; with IPv6 on, a second line
// follows with the IPv6 address or "none: REASON" (an IPv6 exchange that
// found no route, no address or no service changes no exit code; one the
// service refused does), and with the URL an IPv6 literal the first line is
// "none: ..." and the exit code that of the one exchange, over IPv6. A
// failure prints the exception's class and message on standard error and
// exits 1, and so do a damaged executable and an account without a name or
// password (which sends nothing and makes no file); bad usage exits 2. When
// standard error is the journal, its lines carry their syslog priority. With
// --every it checks in again a full period after each run ends until SIGTERM
// or SIGINT, which end it between runs with exit code 0. A stop during a run ends that run within
// moments, though never in the middle of a write to the settings file, and
// ends the program by that signal, as if it had not been caught, so that the
// caller sees it was stopped.
#include <cxxabi.h>
#include <poll.h>
#include <signal.h>
#include <string.h>
#include <sys/eventfd.h>
#include <sys/signalfd.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <memory>
#include <optional>
#include <string>
#include <thread>
#include <typeinfo>
#include <vector>

#include "app/CheckIn.h"
#include "crash/CrashReporter.h"
#include "crash/settings/CDMessageBox.h"
#include "crash/settings/CDSettingsRegistry.h"
#include "runtime/Exception.h"
#include "runtime/IniFile.h"
#include "runtime/JournalLog.h"
#include "runtime/SysUtils.h"
#include "runtime/UserFiles.h"
#include "settings/uPinmarkIni.h"

namespace {
using Clock = std::chrono::steady_clock;

// A year: far beyond any sensible period, and far within the clock's range.
constexpr int64_t kMaxEvery = 365 * 24 * 60;

struct TOptions {
  std::string Ini;    // empty: the Pinmark program's own
  int64_t Every = 0;  // minutes between runs; 0: one run
  bool TimerPeriod = false;
  bool Help = false;
  bool Version = false;
};

// One line on standard error, with its priority when that is the journal.
void Report(TLogPriority priority, const std::string& text) { LogLine(STDERR_FILENO, priority, text); }

std::string DefaultSettingsFile() {
  // The window's settings: those of the Pinmark executable beside this one.
  return PinmarkSettingsFile(ApplicationExeName());
}

void PrintUsage(std::FILE* to) {
  std::fprintf(to,
               "usage: pinmark-checkin [--ini FILE] [--every MINUTES]\n"
               "       pinmark-checkin [--ini FILE] --timer-period\n"
               "       pinmark-checkin --help | --version\n"
               "Checks in with the Pinmark service as the Pinmark window does and prints the\n"
               "address, and with [Program] IPv6=1 a second line: the IPv6 address or\n"
               "\"none: REASON\"; a failure prints \"Class: message\" on standard error and\n"
               "exits 1.\n"
               "  --ini FILE        the settings file (default: %s)\n"
               "  --every MINUTES   check in again MINUTES after each run until SIGTERM or SIGINT\n"
               "  --timer-period    print pinmark-checkin.timer's period from the settings'\n"
               "                    Refresh, as a systemd drop-in; changes nothing\n"
               "  --help            this text\n"
               "  --version         the program's name and version\n",
               DefaultSettingsFile().c_str());
}

// Nullopt for bad usage, with what was wrong in problem.
std::optional<TOptions> ParseArguments(int argc, char** argv, std::string& problem) {
  TOptions options;
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    const bool hasValue = i + 1 < argc;
    if (arg == "--ini" && hasValue) {
      options.Ini = argv[++i];
      if (options.Ini.empty()) problem = "--ini takes a file name";
    } else if (arg == "--every" && hasValue) {
      if (!TryDecimalToInt64(argv[++i], options.Every) || options.Every <= 0 || options.Every > kMaxEvery)
        problem = "--every takes whole minutes from 1 to " + std::to_string(kMaxEvery);
    } else if (arg == "--timer-period") {
      options.TimerPeriod = true;
    } else if (arg == "--help") {
      options.Help = true;
    } else if (arg == "--version") {
      options.Version = true;
    } else {
      problem = "unknown or incomplete argument " + arg;
    }
    if (!problem.empty()) return std::nullopt;
  }
  if (options.TimerPeriod && options.Every > 0) {
    problem = "--timer-period and --every do not go together";
    return std::nullopt;
  }
  return options;
}

// The crash reporter, without windows: a crash (a fatal signal, an exception
// that leaves a thread, std::terminate) is reported on standard error, where
// a script reading the address from standard output does not take it for
// one, and appended to the bug-report file. Its threads are made here, so
// they inherit the blocked stop signals.
void StartCrashReporter() { ::StartCrashReporter(TCrashReporterOptions{.ConsoleOutput = STDERR_FILENO}); }

// Stops the crash reporter when main returns, whichever way.
struct TCrashReporterStop {
  TCrashReporterStop() = default;
  TCrashReporterStop(const TCrashReporterStop&) = delete;
  TCrashReporterStop& operator=(const TCrashReporterStop&) = delete;
  ~TCrashReporterStop() { StopCrashReporter(); }
};

// The crash reporter's check of the executable ends a damaged copy with exit
// code 0 after its box: right for the window, whose user read the box, but
// cron and systemd would record a success. Its one box here is that message,
// so the box becomes an error line and the exit code 1. It runs before the
// crash reporter starts (which then does not read the good file again).
void EndIfDamaged() {
  InitMainModuleSettings();
  const TCDMessageBoxHook previous = SetCDMessageBoxHook([](const std::string&, const std::string& text, TCDMsgIcon) {
    Report(TLogPriority::Error, text);
    ::_exit(1);
  });
  CheckFileCrc();
  SetCDMessageBoxHook(previous);
}

// "Class: message" as one line on standard error (a message's own line break
// becomes one blank); our exceptions name their class, any other one is named
// by its type.
void PrintFailure(std::exception_ptr error) {
  try {
    std::rethrow_exception(error);
  } catch (const Exception& e) {
    Report(TLogPriority::Error, std::string(e.ClassName()) + ": " + ReplaceAll(e.Message(), "\r\n", " "));
  } catch (const std::exception& e) {
    int status = 0;
    std::unique_ptr<char, void (*)(void*)> name(abi::__cxa_demangle(typeid(e).name(), nullptr, nullptr, &status),
                                                std::free);
    Report(TLogPriority::Error, std::string(status == 0 && name ? name.get() : typeid(e).name()) + ": " + e.what());
  }
}

// Why the account in file cannot check in, or empty when it can, judged as
// the window judges it. Only reads: a file that is not there stays absent.
std::string AccountProblem(const std::string& file) {
  if (::access(file.c_str(), F_OK) == 0 && ::access(file.c_str(), R_OK) != 0)
    return "cannot read " + file + ": " + std::strerror(errno);
  TIniFile ini(file);
  if (ReadAccountComplete(ini)) return std::string();
  return "The account is incomplete: set the name and password in Pinmark's Options (or [User] in " + file + ").";
}

// Refresh as a timer period: 0 means no periodic check-in, as in the window;
// a period outside 1 minute to a year would wrap the window's 32-bit
// milliseconds (a negative one to some 49 days), so it is refused for 60.
struct TTimerRefresh {
  int32_t Minutes;
  std::string Problem;  // empty when Refresh was taken as it is
};
TTimerRefresh TimerRefresh(int32_t refresh, const std::string& file) {
  if (refresh >= 0 && refresh <= kMaxEvery) return {refresh, std::string()};
  return {60, "Refresh=" + std::to_string(refresh) + " in " + file + " is outside 1 to " + std::to_string(kMaxEvery) +
                  " minutes; using 60"};
}

// The drop-in that gives pinmark-checkin.timer the period of Refresh:
// minutes × 60 000 ms, 0 meaning no periodic check-in (the timer then only
// runs the first one). systemd counts in 64 bits, so a year does not wrap.
std::string TimerDropIn(const std::string& file, const TTimerRefresh& refresh) {
  std::string text = "# From Refresh in " + file + "\n";
  if (!refresh.Problem.empty()) text += "# " + refresh.Problem + "\n";
  text += "[Timer]\nOnUnitActiveSec=\n";
  if (refresh.Minutes != 0) text += "OnUnitActiveSec=" + std::to_string(int64_t{refresh.Minutes} * 60000) + "ms\n";
  return text;
}

// Waits until `until` unless a stop signal comes first; true when one came.
// The signals are blocked, so one that came during a run is taken here.
bool WaitForStop(const sigset_t& stops, Clock::time_point until) {
  for (;;) {
    const auto left = until - Clock::now();
    if (left <= Clock::duration::zero()) return false;
    const auto seconds = std::chrono::duration_cast<std::chrono::seconds>(left);
    const auto nanos = std::chrono::duration_cast<std::chrono::nanoseconds>(left - seconds);
    const timespec wait{static_cast<time_t>(seconds.count()), static_cast<long>(nanos.count())};
    if (::sigtimedwait(&stops, nullptr, &wait) > 0) return true;
    // EAGAIN (the time is up, looked at again above) or EINTR: go round.
  }
}

bool RunOnce(TCheckIn& checkIn) {
  std::vector<TFamilyAddress> lines;
  checkIn.OnAddress = [&lines](const TFamilyAddress& address) { lines.push_back(address); };
  checkIn.OnIPv6Address = checkIn.OnAddress;
  std::exception_ptr failure;
  try {
    checkIn.Run();
  } catch (...) {
    // The IPv4 line still goes out when the IPv6 exchange after it raised.
    failure = std::current_exception();
  }
  // A stop that comes now finds the lines either printed whole or not at all.
  const std::lock_guard<std::mutex> printing(checkIn.WriteLock());
  bool printed = true;
  for (const TFamilyAddress& line : lines)
    if (std::printf("%s\n", line.Text().c_str()) < 0) printed = false;
  if (std::fflush(stdout) != 0) printed = false;
  if (failure) {
    PrintFailure(failure);
    return false;
  }
  // An address that could not be written out is no success for the caller.
  if (!printed) Report(TLogPriority::Error, "pinmark-checkin: cannot write the address to standard output");
  return printed;
}

// Ends the program by the stop signal that came, with its default action,
// as if it had never been blocked: a shell reports 128 + the signal's number,
// systemd a clean stop.
[[noreturn]] void EndBySignal(int sig) {
  Report(TLogPriority::Warning, std::string("pinmark-checkin: stopped by SIG") + sigabbrev_np(sig) + " during a check-in");
  ::signal(sig, SIG_DFL);
  sigset_t only;
  sigemptyset(&only);
  sigaddset(&only, sig);
  ::pthread_sigmask(SIG_UNBLOCK, &only, nullptr);
  ::raise(sig);
  ::_exit(128 + sig);
}

// One run on a thread of its own while this one waits for a stop signal: the
// exchange may be waiting on the network, and only ending the program ends
// that wait at once. The run's writes to the settings file are whole either
// way; the check-in's write lock is taken before the program ends, and never
// given back.
bool RunStoppable(TCheckIn& checkIn, const sigset_t& stops) {
  const int stopFd = ::signalfd(-1, &stops, SFD_CLOEXEC);
  const int doneFd = ::eventfd(0, EFD_CLOEXEC);
  if (stopFd < 0 || doneFd < 0) {
    // Without them the run still ends, by its deadline; a stop waits for it.
    if (stopFd >= 0) ::close(stopFd);
    if (doneFd >= 0) ::close(doneFd);
    return RunOnce(checkIn);
  }
  bool ok = false;
  std::thread run([&] {
    ok = RunOnce(checkIn);
    const uint64_t one = 1;
    (void)!::write(doneFd, &one, sizeof one);
  });
  for (;;) {
    pollfd fds[2] = {{doneFd, POLLIN, 0}, {stopFd, POLLIN, 0}};
    if (::poll(fds, 2, -1) < 0) {
      if (errno == EINTR) continue;
      break;  // then the run is waited for; its deadline ends it
    }
    if (fds[0].revents != 0) break;
    signalfd_siginfo info{};
    if (::read(stopFd, &info, sizeof info) == static_cast<ssize_t>(sizeof info)) {
      checkIn.WriteLock().lock();
      EndBySignal(static_cast<int>(info.ssi_signo));
    }
  }
  run.join();
  ::close(stopFd);
  ::close(doneFd);
  return ok;
}
}  // namespace

int main(int argc, char** argv) {
  // Blocked before any thread exists, so that no thread takes them: this
  // thread alone waits for them, between runs and while a run goes on.
  sigset_t stops;
  sigemptyset(&stops);
  sigaddset(&stops, SIGTERM);
  sigaddset(&stops, SIGINT);
  ::pthread_sigmask(SIG_BLOCK, &stops, nullptr);

  EndIfDamaged();
  StartCrashReporter();
  const TCrashReporterStop stopCrashReporter;
  // Where the settings and bug reports live is decided once, here.
  const TUserFiles& userFiles = TUserFiles::Current();

  std::string problem;
  const std::optional<TOptions> options = ParseArguments(argc, argv, problem);
  if (!options) {
    Report(TLogPriority::Error, "pinmark-checkin: " + problem);
    PrintUsage(stderr);
    return 2;
  }
  if (options->Help) {
    PrintUsage(stdout);
    return std::fflush(stdout) == 0 ? 0 : 1;
  }
  if (options->Version) {
    std::printf("pinmark-checkin %s\n", PINMARK_VERSION);
    return std::fflush(stdout) == 0 ? 0 : 1;
  }
  const std::string file = options->Ini.empty() ? DefaultSettingsFile() : options->Ini;

  try {
    if (options->TimerPeriod) {
      // Only reads: systemd asks for it, and it must not make files.
      TIniFile ini(file);
      const TTimerRefresh refresh = TimerRefresh(ReadRefreshPeriod(ini), file);
      if (!refresh.Problem.empty()) Report(TLogPriority::Warning, "pinmark-checkin: " + refresh.Problem);
      std::printf("%s", TimerDropIn(file, refresh).c_str());
      return std::fflush(stdout) == 0 ? 0 : 1;
    }
    // Nothing is sent and no file is made for an account that cannot check in.
    if (const std::string account = AccountProblem(file); !account.empty()) {
      Report(TLogPriority::Error, account);
      return 1;
    }
    if (const std::string warning = SettingsExposureWarning(file); !warning.empty())
      Report(TLogPriority::Warning, "pinmark-checkin: " + warning);
    if (options->Ini.empty()) userFiles.CreateFolder();
    TIniPinmark settings(file);
    TCheckIn checkIn(settings);
    if (options->Every == 0) return RunStoppable(checkIn, stops) ? 0 : 1;

    const auto period = std::chrono::minutes(options->Every);
    for (;;) {
      RunStoppable(checkIn, stops);
      if (WaitForStop(stops, Clock::now() + period)) return 0;
    }
  } catch (...) {
    PrintFailure(std::current_exception());
    return 1;
  }
}
