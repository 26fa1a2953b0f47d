// The concrete I/O handler over the socket stack: receive, send, readability,
// disconnect detection, and the connect sequence (bind, resolve, connect with
// an optional time-out, proxy negotiation). The default handler class.
#pragma once

#include "http/transport/IdIOHandlerSocket.h"

class TIdIOHandlerStack : public TIdIOHandlerSocket {
 public:
  const char* ClassName() const override { return "TIdIOHandlerStack"; }

  int32_t FillPendingInput(bool raise = true, int32_t timeout = -1, bool raiseOnTimeout = true) override;
  void CheckDisconnected(bool raise, bool ignoreBuffered) override;
  // Polls the socket first, so bytes waiting and a close by the peer are seen.
  bool IsConnected() override;
  bool WaitReadable(int32_t timeout) override;

 protected:
  void EstablishSocket() override;
  // Connects on a TIdConnectThread and gives up after timeout ms (-1, -2 and
  // other negatives wait without limit), in steps of 125 ms.
  void ConnectWithTimeout(int32_t timeout);

 private:
  // Talks the proxy's protocol within what is left of a positive
  // ConnectTimeout counted from `started`: a proxy that accepts and then
  // never answers fails with "Connect timed out." like a target that never
  // accepts.
  void NegotiateThroughProxy(TIdCustomTransparentProxy& proxy, uint32_t started);

  bool negotiating_ = false;
  uint32_t negotiationDeadline_ = 0;  // a tick count, while negotiating_
};
