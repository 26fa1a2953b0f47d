#include "http/transport/IdIOHandlerSocket.h"

#include "http/transport/IdCustomTransparentProxy.h"
#include "http/transport/IdStackRegistry.h"

TIdIOHandlerSocket::TIdIOHandlerSocket() = default;

TIdIOHandlerSocket::~TIdIOHandlerSocket() {
  if (binding_) binding_->ReleaseHandle();
}

void TIdIOHandlerSocket::SetTransparentProxy(TIdCustomTransparentProxy* proxy) {
  if (proxy == transparentProxy_) return;
  if (transparentProxy_) RemoveFreeNotification(transparentProxy_);
  transparentProxy_ = proxy;
  if (proxy) FreeNotification(proxy);
}

void TIdIOHandlerSocket::Notification(TIdComponent* destroyed) {
  if (destroyed == transparentProxy_) transparentProxy_ = nullptr;
  TIdIOHandler::Notification(destroyed);
}

void TIdIOHandlerSocket::SetUseNagle(bool value) {
  useNagle_ = value;
  if (SocketAllocated()) ApplyNagle();
}

void TIdIOHandlerSocket::ApplyNagle() {
  GStack()->SetTcpOption(binding_->OsSocket(), Id_IPPROTO_TCP, Id_TCP_NODELAY, useNagle_ ? 0 : 1);
}

void TIdIOHandlerSocket::OpenHandler() {
  TIdIOHandler::OpenHandler();
  if (binding_) {
    binding_->ReleaseHandle();
    binding_->Reset();
  } else {
    binding_ = std::make_unique<TIdSocketHandle>();
  }
  binding_->ClientPortMin = BoundRangeLow;
  binding_->ClientPortMax = BoundRangeHigh;
  if (!Host.empty() && Port > 0) EstablishSocket();
}

void TIdIOHandlerSocket::CloseHandler() {
  if (binding_) binding_->ReleaseHandle();
  TIdIOHandler::CloseHandler();
}

bool TIdIOHandlerSocket::IsConnected() {
  return (SocketAllocated() && TIdIOHandler::IsConnected()) || (pendingInput_ && pendingInput_->Size() > 0);
}

int32_t TIdIOHandlerSocket::WriteDataToTarget(const TIdBytes& bytes, int32_t offset, int32_t count) {
  if (!SocketAllocated()) throw EIdClosedSocket(IdIOHandlerStrings::RSStatusDisconnected);
  if (!Deadline) return binding_->SendBytes(bytes, offset, count);
  const auto size = static_cast<int64_t>(bytes.size());
  if (offset < 0 || offset > size) GStack()->RaiseSocketError(10022);
  if (count < 0 || count > size - offset) count = static_cast<int32_t>(size - offset);
  return SendWithinDeadline(bytes.data() + offset, count);
}

int32_t TIdIOHandlerSocket::SendWithinDeadline(const uint8_t* data, int32_t size, bool wait) {
  TIdStack& stack = *GStack();
  if (!Deadline || !wait) return stack.SendBuffer(binding_->OsSocket(), data, size, wait);
  for (;;) {
    // A peer that stops reading must not hold a send past the deadline.
    const int32_t sent = stack.SendBuffer(binding_->OsSocket(), data, size, false);
    if (sent >= 0) return sent;
    bool bounded = false;
    if (!binding_->WaitWritable(WaitWithinDeadline(-2, bounded))) RaiseDeadlineExceeded();
  }
}
