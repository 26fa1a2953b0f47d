// pinmark-service as a child process for the end-to-end tests, and the
// small clients they talk to it with: the program's check-in from a chosen
// loopback source address, raw requests, the JSON with Basic credentials,
// the account commands with input on standard input, and another program's
// connection to the database.
#pragma once

#include <arpa/inet.h>
#include <fcntl.h>
#include <grp.h>
#include <poll.h>
#include <signal.h>
#include <sqlite3.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <mutex>
#include <sstream>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "settings/md5.h"
#include "tests/service/store/OtherConnection.h"
#include "tests/support/LoopbackPeer.h"
#include "tests/support/TempDir.h"

namespace servicetest {
inline const char kDigest[] = "fe01ce2a7fbac8fafaed7c982a04e229";  // MD5 of "demo"
inline const std::string kCheckIn = std::string("/includes/r_update.php?userid=demo&enc=") + kDigest;

inline std::string Md5(const std::string& password) { return DigestToHex(MD5OfString(password)); }

// The service in a child process; its standard output (the log) is drained
// by a thread of the test, so the service never waits on a full pipe.
class ServiceProcess {
 public:
  explicit ServiceProcess(std::vector<std::string> args = {"--account", std::string("demo:") + kDigest},
                          const std::vector<std::string>& env = {}, rlim_t fileSizeLimit = RLIM_INFINITY,
                          uid_t user = 0) {
    // The service listens on 8080 unless told otherwise; tests let the system pick a port.
    if (std::find(args.begin(), args.end(), "--port") == args.end()) args.insert(args.begin(), {"--port", "0"});
    int out[2];
    if (::pipe2(out, O_CLOEXEC) != 0) return;
    pid_ = ::fork();
    if (pid_ == 0) {
      ::dup2(out[1], 1);
      ::dup2(out[1], 2);
      for (const std::string& e : env) {
        if (e == "JOURNAL_STREAM=auto") {
          // As systemd does: the device and inode of the stream the log goes to.
          struct stat st {};
          ::fstat(1, &st);
          ::setenv("JOURNAL_STREAM", (std::to_string(st.st_dev) + ":" + std::to_string(st.st_ino)).c_str(), 1);
        } else {
          ::putenv(const_cast<char*>(e.c_str()));
        }
      }
      // Root reads and writes every file whatever its mode; a user of its own does not.
      if (user != 0 && ::geteuid() == 0 && (::setgroups(0, nullptr) != 0 || ::setgid(user) != 0 || ::setuid(user) != 0))
        ::_exit(126);
      if (fileSizeLimit != RLIM_INFINITY) {
        const rlimit limit{fileSizeLimit, RLIM_INFINITY};
        ::setrlimit(RLIMIT_FSIZE, &limit);
      }
      std::vector<char*> argv{const_cast<char*>(SERVICE_PATH)};
      for (std::string& a : args) argv.push_back(a.data());
      argv.push_back(nullptr);
      ::execv(SERVICE_PATH, argv.data());
      ::_exit(127);
    }
    ::close(out[1]);
    reader_ = std::thread([this, fd = out[0]] {
      char buf[4096];
      for (ssize_t n; (n = ::read(fd, buf, sizeof buf)) > 0;) {
        std::lock_guard<std::mutex> guard(lock_);
        log_.append(buf, static_cast<std::size_t>(n));
      }
      ::close(fd);
    });
    for (int i = 0; i < 500 && port_ == 0 && Running(); ++i) {
      const std::string log = Log();
      const std::size_t at = log.find("listening on 127.0.0.1:");
      if (at != std::string::npos && log.find('\n', at) != std::string::npos) port_ = std::atoi(log.c_str() + at + 23);
      if (port_ == 0) testpeer::Pause(10);
    }
  }
  ~ServiceProcess() { Stop(SIGKILL); }
  ServiceProcess(const ServiceProcess&) = delete;
  ServiceProcess& operator=(const ServiceProcess&) = delete;

