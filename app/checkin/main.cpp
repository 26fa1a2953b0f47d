// pinmark-checkin: Pinmark's check-in without windows, for servers, cron and
// systemd.
//
//   pinmark-checkin [--ini FILE] [--every MINUTES]
//   pinmark-checkin [--ini FILE] --timer-period
//
// It reads the settings file of the Pinmark program beside it (or FILE) and
// runs the very check-in of the window: the same request, the same records in
// the file. It prints the address and exits 0; a failure prints the
// exception's class and message on standard error and exits 1; bad usage
// exits 2. With --every it checks in again a full period after each run ends
// until SIGTERM or SIGINT, which end it between runs with exit code 0. A stop
// during a run ends that run within moments, though never in the middle of a
// write to the settings file, and ends the program by that signal, as if it
// had not been caught, so that the caller sees it was stopped.
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
#include <exception>
#include <memory>
#include <optional>
#include <string>
#include <thread>
#include <typeinfo>

#include "app/CheckIn.h"
#include "crash/handling/CDStartup.h"
#include "runtime/Exception.h"
#include "runtime/IniFile.h"
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
};

std::string DefaultSettingsFile() {
  // The window's settings: those of the Pinmark executable beside this one.
  return SettingsFileOf(ExtractFilePath(ApplicationExeName()) + "Pinmark");
}

void PrintUsage(std::FILE* to) {
  std::fprintf(to,
               "usage: pinmark-checkin [--ini FILE] [--every MINUTES]\n"
               "       pinmark-checkin [--ini FILE] --timer-period\n"
               "Checks in with the Pinmark service as the Pinmark window does and prints the\n"
               "address; a failure prints \"Class: message\" on standard error and exits 1.\n"
               "  --ini FILE        the settings file (default: %s)\n"
               "  --every MINUTES   check in again MINUTES after each run until SIGTERM or SIGINT\n"
               "  --timer-period    print pinmark-checkin.timer's period from the settings'\n"
               "                    Refresh, as a systemd drop-in; changes nothing\n"
               "  --help            this text\n",
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
void StartCrashReporter() { TCDStartup::Start(TCDStartupOptions{.ConsoleOutput = STDERR_FILENO}); }

// Stops the crash reporter when main returns, whichever way.
struct TCrashReporterStop {
  TCrashReporterStop() = default;
  TCrashReporterStop(const TCrashReporterStop&) = delete;
  TCrashReporterStop& operator=(const TCrashReporterStop&) = delete;
  ~TCrashReporterStop() { TCDStartup::Stop(); }
};

// "Class: message" on standard error; our exceptions name their class, any
// other one is named by its type.
void PrintFailure(std::exception_ptr error) {
  try {
    std::rethrow_exception(error);
  } catch (const Exception& e) {
    std::fprintf(stderr, "%s: %s\n", e.ClassName(), e.Message().c_str());
  } catch (const std::exception& e) {
    int status = 0;
    std::unique_ptr<char, void (*)(void*)> name(abi::__cxa_demangle(typeid(e).name(), nullptr, nullptr, &status),
                                                std::free);
    std::fprintf(stderr, "%s: %s\n", status == 0 && name ? name.get() : typeid(e).name(), e.what());
  }
  std::fflush(stderr);
}

// The drop-in that gives pinmark-checkin.timer the period of Refresh, as the
// window's timer has it: minutes × 60 000 ms in 32 bits, 0 meaning no
// periodic check-in (the timer then only runs the first one).
std::string TimerDropIn(const std::string& file, uint32_t intervalMs) {
  std::string text = "# From Refresh in " + file + "\n[Timer]\nOnUnitActiveSec=\n";
  if (intervalMs != 0) text += "OnUnitActiveSec=" + std::to_string(intervalMs) + "ms\n";
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
  try {
    const std::string address = checkIn.Run();
    // A stop that comes now finds the address either printed whole or not at all.
    const std::lock_guard<std::mutex> printing(checkIn.WriteLock());
    // An address that could not be written out is no success for the caller.
    if (std::printf("%s\n", address.c_str()) < 0 || std::fflush(stdout) != 0) {
      std::fprintf(stderr, "pinmark-checkin: cannot write the address to standard output\n");
      return false;
    }
    return true;
  } catch (...) {
    PrintFailure(std::current_exception());
    return false;
  }
}
// Ends the program by the stop signal that came, with its default action,
// as if it had never been blocked: a shell reports 128 + the signal's number,
// systemd a clean stop.
[[noreturn]] void EndBySignal(int sig) {
  std::fprintf(stderr, "pinmark-checkin: stopped by SIG%s during a check-in\n", sigabbrev_np(sig));
  std::fflush(stderr);
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

  StartCrashReporter();
  const TCrashReporterStop stopCrashReporter;
  // Where the settings and bug reports live is decided once, here.
  const TUserFiles& userFiles = TUserFiles::Current();

  std::string problem;
  const std::optional<TOptions> options = ParseArguments(argc, argv, problem);
  if (!options) {
    std::fprintf(stderr, "pinmark-checkin: %s\n", problem.c_str());
    PrintUsage(stderr);
    return 2;
  }
  if (options->Help) {
    PrintUsage(stdout);
    return 0;
  }
  const std::string file = options->Ini.empty() ? DefaultSettingsFile() : options->Ini;

  try {
    if (options->TimerPeriod) {
      // Only reads: systemd asks for it, and it must not make files.
      TIniFile ini(file);
      std::printf("%s", TimerDropIn(file, RefreshIntervalMs(ReadRefreshPeriod(ini))).c_str());
      return std::fflush(stdout) == 0 ? 0 : 1;
    }
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
