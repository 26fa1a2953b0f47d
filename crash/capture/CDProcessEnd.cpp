#include "crash/capture/CDProcessEnd.h"

#include <dirent.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstring>
#include <iterator>

#include "crash/capture/CDProcessStart.h"
#include "crash/capture/CDSignalHandler.h"

namespace {

char tempFolder[4096];
std::atomic<bool> haveFolder{false};
std::atomic<bool> keepFolder{false};

constexpr int kTerminationSignals[] = {SIGTERM, SIGINT, SIGHUP};
bool terminationTaken[std::size(kTerminationSignals)] = {};

// Folders deeper than this are not ours: the temporary folder holds files
// and one level of send folders.
constexpr int kMaxDepth = 8;

struct TLinuxDirent64 {
  uint64_t Ino;
  int64_t Off;
  unsigned short Reclen;
  unsigned char Type;
  char Name[1];
};

bool IsDotName(const char* name) { return name[0] == '.' && (name[1] == '\0' || (name[1] == '.' && name[2] == '\0')); }

// Removes everything inside the folder open as fd.
bool EmptyFolder(int fd, int depth) {
  bool ok = true;
  // Entries removed while a listing is read may shift it: read it again
  // until a whole pass finds nothing left.
  for (int pass = 0; pass < 16; ++pass) {
    if (lseek(fd, 0, SEEK_SET) < 0) return false;
    bool found = false;
    alignas(8) char buffer[1024];
    while (true) {
      const long n = syscall(SYS_getdents64, fd, buffer, sizeof buffer);
      if (n < 0 && errno == EINTR) continue;
      if (n <= 0) break;
      for (long at = 0; at < n;) {
        const auto* entry = reinterpret_cast<const TLinuxDirent64*>(buffer + at);
        at += entry->Reclen;
        if (IsDotName(entry->Name)) continue;
        found = true;
        if (unlinkat(fd, entry->Name, 0) == 0 || errno == ENOENT) continue;
        if (errno != EISDIR || depth >= kMaxDepth) {
          ok = false;
          continue;
        }
        const int sub = openat(fd, entry->Name, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
        if (sub < 0) {
          ok = false;
          continue;
        }
        ok = EmptyFolder(sub, depth + 1) && ok;
        close(sub);
        if (unlinkat(fd, entry->Name, AT_REMOVEDIR) != 0 && errno != ENOENT) ok = false;
      }
    }
    if (!found) return ok;
    if (!ok) return false;
  }
  return false;
}

void OnTermination(int signal) {
  TCDProcessEnd::CleanUp();
  DieOfSignal(signal);
}

}  // namespace

bool CDRemoveTree(const char* path) {
  const int fd = open(path, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
  if (fd < 0) return errno == ENOENT;
  const bool emptied = EmptyFolder(fd, 1);
  close(fd);
  return emptied && (rmdir(path) == 0 || errno == ENOENT);
}

void TCDProcessEnd::SetTempFolder(const std::string& path) {
  haveFolder.store(false);
  if (path.empty() || path.size() >= sizeof tempFolder) return;
  std::memcpy(tempFolder, path.c_str(), path.size() + 1);
  haveFolder.store(true);
}

void TCDProcessEnd::KeepTempFolder() { keepFolder.store(true); }

bool TCDProcessEnd::TempFolderKept() { return keepFolder.load(); }

void TCDProcessEnd::CleanUp() {
  if (!haveFolder.load() || keepFolder.load()) return;
  CDRemoveTree(tempFolder);
}

void TCDProcessEnd::InstallTerminationHandlers() {
  for (std::size_t i = 0; i < std::size(kTerminationSignals); ++i) {
    if (terminationTaken[i]) continue;
    struct sigaction now {};
    if (sigaction(kTerminationSignals[i], nullptr, &now) != 0) continue;
    if ((now.sa_flags & SA_SIGINFO) != 0 || now.sa_handler != SIG_DFL) continue;
    struct sigaction action {};
    action.sa_handler = OnTermination;
    sigemptyset(&action.sa_mask);
    if (sigaction(kTerminationSignals[i], &action, nullptr) != 0) continue;
    terminationTaken[i] = true;
    NoteTakenSignal(kTerminationSignals[i]);
  }
}

void TCDProcessEnd::RemoveTerminationHandlers() {
  for (std::size_t i = 0; i < std::size(kTerminationSignals); ++i) {
    if (!terminationTaken[i]) continue;
    terminationTaken[i] = false;
    // Only a handler that is still ours goes; one the program put in since
    // stays.
    struct sigaction now {};
    if (sigaction(kTerminationSignals[i], nullptr, &now) == 0 && (now.sa_flags & SA_SIGINFO) == 0 &&
        now.sa_handler == OnTermination) {
      struct sigaction byTheSystem {};
      byTheSystem.sa_handler = SIG_DFL;
      sigemptyset(&byTheSystem.sa_mask);
      sigaction(kTerminationSignals[i], &byTheSystem, nullptr);
    }
    NoteReturnedSignal(kTerminationSignals[i]);
  }
}
