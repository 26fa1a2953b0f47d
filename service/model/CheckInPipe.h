// Repeated check-ins sent to a store whose every call is a round trip to a
// server, without a thread waiting for each: those of a moment go together,
// in one transaction, while the caller's thread serves other connections.
//
// Send queues a check-in; Flush (at the end of the caller's turn) lets what
// was queued go; done is told the outcome on the pipe's own thread, once
// the transaction has ended:
// - the account as the store holds it, with Record set: recorded and committed;
// - the account (or none) without Record: nothing was recorded, since the
//   account is not the one expected or the check-in is no repeated one (a
//   new node, a new address); the caller makes it the waiting way;
// - nothing at all: lost (the server went away, or the transaction failed);
//   the caller makes it anew the waiting way. A transaction whose commit was
//   under way when the connection broke may have recorded it, so a lost
//   check-in may count twice; its address is the same either way.
#pragma once

#include <functional>
#include <optional>
#include <string_view>

#include "service/model/ServiceStore.h"

class ICheckInPipe {
 public:
  using TDone = std::function<void(std::optional<TCheckInAs>)>;
  virtual ~ICheckInPipe() = default;

  // RecordCheckInAs of a check-in the caller takes for a repeated one.
  // False when the pipe takes nothing now (its server is down, too much
  // waits already); done is then never called. Never calls done itself.
  virtual bool Send(const TAccountRecord& expected, std::string_view node, std::string_view address,
                    TServiceTime now, TDone done) = 0;
  // What was sent so far goes to the server.
  virtual void Flush() = 0;
  // Flushes, then waits until every check-in sent has been told its outcome.
  virtual void Drain() = 0;
};
