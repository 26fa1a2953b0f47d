// Failed sign-ins counted per key (an account, an address): a burst of
// failures is allowed, then one more each time RefillEvery passes. A key that
// has used its allowance is blocked until the next one comes; successes do
// not count.
//
// Time is passed in (a clock that steps back refills nothing). At most
// Capacity keys are tracked: a full table first forgets keys whose allowance
// is whole again, then the key whose last failure is the oldest (never the
// latest offender, or flooding the table would free it). Safe to call from
// several threads.
#pragma once

#include <cstddef>
#include <map>
#include <mutex>
#include <string>
#include <string_view>

#include "service/model/ServiceStore.h"

class TFailureLimit {
 public:
  TFailureLimit(int burst, TServiceTime refillEvery, std::size_t capacity);

  // 0 when key may try now, else how long until it may (milliseconds).
  TServiceTime Blocked(std::string_view key, TServiceTime now);
  void Failed(std::string_view key, TServiceTime now);
  // Whether key failed lately: some of its allowance is still used.
  bool Failing(std::string_view key, TServiceTime now);
  std::size_t Size();

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
