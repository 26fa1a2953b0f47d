#include "crash/handling/CDConsoleReport.h"

#include <pthread.h>
#include <signal.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <ctime>

#include "crash/capture/CDSafeText.h"

namespace {
std::atomic<int> consoleOutput{STDOUT_FILENO};
}  // namespace

void SetCDConsoleOutput(int fd) { consoleOutput.store(fd); }

int CDConsoleOutput() { return consoleOutput.load(); }

void WriteConsoleReport(std::string_view message, std::string_view report) {
  // A console that has gone (a closed pipe, a log reader that ended) must not
  // end the process: SIGPIPE stays blocked for the writes, and one they
  // raised is taken back before the mask is restored.
  sigset_t pipeOnly, before, pending;
  sigemptyset(&pipeOnly);
  sigaddset(&pipeOnly, SIGPIPE);
  pthread_sigmask(SIG_BLOCK, &pipeOnly, &before);
  sigpending(&pending);
  const bool pendingBefore = sigismember(&pending, SIGPIPE) == 1;

  const int fd = consoleOutput.load();
  bool open = CDWriteAll(fd, message.data(), message.size());
  if (open && !report.empty()) open = CDWriteAll(fd, "\n\n", 2) && CDWriteAll(fd, report.data(), report.size());
  if (open) CDWriteAll(fd, "\n", 1);

  sigpending(&pending);
  if (!pendingBefore && sigismember(&pending, SIGPIPE) == 1) {
    const timespec now{0, 0};
    while (sigtimedwait(&pipeOnly, nullptr, &now) < 0 && errno == EINTR) {
    }
  }
  pthread_sigmask(SIG_SETMASK, &before, nullptr);
}
