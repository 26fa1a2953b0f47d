// One Pinmark window per user and settings file. Two windows on one file
// would both check in and both write it; a second start instead brings the
// running window to the front and ends.
//
// The first start holds an exclusive lock (flock) on a file in the user's
// runtime folder, named after the settings file, and then listens on a local
// socket beside it. A later start finds the lock taken, connects and asks the
// running one to come to the front; the running one answers once it has. The
// lock goes with the process, so a crashed Pinmark never blocks the next
// start, and a stale socket is replaced by whoever takes the lock.
//
// The runtime folder is $XDG_RUNTIME_DIR (the user's alone, made at login),
// or else /tmp/pinmark-<uid>, made for the user alone and refused when it
// belongs to anyone else or others may use it.
//
// Guarantees: every wait is bounded; the lock and the socket are not handed
// to programs that this one starts; a request is read with a bounded length
// and time, so a stray client cannot hold the window.
#pragma once

#include <QObject>

#include <functional>
#include <memory>
#include <string>

class QSocketNotifier;

class TSingleInstance : public QObject {
 public:
  // For the settings file settingsFile (taken as an absolute path with its
  // links resolved; it need not exist yet).
  explicit TSingleInstance(const std::string& settingsFile);
  ~TSingleInstance() override;
  TSingleInstance(const TSingleInstance&) = delete;
  TSingleInstance& operator=(const TSingleInstance&) = delete;

  enum class TClaim {
    First,     // this process is the one: go on starting
    Raised,    // a running one came to the front: end
    NoAnswer,  // a running one holds the lock but did not answer (Problem says so)
  };

  // Takes the lock, or asks the running holder to come to the front, trying
  // for at most waitMs while a holder is still starting (not yet listening)
  // or ending. Without a runtime folder that is safe to use, this process
  // counts as the first and Problem says why others cannot find it. Blocks.
  TClaim Claim(int waitMs = 10000);

  // After Claim gave First: answers later starts by calling raise on the
  // GUI thread. Without a socket, Problem says why.
  void Listen(std::function<void()> raise);

  const std::string& Problem() const { return problem_; }

  // The runtime folder with its trailing '/', made when missing; empty, with
  // problem set, when there is none that is safe to use.
  static std::string RuntimeFolder(std::string& problem);

  // The base name of the lock and socket files of a settings file.
  static std::string KeyOf(const std::string& settingsFile);

 private:
  // The lock or socket file in the runtime folder: ".lock" or ".socket".
  std::string File(const char* extension) const;
  bool TryLock();
  bool AskToRaise(int waitMs);
  void Serve();

  std::string folder_, key_, problem_;
  int lockFd_ = -1;
  int listenFd_ = -1;
  std::unique_ptr<QSocketNotifier> listening_;
  std::function<void()> raise_;
};
