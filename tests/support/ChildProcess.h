// A program run as a child process, as a user or systemd runs it: its own
// arguments and environment, its standard output and error kept in files.
// Every wait is bounded: a program that does not end in time is killed, so a
// regression fails the test instead of hanging it.
#pragma once

#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <functional>
#include <map>
#include <string>
#include <thread>
#include <vector>

#include "tests/support/TempDir.h"

class ChildProcess {
 public:
  // Starts program (a path, or a name looked up in PATH) with args; env
  // entries are set (an empty value unsets).
  ChildProcess(const std::string& program, const std::vector<std::string>& args,
               const std::map<std::string, std::string>& env = {}) {
    out_ = dir_.File("stdout");
    err_ = dir_.File("stderr");
    pid_ = ::fork();
    if (pid_ == 0) {
      sigset_t none;
      sigemptyset(&none);
      ::sigprocmask(SIG_SETMASK, &none, nullptr);
      for (const auto& [name, value] : env)
        value.empty() ? ::unsetenv(name.c_str()) : ::setenv(name.c_str(), value.c_str(), 1);
      if (!std::freopen(out_.c_str(), "w", stdout) || !std::freopen(err_.c_str(), "w", stderr)) ::_exit(126);
      std::vector<char*> argv{const_cast<char*>(program.c_str())};
      for (const std::string& a : args) argv.push_back(const_cast<char*>(a.c_str()));
      argv.push_back(nullptr);
      ::execvp(program.c_str(), argv.data());
      ::_exit(127);
    }
  }
  ~ChildProcess() {
    if (running_) {
      ::kill(pid_, SIGKILL);
      ::waitpid(pid_, nullptr, 0);
    }
  }
  ChildProcess(const ChildProcess&) = delete;
  ChildProcess& operator=(const ChildProcess&) = delete;

  void Signal(int sig) const { ::kill(pid_, sig); }
  pid_t Pid() const { return pid_; }

  // Polls until done() answers true or the program ends, at most limit;
  // true when done() did.
  bool WaitUntil(const std::function<bool()>& done, std::chrono::milliseconds limit = std::chrono::seconds(20)) {
    const auto deadline = std::chrono::steady_clock::now() + limit;
    while (std::chrono::steady_clock::now() < deadline) {
      if (done()) return true;
      if (running_ && ::waitpid(pid_, &status_, WNOHANG) == pid_) running_ = false;
      if (!running_) return done();
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return false;
  }

  // The exit code once the program ended on its own; -1 when it had to be
  // killed after limit, or ended by a signal.
  int Wait(std::chrono::milliseconds limit = std::chrono::seconds(20)) {
    WaitUntil([this] { return !running_; }, limit);
    if (running_) {
      ::kill(pid_, SIGKILL);
      ::waitpid(pid_, &status_, 0);
      running_ = false;
      return -1;
    }
    return WIFEXITED(status_) ? WEXITSTATUS(status_) : -1;
  }

  // The signal that ended the program, 0 when it exited (or is running).
  int EndSignal() const { return !running_ && WIFSIGNALED(status_) ? WTERMSIG(status_) : 0; }

  std::string Out() const { return TempDir::Read(out_); }
  std::string Err() const { return TempDir::Read(err_); }

 private:
  TempDir dir_;
  std::string out_, err_;
  pid_t pid_ = -1;
  bool running_ = true;
  int status_ = 0;
};