  int Port() const { return port_; }
  pid_t Pid() const { return pid_; }
  std::string Log() {
    std::lock_guard<std::mutex> guard(lock_);
    return log_;
  }
  // Whether the log holds text within timeoutMs: the service may write a line
  // after the answer it belongs to, or after "listening on".
  bool WaitForLog(const std::string& text, int timeoutMs = 10000) {
    const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    while (Log().find(text) == std::string::npos) {
      if (std::chrono::steady_clock::now() >= end) return false;
      testpeer::Pause(10);
    }
    return true;
  }
  // How often the log holds text.
  int CountInLog(const std::string& text) {
    const std::string log = Log();
    int n = 0;
    for (std::size_t at = log.find(text); at != std::string::npos; at = log.find(text, at + text.size())) ++n;
    return n;
  }
  bool Running() {
    if (pid_ > 0 && ::waitpid(pid_, &status_, WNOHANG) == pid_) pid_ = -1;
    return pid_ > 0;
  }
  // Ends the service with sig and answers its exit code (-1 for a signal).
  int Stop(int sig = SIGTERM) {
    if (pid_ > 0) {
      ::kill(pid_, sig);
      ::waitpid(pid_, &status_, 0);
      pid_ = -1;
    }
    if (reader_.joinable()) reader_.join();
    // A sanitizer build reports what it found on the service's standard error.
    for (const char* finding : {"ERROR: AddressSanitizer", "ERROR: LeakSanitizer", "runtime error:"})
      if (Log().find(finding) != std::string::npos) ADD_FAILURE() << "the service: " << Log();
    return WIFEXITED(status_) ? WEXITSTATUS(status_) : -1;
  }
  std::vector<std::string> StopAndReadLog() {
    Stop();
    std::vector<std::string> lines;
    std::istringstream in(Log());
    for (std::string line; std::getline(in, line);) lines.push_back(line);
    return lines;
  }

