// The base of proxies that a connection is made through without the protocol
// above noticing: target settings, chaining, and the refusal of listening and
// datagram use.
#pragma once

#include <cstdint>
#include <string>

#include "http/transport/IdComponent.h"
#include "http/transport/IdIOHandler.h"

namespace IdCustomTransparentProxyStrings {
inline constexpr const char* RSTransparentProxyCannotBind = "Transparent proxy cannot bind.";
inline constexpr const char* RSTransparentProxyCanNotSupportUDP = "UDP Not supported by this proxy.";
inline constexpr const char* RSTransparentProxyCircularLink = "Circular link between proxies of class %s.";
}  // namespace IdCustomTransparentProxyStrings

class TIdCustomTransparentProxy : public TIdComponent {
 public:
  TIdCustomTransparentProxy();
  ~TIdCustomTransparentProxy() override;
  const char* ClassName() const override { return "TIdCustomTransparentProxy"; }

  std::string Host;
  int32_t Port = 0;
  TIdIPVersion IPVersion = Id_IPv4;
  std::string Username;
  std::string Password;

  // Another proxy reached through this one; referenced, forgotten when it is
  // destroyed. A chain that leads back here raises EIdTransparentProxyCircularLink.
  TIdCustomTransparentProxy* ChainedProxy() const { return chainedProxy_; }
  void SetChainedProxy(TIdCustomTransparentProxy* proxy);

  virtual bool IsActive() const { return false; }
  // Copies Host, Password, Port, IPVersion and Username.
  virtual void Assign(const TIdCustomTransparentProxy& source);

  // Negotiates the target over the handler's connected socket, through the chain when one is set.
  void ProxyConnect(TIdIOHandler& handler, const std::string& host, int32_t port, TIdIPVersion version);
  // One hop: asks this proxy to connect to host:port.
  virtual void OpenThroughProxy(TIdIOHandler& handler, const std::string& host, int32_t port,
                                TIdIPVersion version) = 0;

  // Listening, accepting and datagrams are not available through this proxy.
  virtual void Bind(TIdIOHandler& handler, int32_t port);
  virtual void Listen(TIdIOHandler& handler, int32_t timeout);
  virtual void OpenUDP(TIdIOHandler& handler, const std::string& host, int32_t port);
  virtual void CloseUDP(TIdIOHandler& handler);
  virtual int32_t RecvFromUDP(TIdIOHandler& handler, TIdBytes& buffer, std::string& peerIP, int32_t& peerPort,
                              int32_t timeout);
  virtual void SendToUDP(TIdIOHandler& handler, const std::string& host, int32_t port, const TIdBytes& buffer);

 protected:
  void Notification(TIdComponent* destroyed) override;

 private:
  TIdCustomTransparentProxy* chainedProxy_ = nullptr;
};
