// Runs one blocking connect of a socket binding on a thread of its own, so
// that the I/O handler's timed connect can wait for it in steps and give up.
//
// The thread only connects and records how that ended; the caller owns the
// binding, may release its socket to abandon the attempt (which the thread
// then takes for no failure), and always waits for the thread before either
// goes. FailureText and FailureCode are written before the thread marks
// itself terminated and are read after WaitFor.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <string>
#include <thread>

#include "http/transport/IdSocketHandle.h"
#include "http/transport/IdStackRegistry.h"

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
