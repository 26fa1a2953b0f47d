// pinmark-service as people host it: the real binary on a loopback port,
// facing requests that try to forge its log, crowd it out or make it buffer.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "tests/support/LoopbackPeer.h"

namespace {
const char kDigest[] = "fe01ce2a7fbac8fafaed7c982a04e229";  // MD5 of "demo"
const std::string kCheckIn = std::string("/includes/r_update.php?userid=demo&enc=") + kDigest;

// The service in a child process; its standard output (the log) comes back through a pipe.
class ServiceProcess {
 public:
  ServiceProcess() {
    int out[2];
    if (::pipe(out) != 0) return;
    pid_ = ::fork();
    if (pid_ == 0) {
      ::dup2(out[1], 1);
      ::close(out[0]);
      ::close(out[1]);
      const std::string account = std::string("demo:") + kDigest;
      ::execl(SERVICE_PATH, SERVICE_PATH, "--account", account.c_str(), static_cast<char*>(nullptr));
      ::_exit(127);
    }
    ::close(out[1]);
    log_ = out[0];
    const std::string first = ReadLine(5000);
    const std::size_t colon = first.rfind(':');
    if (first.rfind("listening on ", 0) == 0 && colon != std::string::npos) port_ = std::stoi(first.substr(colon + 1));
  }
  ~ServiceProcess() {
    Stop();
    if (log_ >= 0) ::close(log_);
  }
  ServiceProcess(const ServiceProcess&) = delete;
  ServiceProcess& operator=(const ServiceProcess&) = delete;

  int Port() const { return port_; }

  // Ends the service and answers every log line it wrote after starting.
  std::vector<std::string> StopAndReadLog() {
    Stop();
    std::vector<std::string> lines;
    std::string all;
    char buf[4096];
    for (ssize_t n; (n = ::read(log_, buf, sizeof buf)) > 0;) all.append(buf, static_cast<std::size_t>(n));
    std::istringstream in(all);
    for (std::string line; std::getline(in, line);) lines.push_back(line);
    return lines;
  }

 private:
  std::string ReadLine(int timeoutMs) {
    std::string line;
    char c;
    while (true) {
      pollfd p{log_, POLLIN, 0};
      if (::poll(&p, 1, timeoutMs) <= 0 || ::read(log_, &c, 1) != 1 || c == '\n') return line;
      line += c;
    }
  }
  void Stop() {
    if (pid_ <= 0) return;
    ::kill(pid_, SIGTERM);
    ::waitpid(pid_, nullptr, 0);
    pid_ = -1;
  }

  pid_t pid_ = -1;
  int log_ = -1;
  int port_ = 0;
};

int Connect(int port) {
  int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in a{};
  a.sin_family = AF_INET;
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
std::string Ask(int port, const std::string& request, int guardMs = 3000) {
  int fd = Connect(port);
  testpeer::SendAll(fd, request);
  std::string answer = testpeer::RecvUntilClosed(fd, guardMs);
  ::close(fd);
  return answer;
}
}  // namespace

TEST(ServiceProcess, LoggedValuesCannotForgeLogLines) {
  ServiceProcess service;
  ASSERT_GT(service.Port(), 0);
  const std::string forged = "%0A2000-01-01%2000:00:00%20node%3Dx%20user%3Dadmin%20address%3D6.6.6.6";
  EXPECT_NE(Ask(service.Port(), "GET " + kCheckIn + "&node=box" + forged + " HTTP/1.0\r\n\r\n").find("200 OK"),
            std::string::npos);
  EXPECT_NE(Ask(service.Port(), "GET /includes/r_update.php?userid=eve%0D%1B[2J&enc=0 HTTP/1.0\r\n\r\n").find("403"),
            std::string::npos);
  const std::vector<std::string> log = service.StopAndReadLog();
  ASSERT_EQ(log.size(), 2u);
  EXPECT_NE(log[0].find(" node=box%0A2000-01-01%2000:00:00%20node=x%20user=admin%20address=6.6.6.6 user=demo "
                        "address=127.0.0.1"),
            std::string::npos)
      << log[0];
  EXPECT_NE(log[1].find(" refused user=eve%0D%1B[2J address=127.0.0.1"), std::string::npos) << log[1];
}

TEST(ServiceProcess, IdleAndSlowConnectionsDoNotHoldACheckInBack) {
  ServiceProcess service;
  ASSERT_GT(service.Port(), 0);
  std::vector<int> idle, slow;
  for (int i = 0; i < 64; ++i) idle.push_back(Connect(service.Port()));
  for (int i = 0; i < 64; ++i) slow.push_back(Connect(service.Port()));
  // The slow ones drip a request line a byte at a time, never finishing it.
  std::atomic<bool> dripping{true};
  std::thread drip([&] {
    while (dripping) {
      for (int fd : slow) testpeer::SendAll(fd, "G");
      testpeer::Pause(100);
    }
  });
  // Answered within the guard time, well before the crowd's connections time out.
  const std::string answer = Ask(service.Port(), "POST " + kCheckIn + "&node=n HTTP/1.0\r\nContent-Length: 0\r\n\r\n");
  dripping = false;
  drip.join();
  for (int fd : idle) ::close(fd);
  for (int fd : slow) ::close(fd);
  EXPECT_NE(answer.find("HTTP/1.1 200 OK"), std::string::npos) << answer;
  EXPECT_EQ(answer.substr(answer.size() - 9), "127.0.0.1");
}

TEST(ServiceProcess, RequestBodiesAreRefusedBeforeTheyAreRead) {
  ServiceProcess service;
  ASSERT_GT(service.Port(), 0);
  struct Case {
    const char* name;
    std::string request;
    std::string status;
  } cases[] = {
      // Only the heads are sent: the answer must come without waiting for the body.
      {"a large body", "POST " + kCheckIn + " HTTP/1.1\r\nHost: h\r\nContent-Length: 100000000\r\n\r\n", "HTTP/1.1 413"},
      {"just over the limit", "POST " + kCheckIn + " HTTP/1.1\r\nHost: h\r\nContent-Length: 4097\r\n\r\n",
       "HTTP/1.1 413"},
      {"a chunked body", "POST " + kCheckIn + " HTTP/1.1\r\nHost: h\r\nTransfer-Encoding: chunked\r\n\r\n",
       "HTTP/1.1 413"},
      {"a body on a GET", "GET " + kCheckIn + " HTTP/1.1\r\nHost: h\r\nContent-Length: 5\r\n\r\n", "HTTP/1.1 400"},
      {"a length that is no number", "POST " + kCheckIn + " HTTP/1.1\r\nHost: h\r\nContent-Length: x\r\n\r\n",
       "HTTP/1.1 400"},
      {"a small body is read and answered",
       "POST " + kCheckIn + "&node=n HTTP/1.1\r\nHost: h\r\nConnection: close\r\nContent-Length: 5\r\n\r\nhello",
       "HTTP/1.1 200"},
  };
  for (const Case& c : cases) {
    // The service closes the connection after each of these answers, so the
    // whole answer arrives within the guard time.
    const std::string answer = Ask(service.Port(), c.request, 2000);
    EXPECT_EQ(answer.substr(0, c.status.size()), c.status) << c.name << ": " << answer;
  }
}
