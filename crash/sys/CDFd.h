// A file descriptor that closes itself: the one holder for the descriptors
// the crash reporter opens (files it reads, sockets to its helper).
//
// Closing is safe in a signal handler.
#pragma once

#include <unistd.h>

#include <utility>

class TCDFd {
 public:
  explicit TCDFd(int fd = -1) : fd_(fd) {}
  ~TCDFd() {
    if (fd_ >= 0) ::close(fd_);
  }
  TCDFd(const TCDFd&) = delete;
  TCDFd& operator=(const TCDFd&) = delete;

  int Get() const { return fd_; }
  // Closes now and says whether that worked (a write's last chance to fail).
  bool Close() { return ::close(std::exchange(fd_, -1)) == 0; }

 private:
  int fd_;
};
