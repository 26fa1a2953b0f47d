#include "http/transport/IdIOHandlerStack.h"

#include "http/transport/IdConnectThread.h"
#include "http/transport/IdCustomTransparentProxy.h"
#include "http/transport/IdStackRegistry.h"
#include "runtime/SysUtils.h"

using namespace IdIOHandlerStrings;

namespace {
constexpr int32_t kConnectStepMs = 125;
}  // namespace

int32_t TIdIOHandlerStack::FillPendingInput(bool raise, int32_t timeout, bool raiseOnTimeout) {
  if (timeout == -1) timeout = (ReadTimeout == -1 || ReadTimeout == 0) ? -2 : ReadTimeout;
  bool deadlineBounds = false;
  if (negotiating_) {
    // The wrapping difference of tick counts is the time left, negative once passed.
    const auto left = static_cast<int32_t>(negotiationDeadline_ - GetTickCount());
    if (left <= 0) throw EIdConnectTimeout(RSConnectTimeout);
    if (timeout < 0 || timeout >= left) {
      timeout = left;
      deadlineBounds = true;
    }
  }
  bool exchangeBounds = false;
  timeout = WaitWithinDeadline(timeout, exchangeBounds);
  CheckDisconnected(raise, false);
  if (!SocketAllocated()) {
    if (raise) throw EIdException(RSNotConnected);
    return 0;
  }
  int32_t count;
  do {
    if (!WaitReadable(timeout)) {
      if (exchangeBounds) RaiseDeadlineExceeded();
      if (deadlineBounds) throw EIdConnectTimeout(RSConnectTimeout);
      if (raiseOnTimeout) throw EIdReadTimeout(RSReadTimeout);
      return -1;
    }
    if (!receiveArea_) {
      count = 0;
      if (raise) throw EIdException(RSNotConnected);
    } else {
      if (!SocketAllocated()) throw EIdClosedSocket(RSStatusDisconnected);
      TIdBytes area(static_cast<std::size_t>(std::max(RecvBufferSize, 1)));
      count = binding_->ReceiveBytes(area);
      if (count > 0) {
        area.resize(static_cast<std::size_t>(count));
        if (Intercept) {
          Intercept->Receive(area);
          count = static_cast<int32_t>(area.size());
        }
        pendingInput_->AppendBytes(std::move(area));
      }
    }
    peerClosed_ = count == 0;
    CheckDisconnected(raise, false);
  } while (count == 0 && SocketAllocated());
  return count;
}

void TIdIOHandlerStack::CheckDisconnected(bool raise, bool ignoreBuffered) {
  bool disconnected;
  if (peerClosed_) {
    if (SocketAllocated()) {
      CloseHandler();
      ReportStatus(hsDisconnected);
    }
    disconnected = true;
  } else {
    disconnected = !SocketAllocated();
  }
  if (disconnected && pendingInput_ && (pendingInput_->Size() == 0 || ignoreBuffered) && raise)
    throw EIdConnClosedGracefully(RSConnectionClosedGracefully);
}

bool TIdIOHandlerStack::IsConnected() {
  try {
    FillPendingInput(false, 0, false);
  } catch (const EIdSocketError&) {
    // A connection the peer reset is simply no longer connected; asking must not raise.
    CloseHandler();
  }
  return TIdIOHandlerSocket::IsConnected();
}

bool TIdIOHandlerStack::WaitReadable(int32_t timeout) {
  if (!binding_) throw EIdConnClosedGracefully(RSConnectionClosedGracefully);
  return binding_->WaitReadable(timeout);
}

