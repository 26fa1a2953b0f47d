// pinmark-service as the benchmarks start it: the real binary (SERVICE_PATH)
// as a child process with its log in a file, and the program's check-in
// sent to it on a new connection, from a chosen loopback source address.
#pragma once

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "tests/support/TempDir.h"

// A process's processor time so far (user and system), in ms.
inline double ProcessCpuMs(pid_t pid) {
  std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
  std::string text((std::istreambuf_iterator<char>(stat)), std::istreambuf_iterator<char>());
  const std::size_t after = text.rfind(')');
  if (after == std::string::npos) return 0;
  std::istringstream fields(text.substr(after + 2));
  std::string field;
  unsigned long long ticks = 0;
  for (int i = 3; i <= 15 && fields >> field; ++i)
    if (i == 14 || i == 15) ticks += std::stoull(field);
  return 1000.0 * static_cast<double>(ticks) / static_cast<double>(::sysconf(_SC_CLK_TCK));
}

// A line of a process's /proc status in KiB, such as "VmRSS:" or "VmHWM:"; -1 when absent.
inline long ProcessKiB(pid_t pid, const std::string& key) {
  std::ifstream status("/proc/" + std::to_string(pid) + "/status");
  for (std::string line; std::getline(status, line);)
    if (line.rfind(key, 0) == 0) return std::atol(line.c_str() + key.size());
  return -1;
}

// The service as a child process with its log in a file; ends with SIGTERM.
class TServiceChild {
 public:
  TServiceChild(const std::vector<std::string>& args, const std::string& log) : log_(log) {
    std::fflush(nullptr);  // the child must not write the parent's pending output again
    pid_ = ::fork();
    if (pid_ == 0) {
      if (!std::freopen(log.c_str(), "w", stdout) || !std::freopen(log.c_str(), "a", stderr)) ::_exit(126);
      std::vector<char*> argv{const_cast<char*>(SERVICE_PATH)};
      for (const std::string& a : args) argv.push_back(const_cast<char*>(a.c_str()));
      argv.push_back(nullptr);
      ::execv(SERVICE_PATH, argv.data());
      ::_exit(127);
    }
    for (int i = 0; i < 600 && port_ == 0; ++i) {
      const std::string text = Log();
      const std::size_t at = text.find("listening on 127.0.0.1:");
      if (at != std::string::npos) port_ = std::atoi(text.c_str() + at + 23);
      if (port_ == 0) std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
  }
  ~TServiceChild() {
    ::kill(pid_, SIGTERM);
    ::waitpid(pid_, nullptr, 0);
  }
  int Port() const { return port_; }
  pid_t Pid() const { return pid_; }
  std::string Log() const { return TempDir::Read(log_); }
  // The processor time the service has used so far (user and system), in ms.
  double CpuMs() const { return ProcessCpuMs(pid_); }
  // The peak resident memory so far, in KiB.
  long PeakKiB() const { return ProcessKiB(pid_, "VmHWM:"); }

 private:
  std::string log_;
  pid_t pid_ = -1;
  int port_ = 0;
};

// A new connection to the service on loopback, from source (an address of
// the loopback network) when given; -1 when it could not be made.
inline int BenchConnect(int port, const char* source = nullptr) {
  const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  if (source &&
      (::inet_pton(AF_INET, source, &a.sin_addr) != 1 || ::bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0)) {
    ::close(fd);
    return -1;
  }
  a.sin_port = htons(static_cast<uint16_t>(port));
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  if (::connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) {
    ::close(fd);
    return -1;
  }
  return fd;
}

// One check-in as the program sends it, from source when given; true when
// it was answered with 200.
inline bool BenchCheckIn(int port, const std::string& request, const char* source = nullptr) {
  const int fd = BenchConnect(port, source);
  if (fd < 0) return false;
  bool ok = false;
  if (::send(fd, request.data(), request.size(), MSG_NOSIGNAL) == static_cast<ssize_t>(request.size())) {
    std::string answer;
    char buf[1024];
    pollfd p{fd, POLLIN, 0};
    while (::poll(&p, 1, 10000) > 0) {
      const ssize_t n = ::recv(fd, buf, sizeof buf, 0);
      if (n <= 0) break;
      answer.append(buf, static_cast<std::size_t>(n));
    }
    ok = answer.rfind("HTTP/1.1 200 ", 0) == 0;
  }
  ::close(fd);
  return ok;
}
