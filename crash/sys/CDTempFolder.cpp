#include "crash/sys/CDTempFolder.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <map>
#include <mutex>

namespace {

// A folder of ours alone: a real folder (no link), owned by this user, that
// nobody else may enter.
bool OwnPrivateFolder(const std::string& path) {
  struct stat st {};
  return ::lstat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode) && st.st_uid == ::getuid() &&
         (st.st_mode & 077) == 0;
}

std::mutex& Lock() {
  static std::mutex lock;
  return lock;
}
// The folders chosen in place of a usual name that someone else took.
std::map<std::string, std::string>& Replacements() {
  static std::map<std::string, std::string> replacements;
  return replacements;
}

}  // namespace

std::string CDTempFolder() {
  const char* base = std::getenv("TMPDIR");
  std::string folder = (base != nullptr && *base != '\0') ? base : "/tmp";
  while (folder.size() > 1 && folder.back() == '/') folder.pop_back();
  // The user in the name keeps users of a shared /tmp apart.
  folder += "/crashDesk-" + std::to_string(getuid()) + "-" + std::to_string(getpid());
  std::lock_guard<std::mutex> guard(Lock());
  auto replaced = Replacements().find(folder);
  if (replaced != Replacements().end()) {
    ::mkdir(replaced->second.c_str(), 0700);
    return replaced->second;
  }
  ::mkdir(folder.c_str(), 0700);
  if (OwnPrivateFolder(folder)) return folder;
  // The name is taken by something that is not ours (a link, a folder of
  // another user): never write into it, nor clear it. A fresh folder of an
  // unguessable name serves this process instead.
  std::string fresh = folder + "-XXXXXX";
  if (::mkdtemp(fresh.data()) == nullptr) return folder;
  Replacements()[folder] = fresh;
  return fresh;
}

bool ClearCDTempFolder() {
  std::error_code ec;
  const std::string folder = CDTempFolder();
  if (!OwnPrivateFolder(folder)) return false;
  for (const auto& entry : std::filesystem::directory_iterator(folder, ec)) std::filesystem::remove_all(entry.path(), ec);
  return true;
}

void RemoveCDTempFolder() {
  std::error_code ec;
  const std::string folder = CDTempFolder();
  if (OwnPrivateFolder(folder)) std::filesystem::remove_all(folder, ec);
}