 private:
  pid_t pid_ = -1;
  int status_ = 0;
  int port_ = 0;
  std::mutex lock_;
  std::string log_;
  std::thread reader_;
};

inline int Connect(int port, const char* source = nullptr) {
  if (source && std::string_view(source) == "::1") {
    // Over IPv6 to the service's ::1.
    int fd = ::socket(AF_INET6, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in6 a{};
    a.sin6_family = AF_INET6;
    a.sin6_port = htons(static_cast<uint16_t>(port));
    a.sin6_addr = in6addr_loopback;
    if (::connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) {
      ::close(fd);
      return -1;
    }
    return fd;
  }
  int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  if (source) {
    // The loopback network is all of 127/8: a client may speak from any of its addresses.
    ::inet_pton(AF_INET, source, &a.sin_addr);
    if (::bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) ADD_FAILURE() << "cannot bind " << source;
  }
  a.sin_port = htons(static_cast<uint16_t>(port));
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  if (::connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) {
    ::close(fd);
    return -1;
  }
  return fd;
}

// One request on a new connection; the answer as far as it came within the
// guard time (the service closes after answering an HTTP/1.0 request).
inline std::string Ask(int port, const std::string& request, int guardMs = 3000, const char* source = nullptr) {
  int fd = Connect(port, source);
  testpeer::SendAll(fd, request);
  std::string answer = testpeer::RecvUntilClosed(fd, guardMs);
  ::close(fd);
  return answer;
}

struct Answer {
  int status = 0;
  std::string body;
};
inline Answer Parse(const std::string& raw) {
  Answer a;
  if (raw.rfind("HTTP/1.1 ", 0) == 0) a.status = std::atoi(raw.c_str() + 9);
  const std::size_t end = raw.find("\r\n\r\n");
  if (end != std::string::npos) a.body = raw.substr(end + 4);
  return a;
}

// The program's check-in, sent from a source address of the loopback network.
inline Answer CheckIn(int port, const std::string& user, const std::string& digest, const std::string& node,
                      const char* source = "127.0.0.1") {
  return Parse(Ask(port,
                   "POST /includes/r_update.php?userid=" + user + "&enc=" + digest + "&node=" + node +
                       " HTTP/1.0\r\nContent-Length: 0\r\n\r\n",
                   30000, source));  // a first check-in pays the slow hash, slow under sanitizers
}

inline std::string Base64(const std::string& text) {
  static const char table[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
  std::string out;
  for (std::size_t i = 0; i < text.size(); i += 3) {
    unsigned v = static_cast<unsigned char>(text[i]) << 16;
    if (i + 1 < text.size()) v |= static_cast<unsigned char>(text[i + 1]) << 8;
    if (i + 2 < text.size()) v |= static_cast<unsigned char>(text[i + 2]);
    out += table[v >> 18 & 63];
    out += table[v >> 12 & 63];
    out += i + 1 < text.size() ? table[v >> 6 & 63] : '=';
    out += i + 2 < text.size() ? table[v & 63] : '=';
  }
  return out;
}

inline std::string Json(int port, const std::string& user, const std::string& password) {
  return Parse(Ask(port,
                   "GET /api/nodes HTTP/1.0\r\nAuthorization: Basic " + Base64(user + ":" + password) + "\r\n\r\n",
                   30000))
      .body;
}

// What a pipe brings until its writer closes it, for at most timeoutMs.
inline std::string ReadUntilClosed(int fd, int timeoutMs) {
  std::string text;
  const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
  char buf[4096];
  while (true) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(end - std::chrono::steady_clock::now());
    pollfd p{fd, POLLIN, 0};
    if (left.count() <= 0 || ::poll(&p, 1, static_cast<int>(left.count())) <= 0) break;
    const ssize_t n = ::read(fd, buf, sizeof buf);
    if (n <= 0) break;
    text.append(buf, static_cast<std::size_t>(n));
  }
  return text;
}

// A command run to its end with input on its standard input.
struct RunResult {
  int code = -1;
  std::string out, err;
};
inline RunResult RunService(const std::vector<std::string>& args, const std::string& input = "") {
  int in[2], out[2], err[2];
  if (::pipe2(in, O_CLOEXEC) != 0 || ::pipe2(out, O_CLOEXEC) != 0 || ::pipe2(err, O_CLOEXEC) != 0) return {};
  const pid_t pid = ::fork();
  if (pid == 0) {
    ::dup2(in[0], 0);
    ::dup2(out[1], 1);
    ::dup2(err[1], 2);
    std::vector<char*> argv{const_cast<char*>(SERVICE_PATH)};
    for (const std::string& a : args) argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);
    ::execv(SERVICE_PATH, argv.data());
    ::_exit(127);
  }
  ::close(in[0]);
  ::close(out[1]);
  ::close(err[1]);
  if (!input.empty() && ::write(in[1], input.data(), input.size()) != static_cast<ssize_t>(input.size()))
    ADD_FAILURE() << "input not written";  // small inputs: the pipe takes them whole
  ::close(in[1]);
  RunResult r;
  r.out = ReadUntilClosed(out[0], 60000);
  r.err = ReadUntilClosed(err[0], 5000);
  ::close(out[0]);
  ::close(err[0]);
  // A command that should have ended but serves instead fails the test, not hangs it.
  int status = 0;
  for (int i = 0; i < 500 && ::waitpid(pid, &status, WNOHANG) == 0; ++i) testpeer::Pause(10);
  if (::waitpid(pid, &status, WNOHANG) == 0) {
    ::kill(pid, SIGKILL);
    ::waitpid(pid, &status, 0);
  }
  r.code = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  return r;
}

// A database in a fresh folder with one account.
class Database {
 public:
  Database(const std::string& name, const std::string& password) {
    const RunResult r = RunService({"account", "add", name, "--password-stdin", "--db", file}, password + "\n");
    EXPECT_EQ(r.code, 0) << r.err;
  }
  TempDir dir;
  const std::string file = dir.File("pinmark.db");
};

}  // namespace servicetest
