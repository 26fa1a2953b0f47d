// A real SOCKS 5 server (microsocks) on 127.0.0.1 for the proxy tests,
// started on a free port and stopped with the object. Running() is false when
// it could not be started (for example when microsocks is not installed).
#pragma once

#include <netinet/in.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "tests/support/LoopbackPeer.h"

extern char** environ;

class MicroSocks {
 public:
  static constexpr const char* kPath = "/usr/bin/microsocks";

  explicit MicroSocks(const std::vector<std::string>& extra = {}) {
    for (int attempt = 0; attempt < 5 && pid_ <= 0; ++attempt) {
      port_ = testpeer::FreePort();
      std::vector<std::string> args = {kPath, "-i", "127.0.0.1", "-p", std::to_string(port_)};
      args.insert(args.end(), extra.begin(), extra.end());
      std::vector<char*> argv;
      for (auto& a : args) argv.push_back(a.data());
      argv.push_back(nullptr);
      pid_t pid = 0;
      if (posix_spawn(&pid, kPath, nullptr, nullptr, argv.data(), environ) != 0) return;
      if (WaitListening()) {
        pid_ = pid;
      } else {
        kill(pid, SIGTERM);
        waitpid(pid, nullptr, 0);
      }
    }
  }
  ~MicroSocks() {
    if (pid_ > 0) {
      kill(pid_, SIGTERM);
      waitpid(pid_, nullptr, 0);
    }
  }
  bool Running() const { return pid_ > 0; }
  int Port() const { return port_; }

 private:
  bool WaitListening() {
    for (int i = 0; i < 60; ++i) {
      int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
      sockaddr_in a{};
      a.sin_family = AF_INET;
      a.sin_port = htons(static_cast<uint16_t>(port_));
      a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
      bool ok = ::connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0;
      ::close(fd);
      if (ok) return true;
      testpeer::Pause(50);
    }
    return false;
  }
  pid_t pid_ = 0;
  int port_ = 0;
};
