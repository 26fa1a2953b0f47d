#include "crash/delivery/CDTempFolder.h"

#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <map>
#include <mutex>

#include "crash/capture/CDProcessEnd.h"

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

std::string TempBase() {
  const char* base = std::getenv("TMPDIR");
  std::string folder = (base != nullptr && *base != '\0') ? base : "/tmp";
  while (folder.size() > 1 && folder.back() == '/') folder.pop_back();
  return folder;
}

// A decimal number no greater than limit, digits only (no sign, no blanks).
bool ParseNumber(std::string_view text, uint64_t limit, uint64_t& value) {
  if (text.empty() || text.size() > 10) return false;
  value = 0;
  for (char c : text) {
    if (c < '0' || c > '9') return false;
    value = value * 10 + static_cast<uint64_t>(c - '0');
  }
  return value <= limit;
}

}  // namespace

bool ParseCDTempFolderName(std::string_view name, uid_t& uid, pid_t& pid) {
  constexpr std::string_view kPrefix = "crashDesk-";
  if (!name.starts_with(kPrefix)) return false;
  name.remove_prefix(kPrefix.size());
  const std::size_t dash = name.find('-');
  if (dash == std::string_view::npos) return false;
  std::string_view pidText = name.substr(dash + 1);
  const std::size_t fresh = pidText.find('-');
  if (fresh != std::string_view::npos) {
    // mkdtemp's six characters.
    if (pidText.size() - fresh - 1 != 6) return false;
    pidText = pidText.substr(0, fresh);
  }
  uint64_t u = 0, p = 0;
  if (!ParseNumber(name.substr(0, dash), UINT32_MAX, u) || !ParseNumber(pidText, INT32_MAX, p) || p == 0)
    return false;
  uid = static_cast<uid_t>(u);
  pid = static_cast<pid_t>(p);
  return true;
}

int SweepCDTempFolders() {
  int removed = 0;
  std::error_code ec;
  for (const auto& entry : std::filesystem::directory_iterator(TempBase(), ec)) {
    uid_t uid = 0;
    pid_t pid = 0;
    if (!ParseCDTempFolderName(entry.path().filename().string(), uid, pid)) continue;
    if (uid != ::getuid() || pid == ::getpid()) continue;
    // Still running, or not ours to judge: it stays.
    if (::kill(pid, 0) == 0 || errno != ESRCH) continue;
    if (!OwnPrivateFolder(entry.path().string())) continue;
    std::error_code removeError;
    if (std::filesystem::remove_all(entry.path(), removeError) > 0 && !removeError) ++removed;
  }
  return removed;
}

std::string CDTempFolder() {
  std::string folder = TempBase();
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
  // A mail program may still read attachments from it: the next start's
  // sweep takes it.
  if (TCDProcessEnd::TempFolderKept()) return;
  std::error_code ec;
  const std::string folder = CDTempFolder();
  if (OwnPrivateFolder(folder)) std::filesystem::remove_all(folder, ec);
}
