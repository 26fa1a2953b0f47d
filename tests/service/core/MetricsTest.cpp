// The service's counters and their text: what lands in which series and
// bucket, and that counting from many threads at once loses nothing.
#include "service/core/Metrics.h"

#include <gtest/gtest.h>

#include <chrono>
#include <string>
#include <thread>
#include <vector>

namespace {
bool Holds(const std::string& text, const std::string& part) { return text.find(part) != std::string::npos; }
}  // namespace

TEST(Metrics, ADnsUpdateLandsInTheFirstBucketThatHoldsItsLatency) {
  using std::chrono::microseconds;
  const struct {
    microseconds latency;
    const char* firstBucket;  // the first le that counts it
    const char* before;       // the bucket before, which does not; "" for none
  } cases[] = {
      {microseconds(0), "0.005", ""},
      {microseconds(5000), "0.005", ""},
      {microseconds(5001), "0.01", "0.005"},
      {microseconds(1000000), "1", "0.5"},
      {microseconds(5000001), "+Inf", "5"},
      {microseconds(-3), "0.005", ""},  // a clock that stepped back counts as no time
  };
  for (const auto& c : cases) {
    TMetrics metrics;
    metrics.CountDnsUpdate(true, c.latency);
    const std::string text = metrics.Text({});
    const std::string bucket = "pinmark_dns_update_duration_seconds_bucket{outcome=\"done\",le=\"";
    EXPECT_TRUE(Holds(text, bucket + c.firstBucket + "\"} 1\n")) << c.latency.count() << "\n" << text;
    if (*c.before) {
      EXPECT_TRUE(Holds(text, bucket + c.before + "\"} 0\n")) << c.latency.count();
    }
    EXPECT_TRUE(Holds(text, bucket + "+Inf\"} 1\n")) << "buckets are cumulative";
    EXPECT_TRUE(Holds(text, "pinmark_dns_updates_total{outcome=\"done\"} 1\n"));
    EXPECT_TRUE(Holds(text, "pinmark_dns_updates_total{outcome=\"failed\"} 0\n"));
  }
}

TEST(Metrics, CountsFromManyThreadsAtOnceAndWritesOnlyTheGaugesGiven) {
  TMetrics metrics;
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t)
    threads.emplace_back([&] {
      for (int i = 0; i < 10000; ++i) {
        metrics.CountRequest(TMetricsDoor::CheckIn, TAnswer::Ok);
        metrics.CountRequest(TMetricsDoor::Api, TAnswer::Limited);
        metrics.CountWebhook(TWebhookOutcome::Failed);
      }
    });
  for (std::thread& t : threads) t.join();
  EXPECT_EQ(metrics.Requests(TMetricsDoor::CheckIn, TAnswer::Ok), 40000u);
  EXPECT_EQ(metrics.Requests(TMetricsDoor::Api, TAnswer::Limited), 40000u);
  EXPECT_EQ(metrics.Requests(TMetricsDoor::Api, TAnswer::Ok), 0u);
  EXPECT_EQ(metrics.Webhooks(TWebhookOutcome::Failed), 40000u);

  TMetricsGauges gauges;
  gauges.Nodes = 10000;
  gauges.DnsQueueOldestSeconds = 2.5;
  const std::string text = metrics.Text(gauges);
  EXPECT_TRUE(Holds(text, "pinmark_requests_total{door=\"checkin\",outcome=\"ok\"} 40000\n"));
  EXPECT_TRUE(Holds(text, "pinmark_webhook_deliveries_total{outcome=\"failed\"} 40000\n"));
  EXPECT_TRUE(Holds(text, "\npinmark_nodes 10000\n")) << "a whole number is written as one";
  EXPECT_TRUE(Holds(text, "\npinmark_dns_queue_oldest_seconds 2.5\n"));
  EXPECT_FALSE(Holds(text, "pinmark_stale_nodes")) << "a gauge not read is left out, not written as 0";
  EXPECT_FALSE(Holds(text, "pinmark_database_errors_total"));
}
