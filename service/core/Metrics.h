// The service's counters for monitoring, and their text in the Prometheus
// exposition format (version 0.0.4) for GET /metrics.
//
// Counting costs one relaxed atomic increment and never takes a lock, so it
// sits on every check-in's path. The set of series is fixed: every label
// value comes from an enumeration here, never from a request, so no caller
// can make the registry grow. What needs the database or another part's
// lock (nodes, the DNS queue, sessions, hashes under way) is not counted
// here but read when the text is asked for, and handed to Text as a
// TMetricsGauges.
//
// Safe to use from any thread.
#pragma once

#include <array>
#include <atomic>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>

#include "service/core/ServiceCore.h"

// The door a sign-in came through.
enum class TMetricsDoor { CheckIn, DynDns2, SignIn, Api };

// What became of one webhook delivery attempt: delivered (a 2xx answer),
// failed (to be tried again), or given up (the webhook paused after failing
// too long).
enum class TWebhookOutcome { Delivered, Failed, Paused };

// Read when the text is made; a value left empty is not written.
struct TMetricsGauges {
  std::optional<std::int64_t> Nodes, StaleNodes;
  std::optional<std::int64_t> Sessions;
  std::optional<unsigned> SlowHashesRunning;
  std::optional<std::size_t> SlowHashesWaiting;
  // The DNS update queue, when nodes are published: names waiting to be
  // sent (or failing), and the age of the oldest of them (0 when none waits).
  std::optional<std::int64_t> DnsQueueDepth;
  std::optional<double> DnsQueueOldestSeconds;
  std::optional<std::uint64_t> DatabaseErrors;
};

class TMetrics {
 public:
  // The DNS update latency histogram's upper bounds, in seconds.
  static constexpr std::array<double, 10> DnsLatencyBuckets{0.005, 0.01, 0.025, 0.05, 0.1, 0.25, 0.5, 1, 2.5, 5};

  TMetrics() = default;
  TMetrics(const TMetrics&) = delete;
  TMetrics& operator=(const TMetrics&) = delete;

  // One sign-in or check-in through door, answered with outcome.
  void CountRequest(TMetricsDoor door, TAnswer outcome);
  // One DNS update (or withdrawal) finished: done says whether the name
  // server took it; latency is from sending to the outcome.
  void CountDnsUpdate(bool done, std::chrono::steady_clock::duration latency);
  // One webhook delivery attempt.
  void CountWebhook(TWebhookOutcome outcome);

  std::uint64_t Requests(TMetricsDoor door, TAnswer outcome) const;
  std::uint64_t Webhooks(TWebhookOutcome outcome) const;

  // The whole exposition text: every counter, then the gauges given.
  std::string Text(const TMetricsGauges& gauges) const;
  // The content type that text is served with.
  static constexpr const char* ContentType = "text/plain; version=0.0.4; charset=utf-8";

 private:
  static constexpr std::size_t kDoors = 4, kOutcomes = 6, kWebhookOutcomes = 3;
  std::array<std::atomic<std::uint64_t>, kDoors * kOutcomes> requests_{};
  std::array<std::atomic<std::uint64_t>, kWebhookOutcomes> webhooks_{};
  // Per outcome (done, failed): a count per bucket (not cumulative; the
  // last one is +Inf), and the sum in microseconds.
  std::array<std::array<std::atomic<std::uint64_t>, DnsLatencyBuckets.size() + 1>, 2> dnsBuckets_{};
  std::array<std::atomic<std::uint64_t>, 2> dnsMicroseconds_{};
};
