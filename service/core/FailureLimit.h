// Failed sign-ins counted in this process's memory, under the rules of every
// IFailureCounts (service/model/FailureCounts.h): a burst, then one more try
// each RefillEvery, and a bounded table that never frees the latest
// offender. Each instance of the service has its own unless its store
// shares them.
#pragma once

#include <cstddef>
#include <map>
#include <mutex>
#include <string>
#include <string_view>

#include "service/model/FailureCounts.h"

class TFailureLimit : public IFailureCounts {
 public:
  TFailureLimit(int burst, TServiceTime refillEvery, std::size_t capacity);
  explicit TFailureLimit(const TFailureRule& rule) : TFailureLimit(rule.Burst, rule.RefillEvery, rule.Capacity) {}

  TServiceTime Blocked(std::string_view key, TServiceTime now) override;
  void Failed(std::string_view key, TServiceTime now) override;
  bool Failing(std::string_view key, TServiceTime now) override;
  std::size_t Size() override;

 private:
  struct TBucket {
    int allowance = 0;
    TServiceTime since = 0;  // when the allowance was last refilled or used
    TServiceTime last = 0;   // the latest failure
  };
  void Refill(TBucket& b, TServiceTime now) const;

  int burst_;
  TServiceTime refillEvery_;
  std::size_t capacity_;
  std::mutex lock_;
  std::map<std::string, TBucket, std::less<>> buckets_;
};
