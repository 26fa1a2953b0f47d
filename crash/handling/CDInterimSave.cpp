#include "crash/handling/CDInterimSave.h"

#include <fcntl.h>
#include <unistd.h>

#include <filesystem>

#include "crash/capture/CDSafeText.h"
#include "runtime/SysUtils.h"

std::string InterimBugReportPath(const ICDSettings& settings) {
  std::string name = settings.GetBugRepFile();
  if (name.empty()) name = "bugreport.txt";
  if (name.front() != '/') name = ExtractFilePath(ApplicationExeName()) + name;
  return name;
}

bool InterimSaveBugReport(ICDException& e) {
  e.CompleteReport();
  const std::string path = InterimBugReportPath(e.Settings());
  std::error_code ec;
  std::filesystem::create_directories(std::filesystem::path(path).parent_path(), ec);
  const int flags = O_WRONLY | O_CREAT | O_CLOEXEC | (e.Settings().GetAppendBugReps() ? O_APPEND : O_TRUNC);
  const int fd = ::open(path.c_str(), flags, 0644);
  if (fd < 0) return false;
  const std::string text = e.Report().Text() + "\r\n\r\n";
  const bool ok = CDWriteAll(fd, text.data(), text.size()) && ::fsync(fd) == 0;
  ::close(fd);
  if (ok) e.SetSaved(true);
  return ok;
}
