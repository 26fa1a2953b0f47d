#include "crash/capture/CDRestartBlock.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "crash/capture/CDEvent.h"
#include "crash/capture/CDProcessEnd.h"
#include "crash/capture/CDProcessStart.h"

namespace {
constexpr std::size_t kTimesAt = 8;
static_assert(kTimesAt + 8 * CDExceptionTimeCount == CDRestartBlockSize);

void Put(uint8_t* at, uint64_t v, int bytes) {
  for (int i = 0; i < bytes; ++i) at[i] = static_cast<uint8_t>(v >> (8 * i));
}
uint64_t Get(const uint8_t* at, int bytes) {
  uint64_t v = 0;
  for (int i = 0; i < bytes; ++i) v |= static_cast<uint64_t>(at[i]) << (8 * i);
  return v;
}

// Waits until a process has ended; false when it still runs after waitMs.
bool WaitForEnd(pid_t pid, int waitMs) {
  const int fd = static_cast<int>(syscall(SYS_pidfd_open, pid, 0));
  if (fd >= 0) {
    pollfd p{fd, POLLIN, 0};
    int r;
    while ((r = poll(&p, 1, waitMs)) < 0 && errno == EINTR) {
    }
    close(fd);
    return r > 0;
  }
  if (errno == ESRCH) return true;
  // No process descriptors here: ask now and then.
  const int64_t deadline = CDMonotonicMs() + waitMs;
  while (kill(pid, 0) == 0 || errno == EPERM) {
    if (CDMonotonicMs() >= deadline) return false;
    CDSleepMs(20);
  }
  return true;
}
}  // namespace

void RestartBlockName(pid_t newProcessId, TCDSafeText& name, bool withSlash) {
  if (withSlash) name.Add('/');
  name.Add("crashDeskRestart$").Hex(static_cast<uint32_t>(newProcessId));
}

void EncodeRestartBlock(const TCDRestartHandover& h, uint8_t (&bytes)[CDRestartBlockSize]) {
  Put(bytes, static_cast<uint32_t>(h.OldProcessId), 4);
  Put(bytes + 4, CDRestartBlockCheck, 4);
  for (int i = 0; i < CDExceptionTimeCount; ++i) Put(bytes + kTimesAt + 8 * i, h.Times[static_cast<std::size_t>(i)], 8);
}

std::optional<TCDRestartHandover> ParseRestartBlock(std::span<const uint8_t> bytes, pid_t ownProcessId) {
  if (bytes.size() < CDRestartBlockSize) return std::nullopt;
  if (Get(bytes.data() + 4, 4) != CDRestartBlockCheck) return std::nullopt;
  const uint64_t old = Get(bytes.data(), 4);
  if (old == 0 || old > static_cast<uint64_t>(INT32_MAX) || static_cast<pid_t>(old) == ownProcessId)
    return std::nullopt;
  TCDRestartHandover h;
  h.OldProcessId = static_cast<pid_t>(old);
  for (int i = 0; i < CDExceptionTimeCount; ++i) {
    const uint64_t t = Get(bytes.data() + kTimesAt + 8 * i, 8);
    h.Times[static_cast<std::size_t>(i)] = t > UINT32_MAX ? 0 : static_cast<uint32_t>(t);
  }
  return h;
}

bool WriteRestartBlock(pid_t newProcessId, const TCDRestartHandover& handover) {
  TCDSafeTextBuffer<64> name;
  RestartBlockName(newProcessId, name);
  const int fd = shm_open(name.CStr(), O_RDWR | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
  if (fd < 0) return false;
  uint8_t bytes[CDRestartBlockSize];
  EncodeRestartBlock(handover, bytes);
  const bool ok = CDWriteAll(fd, bytes, sizeof bytes);
  close(fd);
  if (!ok) shm_unlink(name.CStr());
  return ok;
}

std::optional<TCDRestartHandover> TakeRestartBlock(int waitMs) {
  TCDSafeTextBuffer<64> name;
  RestartBlockName(getpid(), name);
  const int fd = shm_open(name.CStr(), O_RDONLY | O_CLOEXEC, 0);
  if (fd < 0) return std::nullopt;
  // Removed at once: whatever it holds, it is read only once.
  shm_unlink(name.CStr());
  uint8_t bytes[CDRestartBlockSize];
  struct stat st {};
  const bool whole = fstat(fd, &st) == 0 && st.st_size == static_cast<off_t>(CDRestartBlockSize) &&
                     CDReadAll(fd, bytes, sizeof bytes);
  close(fd);
  if (!whole) return std::nullopt;
  std::optional<TCDRestartHandover> handover = ParseRestartBlock(bytes, getpid());
  if (handover) WaitForEnd(handover->OldProcessId, waitMs);
  return handover;
}

void RestartProcess(const TCDExceptionTimeList& times) {
  int gate[2], status[2];
  bool started = false;
  if (pipe2(gate, O_CLOEXEC) == 0) {
    if (pipe2(status, O_CLOEXEC) != 0) status[0] = status[1] = -1;
    TCDStartOptions options;
    options.GateFd = gate[0];
    options.GateOtherEnd = gate[1];
    options.SameImage = false;
    options.ExecFailedFd = status[1];
    const pid_t child = StartOwnProgram(options);
    close(gate[0]);
    if (status[1] >= 0) close(status[1]);
    const bool written = child > 0 && [&] {
      TCDRestartHandover handover;
      handover.OldProcessId = getpid();
      handover.Times = times;
      return WriteRestartBlock(child, handover);
    }();
    // Opens the gate: the new process runs and finds its block.
    close(gate[1]);
    if (child > 0) {
      // The new process either becomes the program (the end of the pipe) or
      // says it could not (a byte).
      char failed = 0;
      ssize_t n = -1;
      if (status[0] >= 0)
        while ((n = read(status[0], &failed, 1)) < 0 && errno == EINTR) {
        }
      started = n == 0;
      if (!started) {
        while (waitpid(child, nullptr, 0) < 0 && errno == EINTR) {
        }
        // Nobody will ever take the block.
        if (written) {
          TCDSafeTextBuffer<64> name;
          RestartBlockName(child, name);
          shm_unlink(name.CStr());
        }
      }
    }
    if (status[0] >= 0) close(status[0]);
  }
  TCDProcessEnd::CleanUp();
  _exit(started ? 2 : 1);
}

void CloseProcess() {
  TCDProcessEnd::CleanUp();
  _exit(1);
}
