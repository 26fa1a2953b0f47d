// A connection that owns (or borrows) an I/O handler and knows how to close it.
#pragma once

#include <memory>

#include "http/transport/IdComponent.h"
#include "http/transport/IdIOHandler.h"
#include "http/transport/IdIOHandlerSocket.h"

class TIdTCPConnection : public TIdComponent {
 public:
  TIdTCPConnection();
  ~TIdTCPConnection() override;
  const char* ClassName() const override { return "TIdTCPConnection"; }

  TIdIOHandler* IOHandler() const { return ioHandler_; }
  // The same handler when it is a socket handler, else nullptr.
  TIdIOHandlerSocket* SocketHandler() const { return socketHandler_; }
  // The handler was made by this connection and is freed by it.
  bool OwnsHandler() const { return owned_ != nullptr; }

  // Uses a handler owned elsewhere (nullptr: none). A handler this connection
  // owned is freed; a borrowed one is forgotten when it is destroyed.
  void SetIOHandler(TIdIOHandler* handler);
  // Uses a handler and owns it from now on.
  void SetIOHandler(std::unique_ptr<TIdIOHandler> handler);

  TIdNotifyEvent OnDisconnected;

  // A handler exists and it answers connected (which polls the socket first).
  virtual bool IsConnected();
  // Closes the handler (reporting hsDisconnecting and hsDisconnected); a closed
  // or absent handler makes this a no-op.
  void CloseConnection(bool notifyPeer = true);
  // Notices a peer close; without a handler and with raise, "Not Connected".
  void CheckPeerClosed(bool raise);

 protected:
  // Says goodbye to the peer before closing; nothing to say at this level.
  virtual void DisconnectNotifyPeer() {}
  // After the handler has been closed: fires OnDisconnected.
  virtual void DoOnDisconnected();
  // A new handler was assigned (not called for none).
  virtual void IOHandlerAssigned(TIdIOHandler& /*handler*/) {}
  void Notification(TIdComponent* destroyed) override;

 private:
  void AssignHandler(TIdIOHandler* handler, std::unique_ptr<TIdIOHandler> owned);

  TIdIOHandler* ioHandler_ = nullptr;
  TIdIOHandlerSocket* socketHandler_ = nullptr;
  std::unique_ptr<TIdIOHandler> owned_;
};