void TIdIOHandlerStack::EstablishSocket() {
  TIdSocketHandle& binding = *binding_;
  TIdCustomTransparentProxy* proxy = TransparentProxy();
  const bool throughProxy = proxy && proxy->IsActive();
  if (OnBeforeBind) OnBeforeBind(*this);
  // The socket goes to the proxy when there is one: an IPv6 target behind an
  // IPv4 proxy is the proxy's business, not the socket's.
  binding.SetIPVersion(throughProxy ? proxy->IPVersion : IPVersion);
  binding.AllocateHandle(Id_SOCK_STREAM, 0);
  if (OnSocketReady) OnSocketReady(*this);
  if (!BoundIP.empty()) binding.IP = BoundIP;
  binding.Port = BoundPort;
  binding.ClientPortMin = BoundRangeLow;
  binding.ClientPortMax = BoundRangeHigh;
  // With no local address, port or port range asked for, the connect binds
  // the socket to any address and a system port by itself. Binding to port 0
  // first gives the same socket, but makes the system search for a port that
  // no socket uses, lingering closed ones included: after a few thousand
  // short connections that search costs milliseconds per connect.
  const bool anyLocal = binding.IP.empty() && binding.Port == 0 &&
                        (binding.ClientPortMin == 0 || binding.ClientPortMax == 0);
  if (!anyLocal) binding.BindLocal();
  ApplyNagle();
  if (OnAfterBind) OnAfterBind(*this);

  std::string host = throughProxy ? proxy->Host : Host;
  int32_t port = throughProxy ? proxy->Port : Port;
  TIdIPVersion version = throughProxy ? proxy->IPVersion : IPVersion;

  std::string address;
  if (version == Id_IPv4) {
    if (TIdStack::IsIPv4Text(host)) {
      address = host;
    } else {
      ReportStatus(hsResolving, host);
      address = GStack()->ResolveHostAddress(host, version);
    }
  } else {
    address = GStack()->NormalizeIPv6Address(host);
    if (address.empty()) {
      ReportStatus(hsResolving, host);
      address = GStack()->ResolveHostAddress(host, version);
    }
  }
  binding.SetPeer(address, port, version);
  ReportStatus(hsConnecting, binding.RemoteIP);

  const uint32_t started = GetTickCount();
  bool exchangeBounds = false;
  const int32_t connectLimit = WaitWithinDeadline(ConnectTimeout == 0 ? -2 : ConnectTimeout, exchangeBounds);
  if (exchangeBounds) {
    try {
      ConnectWithTimeout(connectLimit);
    } catch (const EIdConnectTimeout&) {
      RaiseDeadlineExceeded();
    }
  } else if (ConnectTimeout != 0) {
    ConnectWithTimeout(ConnectTimeout);
  } else {
    binding.ConnectToPeer();
  }
  if (throughProxy) NegotiateThroughProxy(*proxy, started);
}

void TIdIOHandlerStack::NegotiateThroughProxy(TIdCustomTransparentProxy& proxy, uint32_t started) {
  if (ConnectTimeout <= 0) {
    proxy.ProxyConnect(*this, Host, Port, IPVersion);
    return;
  }
  negotiationDeadline_ = started + static_cast<uint32_t>(ConnectTimeout);
  negotiating_ = true;
  struct EndNegotiation {
    bool& negotiating;
    ~EndNegotiation() { negotiating = false; }
  } end{negotiating_};
  proxy.ProxyConnect(*this, Host, Port, IPVersion);
}

void TIdIOHandlerStack::ConnectWithTimeout(int32_t timeout) {
  const bool noLimit = timeout < 0;
  TIdConnectThread thread(*binding_);
  thread.Start();
  int32_t left = noLimit ? kConnectStepMs + 1 : timeout;
  while (left > kConnectStepMs) {
    if (thread.WaitTerminated(kConnectStepMs)) {
      left = 0;
      break;
    }
    left = noLimit ? kConnectStepMs + 1 : left - kConnectStepMs;
  }
  if (left > 0) thread.WaitTerminated(left);
  if (!thread.Terminated()) {
    thread.Terminate();
    // Releasing the socket wakes the blocked connect, which then gives up.
    CloseHandler();
    thread.WaitFor();
    throw EIdConnectTimeout(RSConnectTimeout);
  }
  thread.WaitFor();
  if (!thread.FailureText.empty()) {
    if (thread.FailureCode != 0) throw EIdSocketError(thread.FailureCode, thread.FailureText);
    throw EIdConnectException(thread.FailureText);
  }
}
