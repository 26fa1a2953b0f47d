#include "runtime/ThreadName.h"

#include <fcntl.h>
#include <sys/prctl.h>
#include <unistd.h>

#include <atomic>
#include <string>

namespace {
std::atomic<TThreadNameHook> nameHook{nullptr};
// What the kernel keeps of a name, without its terminating zero.
constexpr std::size_t kSystemNameLength = 15;
}  // namespace

pid_t CurrentThreadId() { return static_cast<pid_t>(gettid()); }

void NameThreadForDebugging(std::string_view name, pid_t threadId) {
  const pid_t target = threadId == -1 ? CurrentThreadId() : threadId;
  const std::string shortName(name.substr(0, kSystemNameLength));
  if (target == CurrentThreadId()) {
    prctl(PR_SET_NAME, shortName.c_str(), 0, 0, 0);
  } else {
    // Another thread is known by its id only; the kernel takes its name here.
    const std::string path = "/proc/self/task/" + std::to_string(target) + "/comm";
    const int fd = ::open(path.c_str(), O_WRONLY | O_CLOEXEC);
    if (fd < 0) return;  // no such thread
    const ssize_t written = ::write(fd, shortName.data(), shortName.size());
    (void)written;  // the full name below is what counts
    ::close(fd);
  }
  if (TThreadNameHook hook = nameHook.load()) hook(target, name);
}

TThreadNameHook SetThreadNameHook(TThreadNameHook hook) { return nameHook.exchange(hook); }
