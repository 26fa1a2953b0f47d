// What every door shares: the core with its rules, the sessions, the request
// log, the trusted proxies, the clock, and the DNS publisher when there is
// one. Doors translate between HTTP and the core; the rules stay in the core.
#pragma once

#include <atomic>
#include <functional>
#include <vector>

#include "service/core/Metrics.h"
#include "service/core/ServiceCore.h"
#include "service/http/FrontRequest.h"
#include "service/http/RequestLog.h"
#include "service/http/TrustedProxies.h"
#include "service/model/SessionStore.h"

class TNodePublisher;

struct TDoorContext {
  TServiceCore& Core;
  ISessionStore& Sessions;  // the core's
  const TRequestLog& Log;
  const TTrustedProxies& Proxies;
  const std::function<TServiceTime()>& Clock;
  std::atomic<int>& CheckIns;      // answered with an address
  TNodePublisher* Publisher = nullptr;  // set once nodes are published in DNS
  // The service's counters (GET /metrics); every door counts its outcomes here.
  TMetrics Metrics{};

  // The connection's address, or for a trusted proxy the one it speaks for.
  std::string Caller(const TFrontRequest& req) const;
  // Over TLS here, or at a trusted proxy that says so.
  bool Https(const TFrontRequest& req) const;
  TServiceTime Now() const { return Clock(); }
  // The account's nodes with their DNS state.
  std::vector<TNodeView> Nodes(const TAccountRecord& account, TServiceTime now) const;
};
