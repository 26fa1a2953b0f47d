#include "app/SingleInstance.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/file.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <QSocketNotifier>
#include <QTimer>

#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <thread>

#include "settings/md5.h"

namespace {
using Clock = std::chrono::steady_clock;

constexpr char kRequest[] = "raise\n";
constexpr char kAnswer[] = "raised\n";
// A request longer than this is no request of ours.
constexpr std::size_t kMaxRequest = 64;
constexpr int kRequestTimeoutMs = 5000;

// A folder that only its owner, this user, may use; a link is never taken.
bool IsPrivateFolder(const std::string& folder, std::string& problem) {
  struct stat st {};
  if (::lstat(folder.c_str(), &st) != 0) {
    problem = folder + ": " + std::strerror(errno);
    return false;
  }
  if (!S_ISDIR(st.st_mode) || st.st_uid != ::geteuid() || (st.st_mode & 077) != 0) {
    problem = folder + " is not a folder of this user's alone";
    return false;
  }
  return true;
}

int MillisecondsLeft(Clock::time_point until) {
  const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(until - Clock::now()).count();
  return left > 0 ? static_cast<int>(left) : 0;
}

// Plain local sockets rather than Qt's: they are all this needs, and Qt's
// network library would bring Kerberos and the proxy libraries into every
// start of the window.
struct TFd {
  int fd;
  explicit TFd(int f = -1) : fd(f) {}
  ~TFd() {
    if (fd >= 0) ::close(fd);
  }
  TFd(const TFd&) = delete;
  TFd& operator=(const TFd&) = delete;
};

// The address of the socket file path; false when the path is too long for one.
bool AddressOf(const std::string& path, sockaddr_un& address) {
  address = sockaddr_un{};
  address.sun_family = AF_UNIX;
  if (path.size() >= sizeof address.sun_path) return false;
  path.copy(address.sun_path, path.size());
  return true;
}

// Waits until fd is ready for events or until; false when the time ran out
// or the socket failed.
bool WaitFor(int fd, short events, Clock::time_point until) {
  for (;;) {
    pollfd p{fd, events, 0};
    const int n = ::poll(&p, 1, MillisecondsLeft(until));
    if (n < 0 && errno == EINTR) continue;
    return n > 0 && (p.revents & events) != 0;
  }
}

// One connection to the running window: the request is read with a bounded
// length and time; a full request raises the window and is answered, and
// anything else drops the connection. Deletes itself when done.
class TRaiseRequest : public QObject {
 public:
  TRaiseRequest(int fd, QObject* parent, std::function<void()>& raise)
      : QObject(parent), fd_(fd), readable_(fd, QSocketNotifier::Read), raise_(raise) {
    connect(&readable_, &QSocketNotifier::activated, this, [this] { Read(); });
    // A client that says nothing is dropped after a while.
    QTimer::singleShot(kRequestTimeoutMs, this, [this] { Done(); });
  }

 private:
  void Read() {
    char chunk[kMaxRequest + 1];
    const ssize_t n = ::recv(fd_.fd, chunk, sizeof chunk, MSG_DONTWAIT);
    if (n < 0 && (errno == EAGAIN || errno == EINTR)) return;
    if (n <= 0) return Done();
    request_.append(chunk, static_cast<std::size_t>(n));
    const std::size_t end = request_.find('\n');
    if (end == std::string::npos) {
      if (request_.size() > kMaxRequest) Done();
      return;
    }
    if (request_.compare(0, end + 1, kRequest) == 0) {
      if (raise_) raise_();
      // A few bytes into a fresh socket's buffer: never blocks.
      (void)::send(fd_.fd, kAnswer, sizeof kAnswer - 1, MSG_NOSIGNAL | MSG_DONTWAIT);
    }
    Done();
  }

  void Done() {
    readable_.setEnabled(false);
    ::shutdown(fd_.fd, SHUT_RDWR);
    deleteLater();
  }

  TFd fd_;
  QSocketNotifier readable_;
  std::function<void()>& raise_;
  std::string request_;
};
}  // namespace

std::string TSingleInstance::RuntimeFolder(std::string& problem) {
  if (const char* xdg = std::getenv("XDG_RUNTIME_DIR"); xdg != nullptr && *xdg == '/') {
    std::string folder = xdg;
    while (folder.size() > 1 && folder.back() == '/') folder.pop_back();
    std::string ignored;
    if (IsPrivateFolder(folder, ignored)) return folder + "/";
  }
  // Without a login session's folder: one of our own in /tmp, which anyone
  // may have made first, so it is checked after making it.
  const std::string folder = "/tmp/pinmark-" + std::to_string(::geteuid());
  if (::mkdir(folder.c_str(), 0700) != 0 && errno != EEXIST) {
    problem = folder + ": " + std::strerror(errno);
    return std::string();
  }
  if (!IsPrivateFolder(folder, problem)) return std::string();
  return folder + "/";
}

