// The doors for the people who run the service: GET /metrics (the counters
// and gauges in Prometheus's text format) and GET /healthz (200 "ok", or 503
// with the reason as text). Both answer only callers whose address is in
// the allowed list (loopback by default); anyone else gets the 404 of a path
// that does not exist, so the doors are not advertised. The caller is judged
// as every door judges it (a trusted proxy's forwarded address).
//
// Each answer reads what the counters cannot hold: the nodes and the stale
// ones (one count over the nodes table), the DNS queue's backlog (one count
// over the queue), sessions and slow hashes under way. Their cost grows with
// the number of nodes only, a few milliseconds for ten thousand.
#pragma once

#include <functional>
#include <utility>

#include "service/http/Answers.h"
#include "service/http/DoorContext.h"
#include "service/http/TrustedProxies.h"

class TDnsPublisher;

struct TAdminOptions {
  // Who may ask (addresses and ADDR/BITS networks); empty: nobody.
  TTrustedProxies AllowedFrom;
  // /healthz fails once a DNS update has waited longer than this.
  TServiceTime HealthyQueueAge = 10 * 60 * 1000;
  // Raises EStoreError when the database could not take a check-in now
  // (read-only, deleted under the service); none for a store in memory.
  // A database that can be read but not written answers every check-in
  // 503, so it is no healthy one.
  std::function<void()> CheckWritable;
  // Loopback, 127.0.0.0/8 and ::1.
  static TAdminOptions Default();
};

class TAdminDoor {
 public:
  explicit TAdminDoor(TDoorContext& context) : c_(context), options_(TAdminOptions::Default()) {}

  // Before the service serves.
  void SetOptions(TAdminOptions options) { options_ = std::move(options); }
  void SetDns(TDnsPublisher* dns) { dns_ = dns; }

  TFrontAnswer Metrics(const TFrontRequest& req);
  TFrontAnswer Health(const TFrontRequest& req);

 private:
  bool Allowed(const TFrontRequest& req) const;

  TDoorContext& c_;
  TAdminOptions options_;
  TDnsPublisher* dns_ = nullptr;
};
