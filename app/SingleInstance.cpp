#include "app/SingleInstance.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <QLocalServer>
#include <QLocalSocket>
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
constexpr qint64 kMaxRequest = 64;
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
  if (server_) server_->close();
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
  QLocalSocket socket;
  socket.connectToServer(QString::fromLocal8Bit(File(".socket")));
  if (!socket.waitForConnected(MillisecondsLeft(until))) return false;
  socket.write(kRequest);
  if (!socket.waitForBytesWritten(MillisecondsLeft(until))) return false;
  QByteArray answer;
  while (!answer.contains('\n') && answer.size() < kMaxRequest && socket.waitForReadyRead(MillisecondsLeft(until)))
    answer += socket.readAll();
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
  const QString name = QString::fromLocal8Bit(File(".socket"));
  // The lock is ours, so a socket there is a crashed holder's.
  QLocalServer::removeServer(name);
  server_ = std::make_unique<QLocalServer>();
  server_->setSocketOptions(QLocalServer::UserAccessOption);
  if (!server_->listen(name)) {
    problem_ = File(".socket") + ": " + server_->errorString().toStdString();
    server_.reset();
    return;
  }
  // Qt opens its socket without close-on-exec: programs we start (the
  // browser, the mail program) must not keep it.
  const int fd = static_cast<int>(server_->socketDescriptor());
  if (fd >= 0) ::fcntl(fd, F_SETFD, ::fcntl(fd, F_GETFD) | FD_CLOEXEC);
  connect(server_.get(), &QLocalServer::newConnection, this, [this] { Serve(); });
}

void TSingleInstance::Serve() {
  while (QLocalSocket* client = server_->nextPendingConnection()) {
    connect(client, &QLocalSocket::disconnected, client, &QObject::deleteLater);
    // A client that says nothing is dropped after a while.
    QTimer::singleShot(kRequestTimeoutMs, client, [client] { client->abort(); });
    connect(client, &QLocalSocket::readyRead, client, [this, client] {
      if (!client->canReadLine()) {
        if (client->bytesAvailable() > kMaxRequest) client->abort();
        return;
      }
      if (client->readLine(kMaxRequest + 1) != kRequest) {
        client->abort();
        return;
      }
      if (raise_) raise_();
      client->write(kAnswer);
      client->disconnectFromServer();
    });
  }
}
