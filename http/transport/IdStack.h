// The socket stack's interface: one object that owns every call into the
// operating system's socket interface, turns failures into numbered
// EIdSocketError exceptions and converts between addresses and their text.
// Which stack exists, and when, is the registry's business
// (http/transport/IdStackRegistry.h); nothing here knows a concrete stack.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "http/IdException.h"
#include "http/IdGlobal.h"

#include "http/IdIPVersion.h"

using TIdStackSocketHandle = int;
inline constexpr TIdStackSocketHandle Id_INVALID_SOCKET = -1;
inline constexpr int32_t Id_SOCK_STREAM = 1;
inline constexpr int32_t Id_IPPROTO_TCP = 6;
inline constexpr int32_t Id_TCP_NODELAY = 1;
inline constexpr int32_t Id_SOCKET_ERROR = -1;

// Error codes the layers above test for by number.
inline constexpr int32_t Id_WSAEINTR = 10004;
inline constexpr int32_t Id_WSAEBADF = 10009;
inline constexpr int32_t Id_WSAENOTSOCK = 10038;
inline constexpr int32_t Id_WSAECONNRESET = 10054;
inline constexpr int32_t Id_WSAETIMEDOUT = 10060;
inline constexpr int32_t Id_WSAECONNREFUSED = 10061;
inline constexpr int32_t Id_WSAHOST_NOT_FOUND = 11001;

// Every message the socket stack and its socket handles raise.
namespace IdStackStrings {
inline constexpr const char* RSStackError = "Socket Error # %d\r\n%s";
inline constexpr const char* RSStackClassUndefined = "Stack Class is undefined.";
inline constexpr const char* RSStackAlreadyCreated = "Stack already created.";
inline constexpr const char* RSStackInitializationFailed = "Winsock Initialization Error.";
inline constexpr const char* RSSetSizeExceeded = "Set Size Exceeded.";
inline constexpr const char* RSIPVersionUnsupported = "The requested IPVersion / Address family is not supported.";
inline constexpr const char* RSIPv6Unavailable = "IPv6 unavailable";
inline constexpr const char* RSCouldNotBindSocket = "Could not bind socket. Address and port are already in use.";
inline constexpr const char* RSInvalidPortRange = "Invalid Port Range (%d - %d)";
inline constexpr const char* RSCannotBindRange = "Can not bind in port range (%d - %d)";
inline constexpr const char* RSCannotSetIPVersionWhenConnected = "Cannot change IPVersion when connected";
inline constexpr const char* RSConnectionClosedGracefully = "Connection Closed Gracefully.";
inline constexpr const char* RSInvalidIPAddress = "Invalid IP address: %s";
inline constexpr const char* RSInvalidPort = "Invalid port %d (allowed 0 to 65535)";

// The text that belongs to a socket error code, or nullptr for a code that has none.
const char* SocketErrorCodeText(int32_t code);
}  // namespace IdStackStrings

class TIdStack {
 public:
  TIdStack() = default;
  virtual ~TIdStack() = default;
  TIdStack(const TIdStack&) = delete;
  TIdStack& operator=(const TIdStack&) = delete;

  // The machine's own host name, read when the stack is created.
  std::string LocalHostName;

  // Runs once per process, before the first stack is used; 0 means started.
  virtual int32_t StartLibrary();

  // A dotted quad of four numbers 0..255 (blanks around a part are allowed).
  static bool IsIPv4Text(const std::string& text);
  // What a host needs no lookup for: "localhost" (any case) as 127.0.0.1 and
  // a dotted quad unchanged for IPv4, the full form of a literal for IPv6;
  // empty text for a name. Raises EIdIPVersionUnsupported for another version.
  static std::string LiteralHostAddress(const std::string& host, TIdIPVersion version);
  // The host's address: a literal as above, else looked up. Raises
  // EIdSocketError 11001 for an unknown host.
  virtual std::string ResolveHostAddress(const std::string& host, TIdIPVersion version) = 0;
  // Name service lookup only.
  virtual std::string LookupHostAddress(const std::string& host, TIdIPVersion version) = 0;
  // The full form of an IPv6 literal, or empty text for anything else.
  virtual std::string NormalizeIPv6Address(const std::string& text) = 0;

  virtual TIdStackSocketHandle CreateSocket(int32_t type, int32_t protocol, bool overlapped, TIdIPVersion version) = 0;
  virtual void BindSocket(TIdStackSocketHandle socket, const std::string& ip, TIdIPVersion version, int32_t port) = 0;
  // Blocks until the connect ends. Writing to cancelFd (when given) abandons
  // the attempt, which then fails with 10038.
  virtual void ConnectSocket(TIdStackSocketHandle socket, const std::string& ip, TIdIPVersion version, int32_t port,
                             int cancelFd = -1) = 0;
  // Fills up to area.size() bytes; 0 means the peer closed.
  virtual int32_t ReceiveData(TIdStackSocketHandle socket, TIdBytes& area) = 0;
  // Sends what the socket takes of count bytes from offset (-1 = to the end).
  virtual int32_t SendData(TIdStackSocketHandle socket, const TIdBytes& bytes, int32_t offset, int32_t count = -1) = 0;
  // Receives up to size bytes into data without waiting: the count, 0 when
  // the peer closed, -1 when nothing has arrived.
  virtual int32_t ReceiveAvailable(TIdStackSocketHandle socket, uint8_t* data, int32_t size) = 0;
  // Sends what the socket takes of size bytes at data; without wait, -1 when
  // the socket has no room at the moment.
  virtual int32_t SendBuffer(TIdStackSocketHandle socket, const uint8_t* data, int32_t size, bool wait = true) = 0;
  // Never fails.
  virtual void CloseSocketHandle(TIdStackSocketHandle socket) = 0;
  virtual void LocalEndpoint(TIdStackSocketHandle socket, std::string& ip, int32_t& port) = 0;
  virtual void PeerEndpoint(TIdStackSocketHandle socket, std::string& ip, int32_t& port) = 0;
  virtual void SetTcpOption(TIdStackSocketHandle socket, int32_t level, int32_t option, int32_t value) = 0;
  virtual int32_t GetSocketOption(TIdStackSocketHandle socket, int32_t level, int32_t option) = 0;
  // This machine's IPv4 addresses, gathered on first use.
  virtual const std::vector<std::string>& LocalAddresses() = 0;

  // The code of the last failing call on this thread.
  virtual int32_t LastSocketError() = 0;
  // Raises the error of the last failing call on this thread.
  [[noreturn]] virtual void RaiseLastSocketError() = 0;
  // "Socket Error # <code>\r\n<text>".
  virtual std::string SocketErrorText(int32_t code);
  // EIdNotASocket for 10038, EIdSocketError for every other code.
  [[noreturn]] void RaiseSocketError(int32_t code);
};

// Stack over a BSD-style interface: address text conversions.
class TIdStackBSDBase : public TIdStack {
 public:
  // Four bytes in network order, or false for text that is not a dotted quad.
  static bool IPv4TextToBytes(const std::string& text, uint8_t out[4]);
  static std::string IPv4BytesToText(const uint8_t in[4]);
  // Eight groups in upper-case hexadecimal without leading zeros, no "::".
  static std::string IPv6BytesToText(const uint8_t in[16]);
  std::string NormalizeIPv6Address(const std::string& text) override;
  static bool IPv6TextToBytes(const std::string& text, uint8_t out[16]);
};
