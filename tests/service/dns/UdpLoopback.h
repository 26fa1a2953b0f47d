// A UDP socket bound to a free port on 127.0.0.1, for the DNS tests' stand-in
// servers (a capture of a client's update, a server that never answers, a
// relay in front of knotd).
#pragma once

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>

inline int UdpLoopback(int* port) {
  const int fd = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t length = sizeof a;
  ::bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a);
  ::getsockname(fd, reinterpret_cast<sockaddr*>(&a), &length);
  *port = ntohs(a.sin_port);
  return fd;
}
