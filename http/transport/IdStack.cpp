#include "http/transport/IdStack.h"

#include <arpa/inet.h>

#include "runtime/SysUtils.h"

namespace IdStackStrings {

const char* SocketErrorCodeText(int32_t code) {
  struct Entry {
    int32_t code;
    const char* text;
  };
  static constexpr Entry kTable[] = {
      {10004, "Interrupted system call."},
      {10009, "Bad file number."},
      {10013, "Access denied."},
      {10014, "Buffer fault."},
      {10022, "Invalid argument."},
      {10024, "Too many open files."},
      {10035, "Operation would block."},
      {10036, "Operation now in progress."},
      {10037, "Operation already in progress."},
      {10038, "Socket operation on non-socket."},
      {10039, "Destination address required."},
      {10040, "Message too long."},
      {10041, "Protocol wrong type for socket."},
      {10042, "Bad protocol option."},
      {10043, "Protocol not supported."},
      {10044, "Socket type not supported."},
      {10045, "Operation not supported on socket."},
      {10046, "Protocol family not supported."},
      {10047, "Address family not supported by protocol family."},
      {10048, "Address already in use."},
      {10049, "Cannot assign requested address."},
      {10050, "Network is down."},
      {10051, "Network is unreachable."},
      {10052, "Net dropped connection or reset."},
      {10053, "Software caused connection abort."},
      {10054, "Connection reset by peer."},
      {10055, "No buffer space available."},
      {10056, "Socket is already connected."},
      {10057, "Socket is not connected."},
      {10058, "Cannot send or receive after socket is closed."},
      {10059, "Too many references, cannot splice."},
      {10060, "Connection timed out."},
      {10061, "Connection refused."},
      {10062, "Too many levels of symbolic links."},
      {10063, "File name too long."},
      {10064, "Host is down."},
      {10065, "No route to host."},
      {10066, "Directory not empty"},
      {11001, "Host not found."},
  };
  for (const Entry& e : kTable)
    if (e.code == code) return e.text;
  return nullptr;
}

}  // namespace IdStackStrings

using namespace IdStackStrings;

// ---------------------------------------------------------------- TIdStack

namespace {

// Takes the text up to the first dot and removes it with the dot; without a
// dot the whole rest is taken.
std::string FetchPart(std::string& rest) {
  std::size_t dot = rest.find('.');
  std::string part;
  if (dot == std::string::npos) {
    part.swap(rest);
  } else {
    part = rest.substr(0, dot);
    rest.erase(0, dot + 1);
  }
  return part;
}

bool ParseQuad(const std::string& text, uint8_t out[4]) {
  std::string rest = text;
  for (int i = 0; i < 4; ++i) {
    int32_t value = 0;
    if (!TryStrToInt(Trim(FetchPart(rest)), value) || value < 0 || value > 255) return false;
    out[i] = static_cast<uint8_t>(value);
  }
  return rest.empty();
}

}  // namespace

bool TIdStack::IsIPv4Text(const std::string& text) {
  uint8_t bytes[4];
  return ParseQuad(text, bytes);
}

int32_t TIdStack::StartLibrary() { return 0; }

std::string TIdStack::LiteralHostAddress(const std::string& host, TIdIPVersion version) {
  switch (version) {
    case Id_IPv4:
      if (SameText(host, "LOCALHOST")) return "127.0.0.1";
      if (IsIPv4Text(host)) return host;
      return {};
    case Id_IPv6: {
      uint8_t bytes[16];
      if (!TIdStackBSDBase::IPv6TextToBytes(host, bytes)) return {};
      return TIdStackBSDBase::IPv6BytesToText(bytes);
    }
  }
  throw EIdIPVersionUnsupported(RSIPVersionUnsupported);
}

std::string TIdStack::SocketErrorText(int32_t code) {
  const char* text = SocketErrorCodeText(code);
  return Format(RSStackError, code, text ? text : "");
}

void TIdStack::RaiseSocketError(int32_t code) {
  if (code == Id_WSAENOTSOCK) throw EIdNotASocket(code, SocketErrorText(code));
  throw EIdSocketError(code, SocketErrorText(code));
}

// ---------------------------------------------------------- TIdStackBSDBase

bool TIdStackBSDBase::IPv4TextToBytes(const std::string& text, uint8_t out[4]) { return ParseQuad(text, out); }

std::string TIdStackBSDBase::IPv4BytesToText(const uint8_t in[4]) {
  return Format("%u.%u.%u.%u", in[0], in[1], in[2], in[3]);
}

std::string TIdStackBSDBase::IPv6BytesToText(const uint8_t in[16]) {
  std::string text;
  for (int i = 0; i < 8; ++i) {
    if (i > 0) text += ':';
    text += Format("%X", (in[2 * i] << 8) | in[2 * i + 1]);
  }
  return text;
}

bool TIdStackBSDBase::IPv6TextToBytes(const std::string& text, uint8_t out[16]) {
  std::string t = Trim(text);
  if (t.size() >= 2 && t.front() == '[' && t.back() == ']') t = t.substr(1, t.size() - 2);
  return !t.empty() && inet_pton(AF_INET6, t.c_str(), out) == 1;
}

std::string TIdStackBSDBase::NormalizeIPv6Address(const std::string& text) { return LiteralHostAddress(text, Id_IPv6); }
