#include "service/http/AdminDoor.h"

#include <string>

#include "runtime/NoWaitScope.h"
#include "service/dns/DnsPublisher.h"
#include "service/store/SqliteDatabase.h"

TAdminOptions TAdminOptions::Default() {
  TAdminOptions options;
  options.AllowedFrom.Add("127.0.0.0/8");
  options.AllowedFrom.Add("::1");
  return options;
}

bool TAdminDoor::Allowed(const TFrontRequest& req) const { return options_.AllowedFrom.Trusted(c_.Caller(req)); }

TFrontAnswer TAdminDoor::Metrics(const TFrontRequest& req) {
  if (!Allowed(req)) return TAnswers::Status(404);
  const TServiceTime now = c_.Now();
  TMetricsGauges gauges;
  const auto [running, waiting] = c_.Core.SlowHashes();
  gauges.SlowHashesRunning = running;
  gauges.SlowHashesWaiting = waiting;
  gauges.DatabaseErrors = SqliteErrorsRaised();
  // A database that cannot answer leaves its gauges out; the counters,
  // and the errors among them, still tell what is going on.
  try {
    gauges.Sessions = static_cast<std::int64_t>(c_.Sessions.Size());
  } catch (const EStoreError&) {
  }
  try {
    const TNodeCounts nodes = c_.Core.Store().CountNodes(now - c_.Core.Rules().StaleAfter);
    gauges.Nodes = nodes.Nodes;
    gauges.StaleNodes = nodes.Stale;
  } catch (const EStoreError&) {
  }
  if (dns_) {
    try {
      const TDnsBacklog backlog = dns_->Queue().Backlog();
      gauges.DnsQueueDepth = backlog.Waiting;
      gauges.DnsQueueOldestSeconds =
          backlog.OldestSince
              ? std::max<double>(0, static_cast<double>(now - *backlog.OldestSince) / 1000)
              : 0.0;
    } catch (const EWouldWait&) {
      throw;  // asked again where waiting is allowed
    } catch (const std::exception&) {
    }
  }
  TFrontAnswer answer = TAnswers::Text(200, c_.Metrics.Text(gauges));
  answer.ContentType = TMetrics::ContentType;
  answer.Set("Cache-Control", "no-store");
  return answer;
}

TFrontAnswer TAdminDoor::Health(const TFrontRequest& req) {
  if (!Allowed(req)) return TAnswers::Status(404);
  const TServiceTime now = c_.Now();
  auto failing = [](const std::string& reason) {
    TFrontAnswer answer = TAnswers::Text(503, reason + "\n");
    answer.Set("Cache-Control", "no-store");
    return answer;
  };
  try {
    // A lookup by name: one read of the database's index, which fails as
    // every request would when the database cannot be read.
    c_.Core.Store().FindAccount("-");
  } catch (const EWouldWait&) {
    throw;  // a database that may block is asked where waiting is allowed
  } catch (const std::exception& e) {
    return failing(std::string("the database does not answer: ") + e.what());
  }
  if (options_.CheckWritable) {
    try {
      options_.CheckWritable();
    } catch (const EWouldWait&) {
      throw;
    } catch (const std::exception& e) {
      return failing(std::string("the database cannot record check-ins: ") + e.what());
    }
  }
  if (dns_) {
    TDnsBacklog backlog;
    try {
      backlog = dns_->Queue().Backlog();
    } catch (const EWouldWait&) {
      throw;
    } catch (const std::exception& e) {
      return failing(std::string("the DNS update queue cannot be read: ") + e.what());
    }
    const TServiceTime age = backlog.OldestSince ? now - *backlog.OldestSince : 0;
    if (age > options_.HealthyQueueAge)
      return failing("DNS updates are not getting through: " + std::to_string(backlog.Waiting) +
                     (backlog.Waiting == 1 ? " name waits" : " names wait") + ", the oldest for " +
                     std::to_string(age / 1000) + " s (more than " + std::to_string(options_.HealthyQueueAge / 1000) +
                     " s)");
  }
  TFrontAnswer answer = TAnswers::Text(200, "ok\n");
  answer.Set("Cache-Control", "no-store");
  return answer;
}
