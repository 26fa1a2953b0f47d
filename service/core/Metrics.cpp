#include "service/core/Metrics.h"

#include <algorithm>
#include <cstdio>
#include <cmath>
#include <cstdlib>
#include <iterator>

namespace {
constexpr const char* kDoorNames[] = {"checkin", "dyndns2", "signin", "api"};
constexpr TAnswer kOutcomes[] = {TAnswer::Ok,      TAnswer::BadRequest,   TAnswer::BadAuth,
                                 TAnswer::Limited, TAnswer::TooManyNodes, TAnswer::Unavailable};
constexpr const char* kOutcomeNames[] = {"ok", "bad_request", "bad_auth", "limited", "too_many_nodes", "unavailable"};
constexpr const char* kWebhookNames[] = {"delivered", "failed", "paused"};
constexpr const char* kDnsOutcomeNames[] = {"done", "failed"};

std::size_t OutcomeIndex(TAnswer outcome) {
  for (std::size_t i = 0; i < std::size(kOutcomes); ++i)
    if (kOutcomes[i] == outcome) return i;
  return std::size(kOutcomes) - 1;  // not reached: every answer is listed
}

// A number as the format writes it: integers without a point, the rest
// with as many digits as they need.
std::string Number(double value) {
  char text[32];
  if (value == static_cast<double>(static_cast<long long>(value)) && std::abs(value) < 1e15) {
    std::snprintf(text, sizeof text, "%lld", static_cast<long long>(value));
    return text;
  }
  std::snprintf(text, sizeof text, "%.17g", value);
  std::string s = text;
  // %.17g writes 0.1 as 0.10000000000000001; the shortest text that reads
  // back the same is kinder to people and to diffs.
  for (int digits = 1; digits <= 17; ++digits) {
    std::snprintf(text, sizeof text, "%.*g", digits, value);
    if (std::strtod(text, nullptr) == value) return text;
  }
  return s;
}

void Head(std::string& out, const char* name, const char* type, const char* help) {
  out += "# HELP ";
  out += name;
  out += ' ';
  out += help;
  out += "\n# TYPE ";
  out += name;
  out += ' ';
  out += type;
  out += '\n';
}

void Gauge(std::string& out, const char* name, const char* help, const std::optional<double>& value) {
  if (!value) return;
  Head(out, name, "gauge", help);
  out += name;
  out += ' ' + Number(*value) + '\n';
}
}  // namespace

void TMetrics::CountRequest(TMetricsDoor door, TAnswer outcome) {
  requests_[static_cast<std::size_t>(door) * kOutcomes + OutcomeIndex(outcome)].fetch_add(1, std::memory_order_relaxed);
}

void TMetrics::CountDnsUpdate(bool done, std::chrono::steady_clock::duration latency) {
  const auto micro = std::max<std::int64_t>(0, std::chrono::duration_cast<std::chrono::microseconds>(latency).count());
  const double seconds = static_cast<double>(micro) / 1e6;
  std::size_t bucket = 0;
  while (bucket < DnsLatencyBuckets.size() && seconds > DnsLatencyBuckets[bucket]) ++bucket;
  const std::size_t outcome = done ? 0 : 1;
  dnsBuckets_[outcome][bucket].fetch_add(1, std::memory_order_relaxed);
  dnsMicroseconds_[outcome].fetch_add(static_cast<std::uint64_t>(micro), std::memory_order_relaxed);
}

void TMetrics::CountWebhook(TWebhookOutcome outcome) {
  webhooks_[static_cast<std::size_t>(outcome)].fetch_add(1, std::memory_order_relaxed);
}

std::uint64_t TMetrics::Requests(TMetricsDoor door, TAnswer outcome) const {
  return requests_[static_cast<std::size_t>(door) * kOutcomes + OutcomeIndex(outcome)].load(std::memory_order_relaxed);
}

std::uint64_t TMetrics::Webhooks(TWebhookOutcome outcome) const {
  return webhooks_[static_cast<std::size_t>(outcome)].load(std::memory_order_relaxed);
}

