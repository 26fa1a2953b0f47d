#include "crash/handling/CDConsoleReport.h"

#include <unistd.h>

#include <atomic>

#include "crash/capture/CDSafeText.h"

namespace {
std::atomic<int> consoleOutput{STDOUT_FILENO};
}  // namespace

void SetCDConsoleOutput(int fd) { consoleOutput.store(fd); }

int CDConsoleOutput() { return consoleOutput.load(); }

void WriteConsoleReport(std::string_view message, std::string_view report) {
  const int fd = consoleOutput.load();
  CDWriteAll(fd, message.data(), message.size());
  if (!report.empty()) {
    CDWriteAll(fd, "\n\n", 2);
    CDWriteAll(fd, report.data(), report.size());
  }
  CDWriteAll(fd, "\n", 1);
}
