// Where the handling hands a report on: saving it to the bug-report file,
// sending it, and waiting for sends still running in the background before
// the process restarts or closes. Each is a replaceable function; until the
// full delivery is plugged in, saving goes through InterimSaveBugReport and
// there is nothing to send and nothing to wait for.
//
// Not for signal handlers.
#pragma once

#include <functional>

#include "crash/handling/ICDException.h"

struct TCDDelivery {
  // Appends the complete report to the configured bug-report file; true
  // when saved.
  std::function<bool(ICDException& exception)> Save;
  // Sends the complete report hidden and in the background (AutoSend).
  std::function<void(ICDException& exception)> SendHidden;
  // Blocks until every background send has ended.
  std::function<void()> WaitForSends;
};

// Installs the delivery; empty members fall back to the interim ones.
void SetCDDelivery(TCDDelivery delivery);
const TCDDelivery& CDDelivery();
