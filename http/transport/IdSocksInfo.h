// A SOCKS 4, 4A or 5 client (with user name and password for 5) that reaches
// the target through a proxy over the handler's connected socket.
#pragma once

#include "http/transport/IdCustomTransparentProxy.h"

enum TSocksVersion { svNoSocks, svSocks4, svSocks4A, svSocks5 };
enum TSocksAuthentication { saNoAuthentication, saUsernamePassword };

namespace IdSocksStrings {
inline constexpr const char* RSSocksRequestFailed = "Request rejected or failed.";
inline constexpr const char* RSSocksRequestServerFailed = "Request rejected because SOCKS server cannot connect.";
inline constexpr const char* RSSocksRequestIdentFailed =
    "Request rejected because the client program and identd report different user-ids.";
inline constexpr const char* RSSocksUnknownError = "Unknown socks error.";
inline constexpr const char* RSSocksServerRespondError = "Socks server did not respond.";
inline constexpr const char* RSSocksAuthMethodError = "Invalid socks authentication method.";
inline constexpr const char* RSSocksAuthError = "Authentication error to socks server.";
inline constexpr const char* RSSocksServerGeneralError = "General SOCKS server failure.";
inline constexpr const char* RSSocksServerPermissionError = "Connection not allowed by ruleset.";
inline constexpr const char* RSSocksServerNetUnreachableError = "Network unreachable.";
inline constexpr const char* RSSocksServerHostUnreachableError = "Host unreachable.";
inline constexpr const char* RSSocksServerConnectionRefusedError = "Connection refused.";
inline constexpr const char* RSSocksServerTTLExpiredError = "TTL expired.";
inline constexpr const char* RSSocksServerCommandError = "Command not supported.";
inline constexpr const char* RSSocksServerAddressError = "Address type not supported.";
inline constexpr const char* RSSocksHostNameTooLong = "Socks host name is too long (%d bytes, at most %d).";
inline constexpr const char* RSSocksInvalidPort = "Invalid port %d for a socks request (allowed 0 to 65535).";
inline constexpr const char* RSSocksCredentialTooLong = "Socks user name and password must be at most 255 bytes each.";
inline constexpr const char* RSSocksNulInRequest = "Socks user name and host name must not contain a NUL byte.";
}  // namespace IdSocksStrings

class TIdSocksInfo : public TIdCustomTransparentProxy {
 public:
  // The longest SOCKS 5 target name that fits the connect request.
  static constexpr int32_t MaxSocks5HostName = 248;

  TIdSocksInfo();
  const char* ClassName() const override { return "TIdSocksInfo"; }

  TSocksVersion Version = svNoSocks;
  TSocksAuthentication Authentication = saNoAuthentication;

  bool IsActive() const override { return Version != svNoSocks; }
  // Also copies Authentication and Version from another TIdSocksInfo.
  void Assign(const TIdCustomTransparentProxy& source) override;
  void OpenThroughProxy(TIdIOHandler& handler, const std::string& host, int32_t port,
                        TIdIPVersion version) override;

  // The request bytes, exposed so the exact wire form can be checked.
  TIdBytes MakeSocks4Request(const std::string& host, int32_t port) const;
  TIdBytes MakeSocks5ConnectRequest(const std::string& host, int32_t port, TIdIPVersion version) const;

 private:
  void MakeSocks4Connection(TIdIOHandler& handler, const std::string& host, int32_t port);
  void MakeSocks5Connection(TIdIOHandler& handler, const std::string& host, int32_t port, TIdIPVersion version);
};
