#include "http/transport/IdStackPosix.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <ifaddrs.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "runtime/SysUtils.h"

using namespace IdStackStrings;

namespace {

struct AddrInfoHolder {
  addrinfo* list = nullptr;
  ~AddrInfoHolder() {
    if (list) freeaddrinfo(list);
  }
};

struct IfAddrsHolder {
  ifaddrs* list = nullptr;
  ~IfAddrsHolder() {
    if (list) freeifaddrs(list);
  }
};

// Puts a socket in non-blocking mode for the life of the object.
class NonBlockingScope {
 public:
  explicit NonBlockingScope(int fd) : fd_(fd), flags_(fcntl(fd, F_GETFL)) {
    if (flags_ != -1 && !(flags_ & O_NONBLOCK)) fcntl(fd_, F_SETFL, flags_ | O_NONBLOCK);
  }
  ~NonBlockingScope() {
    if (flags_ != -1 && !(flags_ & O_NONBLOCK)) fcntl(fd_, F_SETFL, flags_);
  }
  NonBlockingScope(const NonBlockingScope&) = delete;
  NonBlockingScope& operator=(const NonBlockingScope&) = delete;

 private:
  int fd_;
  int flags_;
};

int FamilyOf(TIdIPVersion version) {
  switch (version) {
    case Id_IPv4: return AF_INET;
    case Id_IPv6: return AF_INET6;
  }
  throw EIdIPVersionUnsupported(RSIPVersionUnsupported);
}

}  // namespace

TIdStackPosix::TIdStackPosix() {
  char name[250] = {};
  gethostname(name, sizeof name - 1);
  LocalHostName = name;
}

int32_t TIdStackPosix::TranslateErrno(int error) {
  switch (error) {
    case 0: return 0;
    case EINTR: return 10004;
    case EBADF: return 10009;
    case EACCES:
    case EPERM: return 10013;
    case EFAULT: return 10014;
    case EINVAL: return 10022;
    case EMFILE:
    case ENFILE: return 10024;
    case EAGAIN: return 10035;
#if EWOULDBLOCK != EAGAIN
    case EWOULDBLOCK: return 10035;
#endif
    case EINPROGRESS: return 10036;
    case EALREADY: return 10037;
    case ENOTSOCK: return 10038;
    case EDESTADDRREQ: return 10039;
    case EMSGSIZE: return 10040;
    case EPROTOTYPE: return 10041;
    case ENOPROTOOPT: return 10042;
    case EPROTONOSUPPORT: return 10043;
    case ESOCKTNOSUPPORT: return 10044;
    case EOPNOTSUPP: return 10045;
    case EPFNOSUPPORT: return 10046;
    case EAFNOSUPPORT: return 10047;
    case EADDRINUSE: return 10048;
    case EADDRNOTAVAIL: return 10049;
    case ENETDOWN: return 10050;
    case ENETUNREACH: return 10051;
    case ENETRESET: return 10052;
    case ECONNABORTED: return 10053;
    case ECONNRESET:
    case EPIPE: return 10054;  // sending after the peer reset the connection
    case ENOBUFS:
    case ENOMEM: return 10055;
    case EISCONN: return 10056;
    case ENOTCONN: return 10057;
    case ESHUTDOWN: return 10058;
    case ETOOMANYREFS: return 10059;
    case ETIMEDOUT: return 10060;
    case ECONNREFUSED: return 10061;
    case ELOOP: return 10062;
    case ENAMETOOLONG: return 10063;
    case EHOSTDOWN: return 10064;
    case EHOSTUNREACH: return 10065;
    case ENOTEMPTY: return 10066;
    case EUSERS: return 10068;
    case EDQUOT: return 10069;
    case ESTALE: return 10070;
    case EREMOTE: return 10071;
    default: return error;
  }
}

