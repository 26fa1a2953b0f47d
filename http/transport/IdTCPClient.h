// The TCP client: target and connect settings, and the connect sequence that
// creates a handler when none is given, opens it and reports status.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <string>
#include <thread>

#include "http/transport/IdSocketHandle.h"
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

// Runs one blocking connect of a binding for the timed connect. The caller
// waits for it, may release the binding's socket to abandon the attempt, and
// always waits for the thread to end before it goes.
class TIdConnectThread {
 public:
  explicit TIdConnectThread(TIdSocketHandle& binding);
  ~TIdConnectThread();
  TIdConnectThread(const TIdConnectThread&) = delete;
  TIdConnectThread& operator=(const TIdConnectThread&) = delete;

  void Start();
  // Asks the thread to stop; the connect itself ends when the socket is released.
  void Terminate();
  bool TerminateRequested() const;
  // True once the connect has ended, whichever way.
  bool Terminated() const;
  // Waits up to ms milliseconds for the end; answers Terminated().
  bool WaitTerminated(int32_t ms);
  void WaitFor();

  // How the connect failed: empty text when it did not, or was abandoned.
  std::string FailureText;
  int32_t FailureCode = 0;

 private:
  void Execute();

  TIdStackUser stackUser_;
  TIdSocketHandle& binding_;
  std::thread thread_;
  mutable std::mutex lock_;
  std::condition_variable ended_;
  bool terminated_ = false;
  bool terminateRequested_ = false;
};
