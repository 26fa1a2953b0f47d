#include "crash/sys/CDTempFolder.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>

std::string CDTempFolder() {
  const char* base = std::getenv("TMPDIR");
  std::string folder = (base != nullptr && *base != '\0') ? base : "/tmp";
  while (folder.size() > 1 && folder.back() == '/') folder.pop_back();
  // The user in the name keeps users of a shared /tmp apart.
  folder += "/crashDesk-" + std::to_string(getuid()) + "-" + std::to_string(getpid());
  ::mkdir(folder.c_str(), 0700);
  return folder;
}

bool ClearCDTempFolder() {
  std::error_code ec;
  const std::filesystem::path folder = CDTempFolder();
  std::filesystem::create_directories(folder, ec);
  if (!std::filesystem::is_directory(folder, ec)) return false;
  for (const auto& entry : std::filesystem::directory_iterator(folder, ec)) std::filesystem::remove_all(entry.path(), ec);
  return true;
}

void RemoveCDTempFolder() {
  std::error_code ec;
  std::filesystem::remove_all(CDTempFolder(), ec);
}
