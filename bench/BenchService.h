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
  double CpuMs() const {
    std::ifstream stat("/proc/" + std::to_string(pid_) + "/stat");
    std::string text((std::istreambuf_iterator<char>(stat)), std::istreambuf_iterator<char>());
    std::istringstream fields(text.substr(text.rfind(')') + 2));
    std::string field;
    unsigned long long user = 0, system = 0;
    for (int i = 3; i <= 15 && fields >> field; ++i) {
      if (i == 14) user = std::stoull(field);
      if (i == 15) system = std::stoull(field);
    }
    return 1000.0 * static_cast<double>(user + system) / static_cast<double>(::sysconf(_SC_CLK_TCK));
  }
  // The peak resident memory so far, in KiB.
  long PeakKiB() const {
    std::ifstream status("/proc/" + std::to_string(pid_) + "/status");
    for (std::string line; std::getline(status, line);)
      if (line.rfind("VmHWM:", 0) == 0) return std::atol(line.c_str() + 6);
    return -1;
  }

 private:
  std::string log_;
  pid_t pid_ = -1;
  int port_ = 0;
};

// One check-in as the program sends it, from source (an address of the
// loopback network) when given; true when it was answered with 200.
inline bool BenchCheckIn(int port, const std::string& request, const char* source = nullptr) {
  int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  if (source &&
      (::inet_pton(AF_INET, source, &a.sin_addr) != 1 || ::bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0)) {
    ::close(fd);
    return false;
  }
  a.sin_port = htons(static_cast<uint16_t>(port));
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  bool ok = false;
  if (::connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0 &&
      ::send(fd, request.data(), request.size(), MSG_NOSIGNAL) == static_cast<ssize_t>(request.size())) {
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
