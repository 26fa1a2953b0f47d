// The thread that sends the DNS update queue to the name server.
//
// It takes what is due, signs it and keeps up to Window updates on their way
// at once (each its own exchange in one poll loop), and records every
// outcome in the queue. Callers never wait for it: Wake only writes to an
// eventfd, and the queue's lock is never held across the network.
//
// Guarantees: Stop returns within a poll step and gives updates still on
// their way back to the queue (due again, so nothing is lost); an error of
// the queue's store (a full disk) is logged once and retried a second later
// instead of ending the thread.
#pragma once

#include <atomic>
#include <chrono>
#include <functional>
#include <string>
#include <thread>

#include "service/dns/DnsKey.h"
#include "service/dns/DnsQueue.h"
#include "service/dns/DnsServer.h"

struct TDnsWorkerOptions {
  int Window = 32;                          // updates on their way at once
  std::chrono::milliseconds Timeout{5000};  // the wait for one answer, resends included
  uint32_t Ttl = 60;                        // of the records published
  // Told of each update's outcome (done: the name server took it) and the
  // time from sending it, on the worker's thread; for the service's metrics,
  // so it must be quick.
  std::function<void(bool done, std::chrono::steady_clock::duration latency)> OnOutcome = {};
};

class TDnsWorker {
 public:
  using TClock = std::function<TServiceTime()>;

  // zone is the zone's name with its final dot. clock gives the time the
  // queue and the signatures use (the system's clock unless given).
  TDnsWorker(TDnsQueue& queue, const TDnsServer& server, const TDnsKey& key, std::string zone,
             TDnsWorkerOptions options = {}, TClock clock = {});
  ~TDnsWorker();
  TDnsWorker(const TDnsWorker&) = delete;
  TDnsWorker& operator=(const TDnsWorker&) = delete;

  void Start();
  void Stop();
  // Something became due: look at the queue now rather than at the next timer.
  void Wake();

 private:
  void Run();
  TServiceTime Now() const;
  void LogStoreError(const char* what, const std::exception& error);

  TDnsQueue& queue_;
  TDnsServer server_;
  TDnsKey key_;
  std::string zone_;
  TDnsWorkerOptions options_;
  TClock clock_;
  int wake_ = -1;
  std::atomic<bool> stop_{false};
  std::thread thread_;
  bool storeFailing_ = false;
};
