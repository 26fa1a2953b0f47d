#include "crash/capture/CDProcessStart.h"

#include <fcntl.h>
#include <linux/close_range.h>
#include <signal.h>
#include <sys/mman.h>
#include <sys/resource.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "crash/capture/CDSafeText.h"

extern char** environ;

namespace {
// Sized at start-up from the real command line (the system's ARG_MAX is the
// only limit), so that a restart in a signal handler needs no allocation.
char* noArguments[1] = {nullptr};
char** arguments = noArguments;
int argumentCount = 0;
char exePath[4096];
const char* const kSelf = "/proc/self/exe";
int startNice = 0;
// One flag per signal number: the crash reporter handles it now.
std::atomic<bool> taken[_NSIG];

bool SameName(const char* a, const char* b) {
  while (*a != '\0' && *a != '=' && *a == *b) {
    ++a;
    ++b;
  }
  return *a == '=' && *b == '=';
}

[[noreturn]] void RunChild(const TCDStartOptions& o) {
  ResetToProgramStart();
  if (o.GateOtherEnd >= 0) close(o.GateOtherEnd);
  if (o.GateFd >= 0) {
    char byte;
    while (read(o.GateFd, &byte, 1) < 0 && errno == EINTR) {
    }
    close(o.GateFd);
  }
  // Nothing of ours leaks into the new program but the descriptor it needs.
  if (o.KeepFd > 3) syscall(SYS_close_range, 3u, static_cast<unsigned>(o.KeepFd - 1), CLOSE_RANGE_CLOEXEC);
  syscall(SYS_close_range, static_cast<unsigned>(o.KeepFd >= 3 ? o.KeepFd + 1 : 3), ~0u, CLOSE_RANGE_CLOEXEC);
  if (o.KeepFd >= 0) fcntl(o.KeepFd, F_SETFD, 0);

  // The new environment is as long as the two together at most; the child
  // is alone in its copy of the process, and mmap needs no allocator.
  std::size_t capacity = 1;
  if (o.ExtraEnvironment != nullptr)
    for (const char* const* e = o.ExtraEnvironment; *e != nullptr; ++e) ++capacity;
  for (char** e = environ; e != nullptr && *e != nullptr; ++e) ++capacity;
  void* room = mmap(nullptr, capacity * sizeof(char*), PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
  if (room == MAP_FAILED) _exit(127);
  auto* env = static_cast<const char**>(room);
  std::size_t n = 0;
  if (o.ExtraEnvironment != nullptr)
    for (const char* const* e = o.ExtraEnvironment; *e != nullptr; ++e) env[n++] = *e;
  const std::size_t extras = n;
  for (char** e = environ; e != nullptr && *e != nullptr; ++e) {
    bool replaced = false;
    for (std::size_t i = 0; i < extras && !replaced; ++i) replaced = SameName(env[i], *e);
    if (!replaced) env[n++] = *e;
  }
  env[n] = nullptr;

  char* fallbackArgs[] = {const_cast<char*>(kSelf), nullptr};
  char* const* args = argumentCount > 0 ? arguments : fallbackArgs;
  const char* path = (o.SameImage || exePath[0] == '\0') ? kSelf : exePath;
  execve(path, args, const_cast<char* const*>(env));
  if (o.ExecFailedFd >= 0) {
    const char failed = 1;
    while (write(o.ExecFailedFd, &failed, 1) < 0 && errno == EINTR) {
    }
  }
  _exit(127);
}
}  // namespace

void RememberCommandLine() {
  if (argumentCount > 0) return;
  errno = 0;
  const int nice = getpriority(PRIO_PROCESS, 0);
  startNice = errno == 0 ? nice : 0;
  const ssize_t len = readlink(kSelf, exePath, sizeof exePath - 1);
  exePath[len > 0 ? len : 0] = '\0';
  // A replaced executable shows as "<path> (deleted)": start the one we run.
  constexpr char kDeleted[] = " (deleted)";
  const std::size_t n = std::strlen(exePath);
  if (n >= sizeof kDeleted - 1 && std::strcmp(exePath + n - (sizeof kDeleted - 1), kDeleted) == 0) exePath[0] = '\0';

  const int fd = open("/proc/self/cmdline", O_RDONLY | O_CLOEXEC);
  if (fd < 0) return;
  std::size_t size = 0, capacity = 4096;
  // Kept for the life of the process.
  char* text = static_cast<char*>(std::malloc(capacity + 1));
  while (text != nullptr) {
    const ssize_t got = read(fd, text + size, capacity - size);
    if (got < 0 && errno == EINTR) continue;
    if (got <= 0) break;
    size += static_cast<std::size_t>(got);
    if (size == capacity) {
      char* bigger = static_cast<char*>(std::realloc(text, capacity * 2 + 1));
      if (bigger == nullptr) break;
      text = bigger;
      capacity *= 2;
    }
  }
  close(fd);
  if (text == nullptr) return;
  text[size] = '\0';
  std::size_t count = 0;
  for (std::size_t i = 0; i < size; i += std::strlen(text + i) + 1) ++count;
  // Kept for the life of the process, like the text.
  auto** list = static_cast<char**>(std::malloc((count + 1) * sizeof(char*)));
  if (list == nullptr) return;
  int listed = 0;
  for (std::size_t i = 0; i < size; i += std::strlen(text + i) + 1) list[listed++] = text + i;
  list[listed] = nullptr;
  arguments = list;
  argumentCount = listed;
}

char* const* RememberedArguments() { return arguments; }
int RememberedArgumentCount() { return argumentCount; }
int StartNiceValue() { return startNice; }

void NoteTakenSignal(int signal) {
  if (signal > 0 && signal < _NSIG) taken[signal].store(true);
}

void NoteReturnedSignal(int signal) {
  if (signal > 0 && signal < _NSIG) taken[signal].store(false);
}

void TakenSignals(sigset_t& set) {
  sigemptyset(&set);
  for (int s = 1; s < _NSIG; ++s)
    if (taken[s].load()) sigaddset(&set, s);
}

void ResetToProgramStart() {
  struct sigaction byTheSystem {};
  byTheSystem.sa_handler = SIG_DFL;
  sigemptyset(&byTheSystem.sa_mask);
  for (int s = 1; s < _NSIG; ++s)
    if (taken[s].load()) sigaction(s, &byTheSystem, nullptr);
  sigset_t none;
  sigemptyset(&none);
  sigprocmask(SIG_SETMASK, &none, nullptr);
  // A raised priority needs no privilege to be given up.
  setpriority(PRIO_PROCESS, 0, startNice);
}

pid_t StartOwnProgram(const TCDStartOptions& options) {
  const pid_t child = _Fork();
  if (child == 0) RunChild(options);
  return child < 0 ? -1 : child;
}
