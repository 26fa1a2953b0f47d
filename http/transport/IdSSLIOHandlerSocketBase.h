// The mark of an I/O handler that can carry TLS; "https" targets need one.
//
// PassThrough keeps a connection in clear text, so that one handler carries
// plain "http" targets too: the exchange sets it from each target's protocol
// before it connects. A handler that is not told otherwise speaks TLS.
#pragma once

#include "http/transport/IdIOHandlerStack.h"

class TIdSSLIOHandlerSocketBase : public TIdIOHandlerStack {
 public:
  const char* ClassName() const override { return "TIdSSLIOHandlerSocketBase"; }

  // Read when the connection is made; changing it does not touch a live connection.
  bool PassThrough = false;
};
