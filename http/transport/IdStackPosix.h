// The socket stack over the POSIX socket interface: every errno and resolver
// failure is translated into the socket error code that means the same, so
// callers see one set of numbered errors on every platform.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "http/transport/IdStack.h"

class TIdStackPosix : public TIdStackBSDBase {
 public:
  TIdStackPosix();

  // The socket error code for an errno value; a value without one is kept.
  static int32_t TranslateErrno(int error);
  // The socket error code for a getaddrinfo result (systemError is the errno
  // of the call, used for EAI_SYSTEM).
  static int32_t TranslateResolverError(int result, int systemError);

  std::string ResolveHostAddress(const std::string& host, TIdIPVersion version) override;
  std::string LookupHostAddress(const std::string& host, TIdIPVersion version) override;
  TIdStackSocketHandle CreateSocket(int32_t type, int32_t protocol, bool overlapped, TIdIPVersion version) override;
  void BindSocket(TIdStackSocketHandle socket, const std::string& ip, TIdIPVersion version, int32_t port) override;
  void ConnectSocket(TIdStackSocketHandle socket, const std::string& ip, TIdIPVersion version, int32_t port,
                     int cancelFd = -1) override;
  int32_t ReceiveData(TIdStackSocketHandle socket, TIdBytes& area) override;
  int32_t SendData(TIdStackSocketHandle socket, const TIdBytes& bytes, int32_t offset, int32_t count = -1) override;
  int32_t ReceiveAvailable(TIdStackSocketHandle socket, uint8_t* data, int32_t size) override;
  int32_t SendBuffer(TIdStackSocketHandle socket, const uint8_t* data, int32_t size, bool wait = true) override;
  void CloseSocketHandle(TIdStackSocketHandle socket) override;
  void LocalEndpoint(TIdStackSocketHandle socket, std::string& ip, int32_t& port) override;
  void PeerEndpoint(TIdStackSocketHandle socket, std::string& ip, int32_t& port) override;
  void SetTcpOption(TIdStackSocketHandle socket, int32_t level, int32_t option, int32_t value) override;
  int32_t GetSocketOption(TIdStackSocketHandle socket, int32_t level, int32_t option) override;
  const std::vector<std::string>& LocalAddresses() override;
  int32_t LastSocketError() override;
  [[noreturn]] void RaiseLastSocketError() final;
  // Passes the result of a socket call through; -1 raises the last error.
  int32_t CheckSocketResult(int32_t result);

 private:
  std::unique_ptr<std::vector<std::string>> localAddresses_;
};
