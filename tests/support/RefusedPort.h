// A port on this machine where nobody listens: bound once by the system's
// choice and given up again, so a connect to it is refused.
#pragma once

#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

inline int RefusedPort() {
  const int s = ::socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  ::bind(s, reinterpret_cast<sockaddr*>(&a), sizeof a);
  socklen_t n = sizeof a;
  ::getsockname(s, reinterpret_cast<sockaddr*>(&a), &n);
  ::close(s);
  return ntohs(a.sin_port);
}
