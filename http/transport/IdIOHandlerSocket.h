// An I/O handler over one socket binding, with the local bind settings, the
// optional transparent proxy and the Nagle switch.
#pragma once

#include <memory>
#include <string>

#include "http/transport/IdIOHandler.h"
#include "http/transport/IdSocketHandle.h"

class TIdCustomTransparentProxy;

class TIdIOHandlerSocket : public TIdIOHandler {
 public:
  TIdIOHandlerSocket();
  ~TIdIOHandlerSocket() override;
  const char* ClassName() const override { return "TIdIOHandlerSocket"; }

  // Created at the first open and kept for later connections.
  TIdSocketHandle* SocketBinding() const { return binding_.get(); }

  std::string BoundIP;
  int32_t BoundPort = 0;
  int32_t BoundRangeLow = 0;
  int32_t BoundRangeHigh = 0;
  TIdIPVersion IPVersion = Id_IPv4;
  TIdNotifyEvent OnBeforeBind;
  TIdNotifyEvent OnSocketReady;
  TIdNotifyEvent OnAfterBind;

  // A proxy the connection is made through; referenced, not owned, and
  // forgotten when it is destroyed.
  TIdCustomTransparentProxy* TransparentProxy() const { return transparentProxy_; }
  void SetTransparentProxy(TIdCustomTransparentProxy* proxy);

  // True leaves the Nagle algorithm on (no-delay 0); applies to the socket held now and to every new one.
  bool UseNagle() const { return useNagle_; }
  void SetUseNagle(bool value);

  void OpenHandler() override;
  void CloseHandler() override;
  bool IsConnected() override;

 protected:
  // Creates, binds and connects the socket to Host and Port.
  virtual void EstablishSocket() = 0;
  void ApplyNagle();
  void Notification(TIdComponent* destroyed) override;
  int32_t WriteDataToTarget(const TIdBytes& bytes, int32_t offset, int32_t count) override;
  bool SocketAllocated() const { return binding_ && binding_->Allocated(); }
  // Sends what the socket takes of size bytes, waiting for room as long as
  // Deadline allows (without one, as long as it takes); -1 when wait is
  // false and there is no room now.
  int32_t SendWithinDeadline(const uint8_t* data, int32_t size, bool wait = true);

  std::unique_ptr<TIdSocketHandle> binding_;

 private:
  TIdCustomTransparentProxy* transparentProxy_ = nullptr;
  bool useNagle_ = true;
};
