#include "runtime/UserFiles.h"

#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <vector>

#include "runtime/SysUtils.h"

namespace {
constexpr char kFolderName[] = "pinmark";

// An absolute path without its trailing slashes ("/" stays "/").
std::string WithoutTrailingSlash(std::string path) {
  while (path.size() > 1 && path.back() == '/') path.pop_back();
  return path;
}

std::string HomeFolder() {
  if (const char* home = std::getenv("HOME"); home != nullptr && *home == '/') return home;
  // A service started without a login environment may lack $HOME.
  long size = ::sysconf(_SC_GETPW_R_SIZE_MAX);
  std::vector<char> buffer(size > 0 ? static_cast<std::size_t>(size) : 16384);
  passwd entry{};
  passwd* found = nullptr;
  if (::getpwuid_r(::geteuid(), &entry, buffer.data(), buffer.size(), &found) == 0 && found != nullptr &&
      found->pw_dir != nullptr)
    return found->pw_dir;
  return std::string();
}
}  // namespace

TUserFiles TUserFiles::Choose(const TFacts& facts) {
  if (facts.ExeFolderWritable && (facts.Build || facts.Portable)) return TUserFiles(facts.ExeFolder, true);
  std::string base;
  if (facts.XdgConfigHome.starts_with('/'))
    base = facts.XdgConfigHome;
  else if (facts.Home.starts_with('/'))
    base = WithoutTrailingSlash(facts.Home) + "/.config";
  else
    return TUserFiles(facts.ExeFolder, true);
  base = WithoutTrailingSlash(base);
  if (base != "/") base += '/';
  return TUserFiles(base + kFolderName + "/", false);
}

bool TUserFiles::IsWritableFolder(const std::string& folder) {
  // Package managers own what is below /usr; a program run from there by
  // root must not leave its files among them.
  if (folder.starts_with("/usr/")) return false;
  struct stat st {};
  if (::stat(folder.c_str(), &st) != 0 || !S_ISDIR(st.st_mode)) return false;
  if ((st.st_mode & (S_IWUSR | S_IWGRP | S_IWOTH)) == 0) return false;
  return ::access(folder.c_str(), W_OK) == 0;
}

const TUserFiles& TUserFiles::Current() {
  static const TUserFiles current = [] {
    TFacts facts;
    facts.ExeFolder = ExtractFilePath(ApplicationExeName());
    facts.ExeFolderWritable = IsWritableFolder(facts.ExeFolder);
    if (const char* xdg = std::getenv("XDG_CONFIG_HOME")) facts.XdgConfigHome = xdg;
    facts.Home = HomeFolder();
    // Binaries of a build land in <build>/bin and its tests in <build>/tests.
    facts.Build = ::access((facts.ExeFolder + "../CMakeCache.txt").c_str(), F_OK) == 0;
    facts.Portable = ::access((facts.ExeFolder + "Pinmark.ini").c_str(), F_OK) == 0;
    return Choose(facts);
  }();
  return current;
}

bool TUserFiles::CreateFolder() const {
  if (besideExecutable_) return true;
  // Each missing folder on the way is made for the user alone, as the XDG
  // rules ask of a configuration folder that a program creates.
  for (std::size_t slash = folder_.find('/', 1); slash != std::string::npos; slash = folder_.find('/', slash + 1)) {
    const std::string part = folder_.substr(0, slash);
    if (::mkdir(part.c_str(), 0700) != 0 && errno != EEXIST) return false;
  }
  struct stat st {};
  if (::stat(folder_.c_str(), &st) != 0) return false;
  if (!S_ISDIR(st.st_mode)) {
    errno = ENOTDIR;
    return false;
  }
  return true;
}
