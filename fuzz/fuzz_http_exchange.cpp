// Arbitrary bytes as a server's whole answer to an exchange: a loopback peer
// reads each request head, sends the input and closes. The first byte picks
// the client's settings so redirects, in-process authentication and GET are
// reached too.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <cstdint>
#include <mutex>
#include <string>
#include <thread>

#include "http/IdHTTP.h"

namespace {
class AnswerPeer {
 public:
  AnswerPeer() {
    listenFd_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ::bind(listenFd_, reinterpret_cast<sockaddr*>(&a), sizeof a);
    ::listen(listenFd_, 64);
    socklen_t len = sizeof a;
    ::getsockname(listenFd_, reinterpret_cast<sockaddr*>(&a), &len);
    port_ = ntohs(a.sin_port);
    std::thread([this] { Run(); }).detach();
  }
  void SetAnswer(std::string answer) {
    std::lock_guard<std::mutex> g(lock_);
    answer_ = std::move(answer);
  }
  int Port() const { return port_; }

 private:
  void Run() {
    for (;;) {
      int fd = ::accept4(listenFd_, nullptr, nullptr, SOCK_CLOEXEC);
      if (fd < 0) continue;
      std::string head;
      char buf[4096];
      while (head.find("\r\n\r\n") == std::string::npos) {
        pollfd p{fd, POLLIN, 0};
        if (::poll(&p, 1, 2000) <= 0) break;
        ssize_t n = ::recv(fd, buf, sizeof buf, 0);
        if (n <= 0) break;
        head.append(buf, static_cast<std::size_t>(n));
      }
      std::string answer;
      {
        std::lock_guard<std::mutex> g(lock_);
        answer = answer_;
      }
      std::size_t done = 0;
      while (done < answer.size()) {
        ssize_t n = ::send(fd, answer.data() + done, answer.size() - done, MSG_NOSIGNAL);
        if (n <= 0) break;
        done += static_cast<std::size_t>(n);
      }
      ::shutdown(fd, SHUT_WR);
      ::close(fd);
    }
  }
  int listenFd_ = -1;
  int port_ = 0;
  std::mutex lock_;
  std::string answer_;
};
}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static AnswerPeer* peer = new AnswerPeer();
  if (size == 0) return 0;
  const uint8_t mode = data[0];
  peer->SetAnswer(std::string(reinterpret_cast<const char*>(data + 1), size - 1));
  const std::string url = "http://user:pw@127.0.0.1:" + std::to_string(peer->Port()) + "/x.php?a=1";
  try {
    TIdHTTP http;
    http.HandleRedirects = mode & 1;
    if (mode & 2) http.HTTPOptions |= hoInProcessAuth;
    http.SetReadTimeout(2000);
    if (mode & 4) {
      TStringStream out;
      http.Get(url, out);
    } else {
      (void)http.PostFormText(url, nullptr);
    }
  } catch (const Exception&) {
    // Refused answers, closed connections and conversion errors are expected.
  }
  return 0;
}
