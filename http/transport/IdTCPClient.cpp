#include "http/transport/IdTCPClient.h"

#include "http/transport/IdIOHandlerStack.h"
#include "runtime/SysUtils.h"

using namespace IdTCPClientStrings;

TIdTCPClientCustom::TIdTCPClientCustom() = default;

TIdTCPClientCustom::~TIdTCPClientCustom() = default;

void TIdTCPClientCustom::SetHost(const std::string& value) {
  host_ = value;
  if (IOHandler()) IOHandler()->Host = value;
}

void TIdTCPClientCustom::SetPort(int32_t value) {
  port_ = value;
  if (IOHandler()) IOHandler()->Port = value;
}

void TIdTCPClientCustom::SetConnectTimeout(int32_t value) {
  connectTimeout_ = value;
  if (IOHandler()) IOHandler()->ConnectTimeout = value;
}

int32_t TIdTCPClientCustom::ReadTimeout() const { return IOHandler() ? IOHandler()->ReadTimeout : readTimeout_; }

void TIdTCPClientCustom::SetReadTimeout(int32_t value) {
  readTimeout_ = value;
  if (IOHandler()) IOHandler()->ReadTimeout = value;
}

void TIdTCPClientCustom::SetDeadline(const std::optional<TIdDeadline>& value) {
  deadline_ = value;
  if (IOHandler()) IOHandler()->Deadline = value;
}

void TIdTCPClientCustom::SetIPVersion(TIdIPVersion value) {
  ipVersion_ = value;
  if (SocketHandler()) SocketHandler()->IPVersion = value;
}

void TIdTCPClientCustom::SetBoundIP(const std::string& value) {
  boundIP_ = value;
  if (SocketHandler()) SocketHandler()->BoundIP = value;
}

void TIdTCPClientCustom::SetBoundPort(int32_t value) {
  boundPort_ = value;
  if (SocketHandler()) SocketHandler()->BoundPort = value;
}

void TIdTCPClientCustom::SetBoundRangeLow(int32_t value) {
  boundRangeLow_ = value;
  if (SocketHandler()) SocketHandler()->BoundRangeLow = value;
}

void TIdTCPClientCustom::SetBoundRangeHigh(int32_t value) {
  boundRangeHigh_ = value;
  if (SocketHandler()) SocketHandler()->BoundRangeHigh = value;
}

void TIdTCPClientCustom::CopySettingsTo(TIdIOHandler& handler) {
  handler.Port = port_;
  handler.Host = host_;
  handler.ConnectTimeout = connectTimeout_;
  handler.ReadTimeout = readTimeout_;
  handler.Deadline = deadline_;
  if (auto* socket = dynamic_cast<TIdIOHandlerSocket*>(&handler)) {
    socket->BoundIP = boundIP_;
    socket->BoundPort = boundPort_;
    socket->BoundRangeLow = boundRangeLow_;
    socket->BoundRangeHigh = boundRangeHigh_;
    socket->IPVersion = ipVersion_;
    socket->OnBeforeBind = OnBeforeBind;
    socket->OnAfterBind = OnAfterBind;
  }
}

void TIdTCPClientCustom::IOHandlerAssigned(TIdIOHandler& handler) { CopySettingsTo(handler); }

void TIdTCPClientCustom::DoOnConnected() {
  if (OnConnected) OnConnected(*this);
}

void TIdTCPClientCustom::ConnectToHost() {
  if (IsConnected()) throw EIdAlreadyConnected(RSAlreadyConnected);
  if (host_.empty()) throw EIdHostRequired("");
  if (port_ == 0) throw EIdPortRequired("");
  // A handler opened with such a port would make no socket and still report "Connected.".
  if (port_ < 0 || port_ > 65535) throw EIdInvalidPortRange(Format(RSInvalidPort, IntToStr(port_).c_str()));
  if (!IOHandler()) {
    std::unique_ptr<TIdIOHandler> handler = std::make_unique<TIdIOHandlerStack>();
    handler->OnStatus = OnStatus;
    SetIOHandler(std::move(handler));
  }
  try {
    TIdIOHandler& handler = *IOHandler();
    CopySettingsTo(handler);
    handler.OpenHandler();
    if (handler.Intercept) handler.Intercept->Connect(*this);
    ReportStatus(hsConnected, host_);
    DoOnConnected();
  } catch (...) {
    try {
      if (IOHandler()) IOHandler()->CloseHandler();
    } catch (...) {
      // The connect's own failure is the one worth reporting.
    }
    if (OwnsHandler()) SetIOHandler(nullptr);
    throw;
  }
}
