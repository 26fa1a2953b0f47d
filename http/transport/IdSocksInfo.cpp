#include "http/transport/IdSocksInfo.h"

#include <cstring>

#include "http/transport/IdStackRegistry.h"
#include "runtime/SysUtils.h"

using namespace IdSocksStrings;

namespace {

void CheckPort(int32_t port) {
  if (port < 0 || port > 65535) throw EIdSocksError(Format(RSSocksInvalidPort, port));
}

void AppendPort(TIdBytes& bytes, int32_t port) {
  bytes.push_back(static_cast<uint8_t>(port >> 8));
  bytes.push_back(static_cast<uint8_t>(port & 0xFF));
}

void AppendRaw(TIdBytes& bytes, const uint8_t* data, std::size_t count) {
  // Grown explicitly: g++ 12 misreads range inserts into a freshly built vector as overflows.
  std::size_t old = bytes.size();
  bytes.resize(old + count);
  if (count > 0) std::memcpy(bytes.data() + old, data, count);
}

void AppendText(TIdBytes& bytes, const std::string& text) {
  AppendRaw(bytes, reinterpret_cast<const uint8_t*>(text.data()), text.size());
}

// Reads count bytes of a SOCKS 5 reply; any failure means the server did not answer properly.
TIdBytes ReadReply(TIdIOHandler& handler, int32_t count) {
  TIdBytes reply;
  try {
    handler.ReadBlock(reply, count, false);
  } catch (const EIdConnectTimeout&) {
    // The connect's own time limit ran out while the server kept silent.
    throw;
  } catch (const EIdException&) {
    throw EIdSocksServerRespondError(RSSocksServerRespondError);
  }
  return reply;
}

[[noreturn]] void RaiseSocks5Reply(uint8_t code) {
  switch (code) {
    case 1: throw EIdSocksServerGeneralError(RSSocksServerGeneralError);
    case 2: throw EIdSocksServerPermissionError(RSSocksServerPermissionError);
    case 3: throw EIdSocksServerNetUnreachableError(RSSocksServerNetUnreachableError);
    case 4: throw EIdSocksServerHostUnreachableError(RSSocksServerHostUnreachableError);
    case 5: throw EIdSocksServerConnectionRefusedError(RSSocksServerConnectionRefusedError);
    case 6: throw EIdSocksServerTTLExpiredError(RSSocksServerTTLExpiredError);
    case 7: throw EIdSocksServerCommandError(RSSocksServerCommandError);
    case 8: throw EIdSocksServerAddressError(RSSocksServerAddressError);
    default: throw EIdSocksUnknownError(RSSocksUnknownError);
  }
}

}  // namespace

TIdSocksInfo::TIdSocksInfo() { Port = 1080; }

void TIdSocksInfo::Assign(const TIdCustomTransparentProxy& source) {
  TIdCustomTransparentProxy::Assign(source);
  if (const auto* socks = dynamic_cast<const TIdSocksInfo*>(&source)) {
    Authentication = socks->Authentication;
    Version = socks->Version;
  }
}

void TIdSocksInfo::OpenThroughProxy(TIdIOHandler& handler, const std::string& host, int32_t port,
                                    TIdIPVersion version) {
  switch (Version) {
    case svSocks4:
    case svSocks4A: MakeSocks4Connection(handler, host, port); break;
    case svSocks5: MakeSocks5Connection(handler, host, port, version); break;
    case svNoSocks: break;
  }
}

TIdBytes TIdSocksInfo::MakeSocks4Request(const std::string& host, int32_t port) const {
  CheckPort(port);
  // A NUL ends a field on the wire, so one inside would shift the rest of the request.
  if (Username.find('\0') != std::string::npos || (Version == svSocks4A && host.find('\0') != std::string::npos))
    throw EIdSocksError(RSSocksNulInRequest);
  TIdBytes request{4, 1};
  AppendPort(request, port);
  if (Version == svSocks4A) {
    static constexpr uint8_t kUnresolved[4] = {0, 0, 0, 1};
    AppendRaw(request, kUnresolved, 4);
  } else {
    uint8_t address[4];
    std::string ip = GStack()->ResolveHostAddress(host, Id_IPv4);
    if (!TIdStackBSDBase::IPv4TextToBytes(ip, address)) GStack()->RaiseSocketError(Id_WSAHOST_NOT_FOUND);
    AppendRaw(request, address, 4);
  }
  AppendText(request, Username);
  request.push_back(0);
  if (Version == svSocks4A) {
    AppendText(request, host);
    request.push_back(0);
  }
  return request;
}