int32_t TIdStackPosix::TranslateResolverError(int result, int systemError) {
  switch (result) {
    case 0: return 0;
    case EAI_BADFLAGS: return 10022;
    case EAI_NONAME: return 11001;
    case EAI_AGAIN: return 11002;
    case EAI_FAIL: return 11003;
    case EAI_FAMILY: return 10047;
    case EAI_SOCKTYPE: return 10044;
    case EAI_SERVICE: return 10109;
    case EAI_MEMORY: return 8;
    case EAI_OVERFLOW: return 10022;
#ifdef EAI_NODATA
    case EAI_NODATA: return 11004;
#endif
#ifdef EAI_ADDRFAMILY
    case EAI_ADDRFAMILY: return 11004;
#endif
    case EAI_SYSTEM: return TranslateErrno(systemError);
    default: return result;
  }
}

int32_t TIdStackPosix::LastSocketError() { return TranslateErrno(errno); }

void TIdStackPosix::RaiseLastSocketError() { RaiseSocketError(LastSocketError()); }

int32_t TIdStackPosix::CheckSocketResult(int32_t result) {
  if (result == Id_SOCKET_ERROR) RaiseLastSocketError();
  return result;
}

std::string TIdStackPosix::ResolveHostAddress(const std::string& host, TIdIPVersion version) {
  std::string literal = LiteralHostAddress(host, version);
  return literal.empty() ? LookupHostAddress(host, version) : literal;
}

std::string TIdStackPosix::LookupHostAddress(const std::string& host, TIdIPVersion version) {
  addrinfo hints{};
  hints.ai_family = FamilyOf(version);
  hints.ai_socktype = SOCK_STREAM;
  AddrInfoHolder result;
  // A name with an embedded NUL would be looked up cut short; it names no host.
  if (host.empty() || host.find('\0') != std::string::npos) RaiseSocketError(Id_WSAHOST_NOT_FOUND);
  int rc = getaddrinfo(host.c_str(), nullptr, &hints, &result.list);
  int saved = errno;
  if (rc != 0) RaiseSocketError(TranslateResolverError(rc, saved));
  for (addrinfo* ai = result.list; ai; ai = ai->ai_next) {
    if (ai->ai_family == AF_INET && version == Id_IPv4) {
      auto* sin = reinterpret_cast<sockaddr_in*>(ai->ai_addr);
      return IPv4BytesToText(reinterpret_cast<const uint8_t*>(&sin->sin_addr));
    }
    if (ai->ai_family == AF_INET6 && version == Id_IPv6) {
      auto* sin6 = reinterpret_cast<sockaddr_in6*>(ai->ai_addr);
      return IPv6BytesToText(sin6->sin6_addr.s6_addr);
    }
  }
  RaiseSocketError(11004);
}

TIdStackSocketHandle TIdStackPosix::CreateSocket(int32_t type, int32_t protocol, bool /*overlapped*/,
                                                 TIdIPVersion version) {
  int fd = ::socket(FamilyOf(version), type | SOCK_CLOEXEC, protocol);
  if (fd < 0) RaiseLastSocketError();
  return fd;
}

namespace {

// Fills a socket address; an empty IP text means any local address.
socklen_t MakeAddress(TIdStackPosix& stack, const std::string& ip, TIdIPVersion version, int32_t port,
                      sockaddr_storage& sa) {
  if (port < 0 || port > 65535) stack.RaiseSocketError(10022);
  std::memset(&sa, 0, sizeof sa);
  if (version == Id_IPv4) {
    auto* sin = reinterpret_cast<sockaddr_in*>(&sa);
    sin->sin_family = AF_INET;
    sin->sin_port = htons(static_cast<uint16_t>(port));
    if (!ip.empty() && !TIdStackBSDBase::IPv4TextToBytes(ip, reinterpret_cast<uint8_t*>(&sin->sin_addr)))
      stack.RaiseSocketError(10022);
    return sizeof(sockaddr_in);
  }
  if (version == Id_IPv6) {
    auto* sin6 = reinterpret_cast<sockaddr_in6*>(&sa);
    sin6->sin6_family = AF_INET6;
    sin6->sin6_port = htons(static_cast<uint16_t>(port));
    if (!ip.empty() && !TIdStackBSDBase::IPv6TextToBytes(ip, sin6->sin6_addr.s6_addr)) stack.RaiseSocketError(10022);
    return sizeof(sockaddr_in6);
  }
  throw EIdIPVersionUnsupported(RSIPVersionUnsupported);
}

void ReadEndpoint(const sockaddr_storage& sa, std::string& ip, int32_t& port) {
  if (sa.ss_family == AF_INET) {
    const auto* sin = reinterpret_cast<const sockaddr_in*>(&sa);
    ip = TIdStackBSDBase::IPv4BytesToText(reinterpret_cast<const uint8_t*>(&sin->sin_addr));
    port = ntohs(sin->sin_port);
  } else if (sa.ss_family == AF_INET6) {
    const auto* sin6 = reinterpret_cast<const sockaddr_in6*>(&sa);
    ip = TIdStackBSDBase::IPv6BytesToText(sin6->sin6_addr.s6_addr);
    port = ntohs(sin6->sin6_port);
  } else {
    throw EIdIPVersionUnsupported(RSIPVersionUnsupported);
  }
}

}  // namespace

