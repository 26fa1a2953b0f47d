// The TCP client: target and connect settings, and the connect sequence that
// opens the I/O handler (a socket stack handler of its own when none was
// given), copies the settings into it and reports status.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "http/transport/IdTCPConnection.h"

namespace IdTCPClientStrings {
inline constexpr const char* RSAlreadyConnected = "Already connected.";
inline constexpr const char* RSInvalidPort = "Invalid port %s (allowed 1 to 65535)";
}

class TIdTCPClientCustom : public TIdTCPConnection {
 public:
  TIdTCPClientCustom();
  ~TIdTCPClientCustom() override;
  const char* ClassName() const override { return "TIdTCPClientCustom"; }

  // Setting these also updates the current handler.
  const std::string& Host() const { return host_; }
  void SetHost(const std::string& value);
  int32_t Port() const { return port_; }
  void SetPort(int32_t value);
  int32_t ConnectTimeout() const { return connectTimeout_; }
  void SetConnectTimeout(int32_t value);
  // The handler's value while a handler exists.
  int32_t ReadTimeout() const;
  void SetReadTimeout(int32_t value);
  // The moment by which everything on the connection must have ended (see
  // TIdIOHandler::Deadline); none by default.
  const std::optional<TIdDeadline>& Deadline() const { return deadline_; }
  void SetDeadline(const std::optional<TIdDeadline>& value);

  // Setting these also updates the current socket handler.
  TIdIPVersion IPVersion() const { return ipVersion_; }
  void SetIPVersion(TIdIPVersion value);
  const std::string& BoundIP() const { return boundIP_; }
  void SetBoundIP(const std::string& value);
  int32_t BoundPort() const { return boundPort_; }
  void SetBoundPort(int32_t value);
  int32_t BoundRangeLow() const { return boundRangeLow_; }
  void SetBoundRangeLow(int32_t value);
  int32_t BoundRangeHigh() const { return boundRangeHigh_; }
  void SetBoundRangeHigh(int32_t value);

  TIdNotifyEvent OnConnected;
  // Copied into the socket handler by ConnectToHost and when a handler is assigned.
  TIdNotifyEvent OnBeforeBind;
  TIdNotifyEvent OnAfterBind;

  // Connects to Host:Port. Raises "Already connected." on a live connection,
  // EIdHostRequired / EIdPortRequired for a missing target, EIdInvalidPortRange
  // for a port outside 1 to 65535 (before anything is opened), and any failure
  // of the connect itself after closing the handler (an owned one is freed).
  void ConnectToHost();

 protected:
  // After connecting: fires OnConnected.
  virtual void DoOnConnected();
  void IOHandlerAssigned(TIdIOHandler& handler) override;

 private:
  void CopySettingsTo(TIdIOHandler& handler);

  std::string host_;
  int32_t port_ = 0;
  int32_t connectTimeout_ = 0;
  int32_t readTimeout_ = -1;
  std::optional<TIdDeadline> deadline_;
  TIdIPVersion ipVersion_ = Id_IPv4;
  std::string boundIP_;
  int32_t boundPort_ = 0;
  int32_t boundRangeLow_ = 0;
  int32_t boundRangeHigh_ = 0;
};

class TIdTCPClient : public TIdTCPClientCustom {
 public:
  const char* ClassName() const override { return "TIdTCPClient"; }
};
