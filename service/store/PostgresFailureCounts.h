// Failed sign-ins of one limit (a kind: "address", "pair", "account")
// counted in a PostgreSQL database that several instances of the service
// share (table failure_counts), under the rules of every IFailureCounts
// (service/model/FailureCounts.h): guesses spread over the instances get no
// more tries than guesses sent to one.
//
// Failed is one atomic upsert that refills and spends the allowance in the
// database, so failures counted at once on several instances are all
// counted. Blocked and Failing are asked on every sign-in: a key this
// process does not know to be failing is answered from memory, and only a
// key in the mirror costs an indexed read. The mirror is the keys whose
// failures the database recorded (at the server's clock) since the last
// refresh, less a margin, and those this process counted; it is refreshed
// by the first call at least RefreshEvery after the last one, in one query. So an instance may miss,
// for at most RefreshEvery (and the time a failure takes to commit), that a
// key began failing on another instance: an attacker spreading guesses
// over instances gets, beyond what the rule allows, at most what it can try
// on the other instances within that window. A key this instance saw fail
// is read from the database on every question until its allowance is whole.
#pragma once

#include <chrono>
#include <cstdint>
#include <mutex>
#include <string>
#include <unordered_map>

#include "service/model/FailureCounts.h"
#include "service/store/PostgresConnection.h"

class TPostgresFailureCounts : public IFailureCounts {
 public:
  static constexpr std::chrono::milliseconds RefreshEvery{1000};
  // How far back (microseconds of the server's clock) a refresh looks before
  // the previous one began: a failure's row is stamped just before its
  // statement commits, so one stamped a little before a refresh may become
  // visible only after it.
  static constexpr std::int64_t RefreshMarginMicros = 2'000'000;

  // pg_advisory_xact_lock's first key while forgetting keys of a full table: "PmFc".
  static constexpr int TidyLock = 0x506d4663;

  TPostgresFailureCounts(TPostgresPool& pool, std::string kind, const TFailureRule& rule,
                         std::chrono::milliseconds refreshEvery = RefreshEvery);

  TServiceTime Blocked(std::string_view key, TServiceTime now) override;
  void Failed(std::string_view key, TServiceTime now) override;
  bool Failing(std::string_view key, TServiceTime now) override;
  std::size_t Size() override;

 private:
  struct TBucket {
    std::int64_t allowance = 0;
    TServiceTime since = 0;
  };
  TPostgresPool::TLease Take();
  // The allowance after refilling up to now (nothing when now is not later).
  TBucket Refilled(TBucket b, TServiceTime now) const;
  // The key's bucket as the database holds it, or nothing when it has none;
  // asks the database only for keys in the mirror.
  std::optional<TBucket> Read(std::string_view key, TServiceTime now);
  void Refresh(TServiceTime now);

  TPostgresPool& pool_;
  const std::string kind_;
  const int burst_;
  const TServiceTime refillEvery_;
  const std::size_t capacity_;
  const std::chrono::milliseconds refreshEvery_;

  std::mutex lock_;
  std::unordered_map<std::string, TBucket> mirror_;
  bool refreshing_ = false;
  std::chrono::steady_clock::time_point refreshed_{};
  std::int64_t seenUntil_ = 0;  // the server's clock (microseconds) the next refresh reads from
};