void TIdStackPosix::BindSocket(TIdStackSocketHandle socket, const std::string& ip, TIdIPVersion version,
                               int32_t port) {
  sockaddr_storage sa;
  socklen_t len = MakeAddress(*this, ip, version, port, sa);
  if (::bind(socket, reinterpret_cast<sockaddr*>(&sa), len) != 0) RaiseLastSocketError();
}

void TIdStackPosix::ConnectSocket(TIdStackSocketHandle socket, const std::string& ip, TIdIPVersion version,
                                  int32_t port, int cancelFd) {
  if (ip.empty()) RaiseSocketError(10022);
  sockaddr_storage sa;
  socklen_t len = MakeAddress(*this, ip, version, port, sa);
  // A blocking connect cannot be called off from another thread on Linux (closing
  // the socket does not wake it), so connect without blocking and wait for
  // either the socket or the cancel descriptor.
  NonBlockingScope nonBlocking(socket);
  int error = 0;
  if (::connect(socket, reinterpret_cast<sockaddr*>(&sa), len) != 0) error = errno;
  if (error == EINPROGRESS || error == EINTR) {
    error = 0;
    for (;;) {
      pollfd fds[2] = {{socket, POLLOUT, 0}, {cancelFd, POLLIN, 0}};
      int n = ::poll(fds, cancelFd >= 0 ? 2 : 1, -1);
      if (n < 0) {
        if (errno == EINTR) continue;
        error = errno;
        break;
      }
      if (cancelFd >= 0 && fds[1].revents != 0) RaiseSocketError(Id_WSAENOTSOCK);
      if (fds[0].revents & POLLNVAL) RaiseSocketError(Id_WSAENOTSOCK);
      if (fds[0].revents != 0) {
        socklen_t elen = sizeof error;
        if (getsockopt(socket, SOL_SOCKET, SO_ERROR, &error, &elen) != 0) error = errno;
        break;
      }
    }
  }
  if (error != 0) RaiseSocketError(TranslateErrno(error));
}

namespace {

// recv and send, started again when a signal interrupts them; -1 leaves errno set.
ssize_t Receive(int socket, void* data, std::size_t size, int flags) {
  for (;;) {
    ssize_t n = ::recv(socket, data, size, flags);
    if (n >= 0 || errno != EINTR) return n;
  }
}

ssize_t Send(int socket, const void* data, std::size_t size, int flags) {
  for (;;) {
    ssize_t n = ::send(socket, data, size, flags | MSG_NOSIGNAL);
    if (n >= 0 || errno != EINTR) return n;
  }
}

bool WouldBlock(int error) { return error == EAGAIN || error == EWOULDBLOCK; }

}  // namespace

// The area is filled in receives of at most this many bytes: copying a
// larger piece out of the socket at once pushes its own source and
// destination out of the first-level cache, and a loopback download then
// runs about a tenth slower.
constexpr std::size_t kReceiveSlice = 16 * 1024;