void TIdSocksInfo::MakeSocks4Connection(TIdIOHandler& handler, const std::string& host, int32_t port) {
  TIdBytes request = MakeSocks4Request(host, port);
  handler.BeginWriteBuffering();
  try {
    handler.WriteByteArray(request);
    handler.EndWriteBuffering();
  } catch (...) {
    handler.CancelWriteBuffering();
    throw;
  }
  TIdBytes reply;
  handler.ReadBlock(reply, 8, false);
  switch (reply[1]) {
    case 90: return;
    case 91: throw EIdSocksRequestFailed(RSSocksRequestFailed);
    case 92: throw EIdSocksRequestServerFailed(RSSocksRequestServerFailed);
    case 93: throw EIdSocksRequestIdentFailed(RSSocksRequestIdentFailed);
    default: throw EIdSocksUnknownError(RSSocksUnknownError);
  }
}

TIdBytes TIdSocksInfo::MakeSocks5ConnectRequest(const std::string& host, int32_t port, TIdIPVersion version) const {
  CheckPort(port);
  TIdBytes request{5, 1, 0};
  uint8_t address[16];
  if (TIdStack::IsIPv4Text(host) && TIdStackBSDBase::IPv4TextToBytes(host, address)) {
    request.push_back(1);
    AppendRaw(request, address, 4);
  } else if (version == Id_IPv6 && TIdStackBSDBase::IPv6TextToBytes(host, address)) {
    request.push_back(4);
    AppendRaw(request, address, 16);
  } else {
    if (host.size() > static_cast<std::size_t>(MaxSocks5HostName))
      throw EIdSocksHostNameTooLong(Format(RSSocksHostNameTooLong, static_cast<int>(std::min<std::size_t>(host.size(), INT32_MAX)),
                                           MaxSocks5HostName));
    request.push_back(3);
    request.push_back(static_cast<uint8_t>(host.size()));
    AppendText(request, host);
  }
  AppendPort(request, port);
  return request;
}

void TIdSocksInfo::MakeSocks5Connection(TIdIOHandler& handler, const std::string& host, int32_t port,
                                        TIdIPVersion version) {
  const bool withPassword = Authentication == saUsernamePassword;
  // Everything that can be refused is checked before the first byte goes out.
  if (withPassword && (Username.size() > 255 || Password.size() > 255)) throw EIdSocksAuthError(RSSocksCredentialTooLong);
  TIdBytes connectRequest = MakeSocks5ConnectRequest(host, port, version);

  const uint8_t method = withPassword ? 2 : 0;
  handler.SendDirect(TIdBytes{5, 1, method});
  TIdBytes reply = ReadReply(handler, 2);
  if (reply[1] != method || reply[1] == 255) throw EIdSocksAuthMethodError(RSSocksAuthMethodError);

  if (withPassword) {
    TIdBytes auth{1, static_cast<uint8_t>(Username.size())};
    AppendText(auth, Username);
    auth.push_back(static_cast<uint8_t>(Password.size()));
    AppendText(auth, Password);
    handler.SendDirect(auth);
    reply = ReadReply(handler, 2);
    if (reply[1] != 0) throw EIdSocksAuthError(RSSocksAuthError);
  }

  handler.SendDirect(connectRequest);
  reply = ReadReply(handler, 5);
  if (reply[1] != 0) RaiseSocks5Reply(reply[1]);
  // The rest of the bound address is read and dropped.
  switch (reply[3]) {
    case 1: ReadReply(handler, 5); break;
    case 3: ReadReply(handler, reply[4] + 2); break;
    case 4: ReadReply(handler, 17); break;
    default: throw EIdSocksUnknownError(RSSocksUnknownError);
  }
}