std::string TSingleInstance::KeyOf(const std::string& settingsFile) {
  std::error_code error;
  std::filesystem::path path = std::filesystem::weakly_canonical(settingsFile, error);
  if (error) path = std::filesystem::absolute(settingsFile, error).lexically_normal();
  return "pinmark-" + DigestToHex(MD5OfString(path.string()));
}

TSingleInstance::TSingleInstance(const std::string& settingsFile) : key_(KeyOf(settingsFile)) {
  folder_ = RuntimeFolder(problem_);
}

TSingleInstance::~TSingleInstance() {
  listening_.reset();
  if (listenFd_ >= 0) ::close(listenFd_);
  if (lockFd_ >= 0) ::close(lockFd_);
}

std::string TSingleInstance::File(const char* extension) const { return folder_ + key_ + extension; }

bool TSingleInstance::TryLock() {
  if (lockFd_ < 0) {
    lockFd_ = ::open(File(".lock").c_str(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0600);
    if (lockFd_ < 0) {
      problem_ = File(".lock") + ": " + std::strerror(errno);
      return true;  // nothing to coordinate with: run as the first
    }
  }
  return ::flock(lockFd_, LOCK_EX | LOCK_NB) == 0;
}

bool TSingleInstance::AskToRaise(int waitMs) {
  const auto until = Clock::now() + std::chrono::milliseconds(waitMs);
  sockaddr_un address;
  if (!AddressOf(File(".socket"), address)) return false;
  TFd socket(::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0));
  if (socket.fd < 0) return false;
  // A local connect completes at once or fails (nobody listens, or the
  // holder's backlog is full: the caller tries again).
  if (::connect(socket.fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0) return false;
  std::size_t sent = 0;
  while (sent < sizeof kRequest - 1) {
    if (!WaitFor(socket.fd, POLLOUT, until)) return false;
    const ssize_t n = ::send(socket.fd, kRequest + sent, sizeof kRequest - 1 - sent, MSG_NOSIGNAL);
    if (n < 0 && (errno == EAGAIN || errno == EINTR)) continue;
    if (n <= 0) return false;
    sent += static_cast<std::size_t>(n);
  }
  std::string answer;
  while (answer.find('\n') == std::string::npos && answer.size() < kMaxRequest) {
    if (!WaitFor(socket.fd, POLLIN, until)) return false;
    char chunk[kMaxRequest];
    const ssize_t n = ::recv(socket.fd, chunk, sizeof chunk, 0);
    if (n < 0 && (errno == EAGAIN || errno == EINTR)) continue;
    if (n <= 0) break;
    answer.append(chunk, static_cast<std::size_t>(n));
  }
  return answer == kAnswer;
}

TSingleInstance::TClaim TSingleInstance::Claim(int waitMs) {
  if (folder_.empty()) return TClaim::First;
  const auto until = Clock::now() + std::chrono::milliseconds(waitMs);
  for (;;) {
    if (TryLock()) return TClaim::First;
    // A holder may not listen yet (it is starting) or no more (it is
    // ending): each try is short, and the lock is tried again in between.
    if (AskToRaise(std::min(MillisecondsLeft(until), 2000))) return TClaim::Raised;
    if (MillisecondsLeft(until) == 0) break;
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
  }
  problem_ = "Pinmark already runs with these settings but does not answer (lock " + File(".lock") + ")";
  return TClaim::NoAnswer;
}

void TSingleInstance::Listen(std::function<void()> raise) {
  if (folder_.empty() || lockFd_ < 0) return;
  raise_ = std::move(raise);
  const std::string path = File(".socket");
  sockaddr_un address;
  if (!AddressOf(path, address)) {
    problem_ = path + ": the name is too long for a local socket";
    return;
  }
  // Programs we start (the browser, the mail program) must not keep it.
  TFd socket(::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0));
  // The lock is ours, so a socket there is a crashed holder's. Only this
  // user may connect: the folder is the user's alone, and the socket is
  // made the user's alone too.
  ::unlink(path.c_str());
  if (socket.fd < 0 || ::bind(socket.fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0 ||
      ::chmod(path.c_str(), 0600) != 0 || ::listen(socket.fd, 16) != 0) {
    problem_ = path + ": " + std::strerror(errno);
    return;
  }
  listenFd_ = socket.fd;
  socket.fd = -1;
  listening_ = std::make_unique<QSocketNotifier>(listenFd_, QSocketNotifier::Read);
  connect(listening_.get(), &QSocketNotifier::activated, this, [this] { Serve(); });
}

void TSingleInstance::Serve() {
  for (;;) {
    const int client = ::accept4(listenFd_, nullptr, nullptr, SOCK_CLOEXEC | SOCK_NONBLOCK);
    if (client < 0) {
      if (errno == EINTR || errno == ECONNABORTED) continue;
      return;  // none left (or none to be had now: the notifier comes again)
    }
    new TRaiseRequest(client, this, raise_);
  }
}
