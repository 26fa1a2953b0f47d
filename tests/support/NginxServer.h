// nginx as a real HTTP server for the tests: its configuration and files in
// a temporary folder of their own, listening on a free loopback port (IPv4
// or IPv6), started in the foreground as a child and stopped with the object.
// Running() is false when it could not be started (nginx not installed, the
// address not available); Problem() then says why.
#pragma once

#include <arpa/inet.h>
#include <netinet/in.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

#include "tests/support/TempDir.h"

extern char** environ;

class NginxServer {
 public:
  static constexpr const char* kPath = "/usr/sbin/nginx";

  // Whether this machine has the IPv6 loopback address: a socket can be bound to [::1].
  static bool HasIPv6Loopback() { return FreePort(true) > 0; }

  // locations: the "location" blocks of the one server, in nginx's own syntax;
  // http: what goes beside the server, such as an upstream it proxies to.
  NginxServer(bool ipv6, const std::string& locations, const std::string& http = "") : ipv6_(ipv6) {
    if (!std::filesystem::exists(kPath)) {
      problem_ = std::string(kPath) + " is not installed";
      return;
    }
    for (int attempt = 0; attempt < 5 && pid_ <= 0; ++attempt) {
      port_ = FreePort(ipv6);
      if (port_ <= 0) {
        problem_ = "no free port on " + Address();
        return;
      }
      TempDir::Write(dir_.File("nginx.conf"), Config(locations, http));
      std::vector<std::string> args = {
          kPath, "-p", dir_.Path().string() + "/", "-c", dir_.File("nginx.conf"), "-e", dir_.File("error.log")};
      std::vector<char*> argv;
      for (auto& a : args) argv.push_back(a.data());
      argv.push_back(nullptr);
      pid_t pid = 0;
      if (posix_spawn(&pid, kPath, nullptr, nullptr, argv.data(), environ) != 0) {
        problem_ = "nginx could not be started";
        return;
      }
      if (WaitListening(pid)) {
        pid_ = pid;
      } else {
        ::kill(pid, SIGTERM);
        ::waitpid(pid, nullptr, 0);
        problem_ = "nginx did not listen: " + TempDir::Read(dir_.File("error.log"));
      }
    }
  }
  ~NginxServer() {
    if (pid_ > 0) {
      ::kill(pid_, SIGTERM);
      ::waitpid(pid_, nullptr, 0);
    }
  }
  NginxServer(const NginxServer&) = delete;
  NginxServer& operator=(const NginxServer&) = delete;

  bool Running() const { return pid_ > 0; }
  const std::string& Problem() const { return problem_; }
  int Port() const { return port_; }
  pid_t Pid() const { return pid_; }
  // "127.0.0.1" or "[::1]".
  std::string Address() const { return ipv6_ ? "[::1]" : "127.0.0.1"; }
  std::string Url(const std::string& path = "/") const {
    return "http://" + Address() + ":" + std::to_string(port_) + path;
  }

 private:
  std::string Config(const std::string& locations, const std::string& http) const {
    const std::string d = dir_.Path().string() + "/";
    return "daemon off;\nmaster_process off;\nworker_processes 1;\npid " + d + "nginx.pid;\nerror_log " + d +
           "error.log;\nevents { worker_connections 64; }\nhttp {\n  access_log off;\n  client_body_temp_path " + d +
           "body;\n  proxy_temp_path " + d + "proxy;\n  fastcgi_temp_path " + d + "fastcgi;\n  uwsgi_temp_path " + d +
           "uwsgi;\n  scgi_temp_path " + d + "scgi;\n" + http + "\n  server {\n    listen " + Address() + ":" +
           std::to_string(port_) + ";\n" + locations + "\n  }\n}\n";
  }

  // The loopback address of the family asked for, with port, in sa.
  static socklen_t Loopback(bool ipv6, int port, sockaddr_storage& sa) {
    sa = {};
    if (ipv6) {
      auto* a = reinterpret_cast<sockaddr_in6*>(&sa);
      a->sin6_family = AF_INET6;
      a->sin6_port = htons(static_cast<uint16_t>(port));
      a->sin6_addr = in6addr_loopback;
      return sizeof *a;
    }
    auto* a = reinterpret_cast<sockaddr_in*>(&sa);
    a->sin_family = AF_INET;
    a->sin_port = htons(static_cast<uint16_t>(port));
    a->sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    return sizeof *a;
  }

  // A port the system gives out now; nginx binds it a moment later.
  static int FreePort(bool ipv6) {
    const int fd = ::socket(ipv6 ? AF_INET6 : AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) return -1;
    int port = -1;
    sockaddr_storage sa;
    socklen_t len = Loopback(ipv6, 0, sa);
    if (::bind(fd, reinterpret_cast<sockaddr*>(&sa), len) == 0 &&
        ::getsockname(fd, reinterpret_cast<sockaddr*>(&sa), &len) == 0)
      port =
          ntohs(ipv6 ? reinterpret_cast<sockaddr_in6*>(&sa)->sin6_port : reinterpret_cast<sockaddr_in*>(&sa)->sin_port);
    ::close(fd);
    return port;
  }

  bool WaitListening(pid_t pid) const {
    sockaddr_storage sa;
    const socklen_t len = Loopback(ipv6_, port_, sa);
    for (int i = 0; i < 100; ++i) {
      if (::waitpid(pid, nullptr, WNOHANG) == pid) return false;
      const int fd = ::socket(ipv6_ ? AF_INET6 : AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
      const bool ok = ::connect(fd, reinterpret_cast<sockaddr*>(&sa), len) == 0;
      ::close(fd);
      if (ok) return true;
      std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    return false;
  }

  bool ipv6_;
  TempDir dir_;
  std::string problem_;
  int port_ = 0;
  pid_t pid_ = -1;
};
