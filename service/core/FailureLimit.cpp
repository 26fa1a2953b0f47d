#include "service/core/FailureLimit.h"

#include <algorithm>

TFailureLimit::TFailureLimit(int burst, TServiceTime refillEvery, std::size_t capacity)
    : burst_(std::max(1, burst)),
      refillEvery_(std::max<TServiceTime>(1, refillEvery)),
      capacity_(std::max<std::size_t>(1, capacity)) {}

void TFailureLimit::Refill(TBucket& b, TServiceTime now) const {
  if (now <= b.since) return;
  const TServiceTime steps = (now - b.since) / refillEvery_;
  if (steps <= 0) return;
  if (steps >= burst_ - b.allowance) {
    b.allowance = burst_;
    b.since = now;
  } else {
    b.allowance += static_cast<int>(steps);
    b.since += steps * refillEvery_;
  }
}

TServiceTime TFailureLimit::Blocked(std::string_view key, TServiceTime now) {
  std::lock_guard<std::mutex> guard(lock_);
  auto it = buckets_.find(key);
  if (it == buckets_.end()) return 0;
  Refill(it->second, now);
  if (it->second.allowance > 0) return 0;
  return std::max<TServiceTime>(1, it->second.since + refillEvery_ - now);
}

void TFailureLimit::Failed(std::string_view key, TServiceTime now) {
  std::lock_guard<std::mutex> guard(lock_);
  auto it = buckets_.find(key);
  if (it == buckets_.end()) {
    if (buckets_.size() >= capacity_) {
      for (auto b = buckets_.begin(); b != buckets_.end();) {
        Refill(b->second, now);
        b = b->second.allowance >= burst_ ? buckets_.erase(b) : std::next(b);
      }
      if (buckets_.size() >= capacity_)
        buckets_.erase(std::min_element(buckets_.begin(), buckets_.end(),
                                        [](const auto& a, const auto& b) { return a.second.last < b.second.last; }));
    }
    it = buckets_.emplace(std::string(key), TBucket{burst_, now}).first;
  }
  TBucket& b = it->second;
  Refill(b, now);
  b.last = std::max(b.last, now);
  if (b.allowance == burst_) b.since = now;  // the refill clock starts with the first failure
  if (b.allowance > 0) --b.allowance;
}

bool TFailureLimit::Failing(std::string_view key, TServiceTime now) {
  std::lock_guard<std::mutex> guard(lock_);
  auto it = buckets_.find(key);
  if (it == buckets_.end()) return false;
  Refill(it->second, now);
  return it->second.allowance < burst_;
}

std::size_t TFailureLimit::Size() {
  std::lock_guard<std::mutex> guard(lock_);
  return buckets_.size();
}
