#include "http/transport/IdCustomTransparentProxy.h"

#include "runtime/SysUtils.h"

using namespace IdCustomTransparentProxyStrings;

TIdCustomTransparentProxy::TIdCustomTransparentProxy() = default;

TIdCustomTransparentProxy::~TIdCustomTransparentProxy() = default;

void TIdCustomTransparentProxy::SetChainedProxy(TIdCustomTransparentProxy* proxy) {
  if (proxy == chainedProxy_) return;
  for (TIdCustomTransparentProxy* p = proxy; p; p = p->chainedProxy_)
    if (p == this) throw EIdTransparentProxyCircularLink(Format(RSTransparentProxyCircularLink, ClassName()));
  if (chainedProxy_) RemoveFreeNotification(chainedProxy_);
  chainedProxy_ = proxy;
  if (proxy) FreeNotification(proxy);
}

void TIdCustomTransparentProxy::Notification(TIdComponent* destroyed) {
  if (destroyed == chainedProxy_) chainedProxy_ = nullptr;
  TIdComponent::Notification(destroyed);
}

void TIdCustomTransparentProxy::Assign(const TIdCustomTransparentProxy& source) {
  Host = source.Host;
  Password = source.Password;
  Port = source.Port;
  IPVersion = source.IPVersion;
  Username = source.Username;
}

void TIdCustomTransparentProxy::ProxyConnect(TIdIOHandler& handler, const std::string& host, int32_t port,
                                             TIdIPVersion version) {
  TIdCustomTransparentProxy* next = chainedProxy_;
  if (next && next->IsActive()) {
    OpenThroughProxy(handler, next->Host, next->Port, Id_IPv4);
    next->ProxyConnect(handler, host, port, version);
  } else {
    OpenThroughProxy(handler, host, port, version);
  }
}

void TIdCustomTransparentProxy::Bind(TIdIOHandler&, int32_t) {
  throw EIdTransparentProxyCantBind(RSTransparentProxyCannotBind);
}

void TIdCustomTransparentProxy::Listen(TIdIOHandler&, int32_t) {
  throw EIdTransparentProxyCantBind(RSTransparentProxyCannotBind);
}

void TIdCustomTransparentProxy::OpenUDP(TIdIOHandler&, const std::string&, int32_t) {
  throw EIdTransparentProxyUDPNotSupported(RSTransparentProxyCanNotSupportUDP);
}

void TIdCustomTransparentProxy::CloseUDP(TIdIOHandler&) {
  throw EIdTransparentProxyUDPNotSupported(RSTransparentProxyCanNotSupportUDP);
}

int32_t TIdCustomTransparentProxy::RecvFromUDP(TIdIOHandler&, TIdBytes&, std::string&, int32_t&, int32_t) {
  throw EIdTransparentProxyUDPNotSupported(RSTransparentProxyCanNotSupportUDP);
}

void TIdCustomTransparentProxy::SendToUDP(TIdIOHandler&, const std::string&, int32_t, const TIdBytes&) {
  throw EIdTransparentProxyUDPNotSupported(RSTransparentProxyCanNotSupportUDP);
}
