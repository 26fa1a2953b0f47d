#include "http/transport/IdTCPConnection.h"

#include <exception>

TIdTCPConnection::TIdTCPConnection() = default;

TIdTCPConnection::~TIdTCPConnection() {
  try {
    if (ioHandler_) ioHandler_->CloseHandler();
  } catch (...) {
    // Closing releases a socket and cannot meaningfully fail during destruction.
  }
  AssignHandler(nullptr, nullptr);
}

void TIdTCPConnection::SetIOHandler(TIdIOHandler* handler) { AssignHandler(handler, nullptr); }

void TIdTCPConnection::SetIOHandler(std::unique_ptr<TIdIOHandler> handler) {
  TIdIOHandler* raw = handler.get();
  AssignHandler(raw, std::move(handler));
}

void TIdTCPConnection::AssignHandler(TIdIOHandler* handler, std::unique_ptr<TIdIOHandler> owned) {
  if (handler == ioHandler_) {
    if (owned) owned_ = std::move(owned);
    return;
  }
  if (ioHandler_) {
    ioHandler_->SetProgressTarget(nullptr);
    RemoveFreeNotification(ioHandler_);
  }
  std::unique_ptr<TIdIOHandler> previous = std::move(owned_);
  ioHandler_ = handler;
  socketHandler_ = dynamic_cast<TIdIOHandlerSocket*>(handler);
  owned_ = std::move(owned);
  if (handler) {
    handler->SetProgressTarget(this);
    FreeNotification(handler);
    IOHandlerAssigned(*handler);
  }
  previous.reset();
}

void TIdTCPConnection::Notification(TIdComponent* destroyed) {
  if (destroyed && destroyed == ioHandler_) {
    ioHandler_ = nullptr;
    socketHandler_ = nullptr;
    if (owned_.get() == destroyed) static_cast<void>(owned_.release());
  }
  TIdComponent::Notification(destroyed);
}

bool TIdTCPConnection::IsConnected() { return ioHandler_ && ioHandler_->IsConnected(); }

void TIdTCPConnection::DoOnDisconnected() {
  if (OnDisconnected) OnDisconnected(*this);
}

void TIdTCPConnection::CloseConnection(bool notifyPeer) {
  std::exception_ptr failure;
  try {
    if (notifyPeer && IsConnected()) DisconnectNotifyPeer();
  } catch (...) {
    failure = std::current_exception();
  }
  if (ioHandler_ && ioHandler_->IsOpen()) {
    ReportStatus(hsDisconnecting);
    ioHandler_->CloseHandler();
    DoOnDisconnected();
    ReportStatus(hsDisconnected);
  }
  if (failure) std::rethrow_exception(failure);
}

void TIdTCPConnection::CheckPeerClosed(bool raise) {
  if (ioHandler_) {
    ioHandler_->CheckDisconnected(raise, false);
  } else if (raise) {
    throw EIdException(IdIOHandlerStrings::RSNotConnected);
  }
}