std::string TMetrics::Text(const TMetricsGauges& gauges) const {
  std::string out;
  out.reserve(8192);
  Head(out, "pinmark_requests_total", "counter",
       "Sign-ins by door (checkin, dyndns2, signin, api) and outcome; bad_auth counts failed passwords and unknown "
       "accounts, limited the callers held back for failing too often.");
  for (std::size_t door = 0; door < kDoors; ++door)
    for (std::size_t outcome = 0; outcome < kOutcomes; ++outcome)
      out += std::string("pinmark_requests_total{door=\"") + kDoorNames[door] + "\",outcome=\"" +
             kOutcomeNames[outcome] + "\"} " +
             std::to_string(requests_[door * kOutcomes + outcome].load(std::memory_order_relaxed)) + '\n';

  Head(out, "pinmark_dns_updates_total", "counter", "DNS updates sent, by outcome (done: the name server took it).");
  std::array<std::uint64_t, 2> counts{};
  std::array<std::array<std::uint64_t, DnsLatencyBuckets.size() + 1>, 2> buckets{};
  for (std::size_t o = 0; o < 2; ++o)
    for (std::size_t b = 0; b < buckets[o].size(); ++b) {
      buckets[o][b] = dnsBuckets_[o][b].load(std::memory_order_relaxed);
      counts[o] += buckets[o][b];
    }
  for (std::size_t o = 0; o < 2; ++o)
    out += std::string("pinmark_dns_updates_total{outcome=\"") + kDnsOutcomeNames[o] + "\"} " +
           std::to_string(counts[o]) + '\n';
  Head(out, "pinmark_dns_update_duration_seconds", "histogram",
       "Time from sending a DNS update to its outcome, by outcome.");
  for (std::size_t o = 0; o < 2; ++o) {
    const std::string label = std::string("outcome=\"") + kDnsOutcomeNames[o] + "\"";
    std::uint64_t cumulative = 0;
    for (std::size_t b = 0; b < buckets[o].size(); ++b) {
      cumulative += buckets[o][b];
      const std::string le = b < DnsLatencyBuckets.size() ? Number(DnsLatencyBuckets[b]) : "+Inf";
      out += "pinmark_dns_update_duration_seconds_bucket{" + label + ",le=\"" + le + "\"} " +
             std::to_string(cumulative) + '\n';
    }
    out += "pinmark_dns_update_duration_seconds_sum{" + label + "} " +
           Number(static_cast<double>(dnsMicroseconds_[o].load(std::memory_order_relaxed)) / 1e6) + '\n';
    out += "pinmark_dns_update_duration_seconds_count{" + label + "} " + std::to_string(cumulative) + '\n';
  }

  Head(out, "pinmark_webhook_deliveries_total", "counter",
       "Webhook delivery attempts by outcome (failed ones are tried again; paused: given up after failing too long).");
  for (std::size_t o = 0; o < kWebhookOutcomes; ++o)
    out += std::string("pinmark_webhook_deliveries_total{outcome=\"") + kWebhookNames[o] + "\"} " +
           std::to_string(webhooks_[o].load(std::memory_order_relaxed)) + '\n';

  if (gauges.DatabaseErrors) {
    Head(out, "pinmark_database_errors_total", "counter",
         "Failures of the database (locked, full, read-only, damaged, ...) since the service started.");
    out += "pinmark_database_errors_total " + std::to_string(*gauges.DatabaseErrors) + '\n';
  }
  auto d = [](const auto& v) -> std::optional<double> {
    if (!v) return std::nullopt;
    return static_cast<double>(*v);
  };
  Gauge(out, "pinmark_slow_hashes_running", "Slow password hashes being computed now.", d(gauges.SlowHashesRunning));
  Gauge(out, "pinmark_slow_hashes_waiting", "Sign-ins waiting for a slow password hash to be free.",
        d(gauges.SlowHashesWaiting));
  Gauge(out, "pinmark_sessions", "Signed-in web sessions held.", d(gauges.Sessions));
  Gauge(out, "pinmark_nodes", "Nodes of every account.", d(gauges.Nodes));
  Gauge(out, "pinmark_stale_nodes", "Nodes that have not checked in for the stale time.", d(gauges.StaleNodes));
  Gauge(out, "pinmark_dns_queue_depth", "DNS names waiting to be sent or failing.", d(gauges.DnsQueueDepth));
  Gauge(out, "pinmark_dns_queue_oldest_seconds", "Age of the oldest DNS name waiting to be sent (0: none waits).",
        gauges.DnsQueueOldestSeconds);
  return out;
}