int32_t TIdStackPosix::ReceiveData(TIdStackSocketHandle socket, TIdBytes& area) {
  if (area.empty()) RaiseSocketError(10022);
  ssize_t n = Receive(socket, area.data(), std::min(area.size(), kReceiveSlice), 0);
  if (n < 0) RaiseLastSocketError();
  auto filled = static_cast<std::size_t>(n);
  // Further slices only of bytes already queued: such a receive neither
  // waits nor takes an error or the peer's close that follows them, which
  // the next receive then reports after the bytes before it were handed on.
  while (filled > 0 && filled % kReceiveSlice == 0 && filled < area.size()) {
    int queued = 0;
    if (::ioctl(socket, FIONREAD, &queued) != 0 || queued <= 0) break;
    const std::size_t want = std::min({area.size() - filled, kReceiveSlice, static_cast<std::size_t>(queued)});
    const ssize_t more = Receive(socket, area.data() + filled, want, MSG_DONTWAIT);
    if (more <= 0) break;
    filled += static_cast<std::size_t>(more);
  }
  return static_cast<int32_t>(filled);
}

int32_t TIdStackPosix::ReceiveAvailable(TIdStackSocketHandle socket, uint8_t* data, int32_t size) {
  if (size <= 0) RaiseSocketError(10022);
  ssize_t n = Receive(socket, data, static_cast<std::size_t>(size), MSG_DONTWAIT);
  if (n >= 0) return static_cast<int32_t>(n);
  if (WouldBlock(errno)) return -1;
  RaiseLastSocketError();
}

int32_t TIdStackPosix::SendData(TIdStackSocketHandle socket, const TIdBytes& bytes, int32_t offset, int32_t count) {
  auto size = static_cast<int64_t>(bytes.size());
  if (offset < 0 || offset > size) RaiseSocketError(10022);
  if (count < 0 || count > size - offset) count = static_cast<int32_t>(size - offset);
  return SendBuffer(socket, bytes.data() + offset, count);
}

int32_t TIdStackPosix::SendBuffer(TIdStackSocketHandle socket, const uint8_t* data, int32_t size, bool wait) {
  if (size < 0) RaiseSocketError(10022);
  if (size == 0) return 0;
  ssize_t n = Send(socket, data, static_cast<std::size_t>(size), wait ? 0 : MSG_DONTWAIT);
  if (n >= 0) return static_cast<int32_t>(n);
  if (!wait && WouldBlock(errno)) return -1;
  RaiseLastSocketError();
}

void TIdStackPosix::CloseSocketHandle(TIdStackSocketHandle socket) {
  ::shutdown(socket, SHUT_WR);
  ::close(socket);
}

void TIdStackPosix::LocalEndpoint(TIdStackSocketHandle socket, std::string& ip, int32_t& port) {
  sockaddr_storage sa{};
  socklen_t len = sizeof sa;
  if (::getsockname(socket, reinterpret_cast<sockaddr*>(&sa), &len) != 0) RaiseLastSocketError();
  ReadEndpoint(sa, ip, port);
}

void TIdStackPosix::PeerEndpoint(TIdStackSocketHandle socket, std::string& ip, int32_t& port) {
  sockaddr_storage sa{};
  socklen_t len = sizeof sa;
  if (::getpeername(socket, reinterpret_cast<sockaddr*>(&sa), &len) != 0) RaiseLastSocketError();
  ReadEndpoint(sa, ip, port);
}

void TIdStackPosix::SetTcpOption(TIdStackSocketHandle socket, int32_t level, int32_t option, int32_t value) {
  int v = value;
  if (::setsockopt(socket, level, option, &v, sizeof v) != 0) RaiseLastSocketError();
}

int32_t TIdStackPosix::GetSocketOption(TIdStackSocketHandle socket, int32_t level, int32_t option) {
  int v = 0;
  socklen_t len = sizeof v;
  if (::getsockopt(socket, level, option, &v, &len) != 0) RaiseLastSocketError();
  return v;
}

const std::vector<std::string>& TIdStackPosix::LocalAddresses() {
  if (!localAddresses_) {
    auto list = std::make_unique<std::vector<std::string>>();
    IfAddrsHolder ifs;
    if (getifaddrs(&ifs.list) == 0) {
      for (ifaddrs* i = ifs.list; i; i = i->ifa_next) {
        if (!i->ifa_addr || i->ifa_addr->sa_family != AF_INET) continue;
        auto* sin = reinterpret_cast<sockaddr_in*>(i->ifa_addr);
        list->push_back(IPv4BytesToText(reinterpret_cast<const uint8_t*>(&sin->sin_addr)));
      }
    }
    localAddresses_ = std::move(list);
  }
  return *localAddresses_;
}
