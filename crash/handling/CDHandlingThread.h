// The exception-handling thread: reads exception requests from its pipe one
// after the other, processes each (TCDProcessing) and then sets the
// request's event and wakes the requesting GUI thread. A request with no
// event ends the thread. Exactly one exception is processed at a time; a
// second one waits in the pipe until the first is done.
#pragma once

#include <sys/types.h>

#include "crash/handling/CDRequest.h"

class TCDHandlingThread {
 public:
  // Creates the pipe and starts the thread (highest priority it can get,
  // registered as "-"). Not signal-safe.
  static bool Start();
  // Writes the stop request and waits for the thread at most waitMs; a
  // thread that does not end in time is left to the process's end. Not
  // signal-safe.
  static void Stop(int waitMs = 500);
  // Signal-safe.
  static bool Running();
  // Whether the thread is the handling thread. Signal-safe.
  static bool IsHandlingThread(pid_t threadId);
  // Writes a request in one piece; false when the whole record could not be
  // written (the request is then not processed). Signal-safe.
  static bool Submit(const TCDExceptionRequest& request);
  // The request being processed, or null. Signal-safe.
  static const TCDExceptionRequest* CurrentRequest();
  // On the handling thread only: takes the next request that waits in the
  // pipe, without waiting for one. False when none waits (a stop request
  // is left where it is).
  static bool TakeWaiting(TCDExceptionRequest& request);

  // Fatal signals on their way here: taken by a thread's handler and not yet
  // handed over. Whoever ends the process waits for them first, so that no
  // failure goes unreported. Signal-safe.
  static void FatalOnItsWay();
  static void FatalHandedOver();
  static int FatalSignalsOnTheirWay();
};
