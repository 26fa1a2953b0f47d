#include "crash/delivery/CDMailProgram.h"

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <thread>

#include "crash/capture/CDProcessStart.h"

extern char** environ;

TCDMailProgramResult RunMailProgram(const std::vector<std::string>& argv, int timeoutMs) {
  TCDMailProgramResult result;
  if (argv.empty() || argv[0].empty()) return result;
  std::vector<char*> args;
  args.reserve(argv.size() + 1);
  for (const std::string& a : argv) args.push_back(const_cast<char*>(a.c_str()));
  args.push_back(nullptr);

  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
  // The child gets a process group of its own, so that a terminal's Ctrl+C
  // meant for us does not end a mail program the user is writing in.
  posix_spawnattr_t attributes;
  posix_spawnattr_init(&attributes);
  // It starts as a program should: no signal blocked (the handling may run
  // with some blocked), the signals the crash reporter took handled by the
  // system.
  sigset_t none, taken;
  sigemptyset(&none);
  TakenSignals(taken);
  posix_spawnattr_setsigmask(&attributes, &none);
  posix_spawnattr_setsigdefault(&attributes, &taken);
  posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETPGROUP | POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF);
  pid_t pid = 0;
  int rc = posix_spawnp(&pid, args[0], &actions, &attributes, args.data(), environ);
  posix_spawn_file_actions_destroy(&actions);
  posix_spawnattr_destroy(&attributes);
  if (rc != 0) return result;
  result.Started = true;

  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
  while (true) {
    int status = 0;
    pid_t done = waitpid(pid, &status, WNOHANG);
    if (done == pid) {
      result.Exited = WIFEXITED(status);
      result.ExitCode = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
      return result;
    }
    if (done < 0 && errno != EINTR) return result;
    if (std::chrono::steady_clock::now() >= deadline) break;
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  result.Running = true;
  // Still running: it is the user's now. Someone must still collect its exit.
  std::thread([pid] {
    int status = 0;
    while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
  }).detach();
  return result;
}
