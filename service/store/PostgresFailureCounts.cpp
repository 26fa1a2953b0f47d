#include "service/store/PostgresFailureCounts.h"

#include <algorithm>

#include "runtime/NoWaitScope.h"

namespace {
// $1 kind, $2 key, $3 burst, $4 now, $5 refill period. The refill is that
// of TFailureLimit, worked out on the row as it is when the row is locked:
// whole again (and the clock restarted at now) once enough periods passed,
// else one try back per whole period, counted on from since.
const std::string kFailed =
    "INSERT INTO failure_counts AS f(kind, key, allowance, since, last) VALUES($1, $2, $3::bigint - 1, $4, $4)"
    " ON CONFLICT (kind, key) DO UPDATE SET (allowance, since, last, touched) ="
    " (SELECT greatest(r.a - 1, 0), CASE WHEN r.a = $3::bigint THEN $4::bigint ELSE r.s END,"
    "   greatest(f.last, $4::bigint), (extract(epoch FROM clock_timestamp()) * 1000000)::bigint"
    "  FROM (SELECT CASE WHEN st.n >= $3::bigint - f.allowance THEN $3::bigint ELSE f.allowance + st.n END AS a,"
    "   CASE WHEN st.n >= $3::bigint - f.allowance THEN $4::bigint ELSE f.since + st.n * $5::bigint END AS s"
    "   FROM (SELECT CASE WHEN $4::bigint > f.since THEN ($4::bigint - f.since) / $5::bigint ELSE 0 END AS n) st) r)"
    " RETURNING allowance, since, (xmax = 0) AS inserted";
}  // namespace

TPostgresFailureCounts::TPostgresFailureCounts(TPostgresPool& pool, std::string kind, const TFailureRule& rule,
                                               std::chrono::milliseconds refreshEvery)
    : pool_(pool),
      kind_(std::move(kind)),
      burst_(std::max(1, rule.Burst)),
      refillEvery_(std::max<TServiceTime>(1, rule.RefillEvery)),
      capacity_(std::max<std::size_t>(1, rule.Capacity)),
      refreshEvery_(refreshEvery) {}

TPostgresPool::TLease TPostgresFailureCounts::Take() {
  TNoWaitScope::MayWait("a PostgreSQL query");
  return pool_.Take();
}

TPostgresFailureCounts::TBucket TPostgresFailureCounts::Refilled(TBucket b, TServiceTime now) const {
  if (now <= b.since) return b;
  const TServiceTime steps = (now - b.since) / refillEvery_;
  if (steps <= 0) return b;
  if (steps >= burst_ - b.allowance) return {burst_, now};
  return {b.allowance + steps, b.since + steps * refillEvery_};
}

void TPostgresFailureCounts::Refresh(TServiceTime now) {
  {
    std::lock_guard<std::mutex> guard(lock_);
    if (refreshing_ || std::chrono::steady_clock::now() - refreshed_ < refreshEvery_) return;
    refreshing_ = true;
  }
  std::unordered_map<std::string, TBucket> seen;
  std::int64_t serverNow = 0;
  try {
    auto c = Take();
    const TPostgresResult r =
        c->Run("SELECT t.now, f.key, f.allowance, f.since FROM"
               " (SELECT (extract(epoch FROM clock_timestamp()) * 1000000)::bigint AS now) t"
               " LEFT JOIN failure_counts f ON f.kind = $1 AND f.touched >= $2",
               TPostgresParams(kind_, seenUntil_));
    for (int i = 0; i < r.Rows(); ++i) {
      serverNow = r.Int(i, 0);
      if (!r.IsNull(i, 1)) seen[r.Text(i, 1)] = {r.Int(i, 2), r.Int(i, 3)};
    }
  } catch (...) {
    std::lock_guard<std::mutex> guard(lock_);
    refreshing_ = false;
    throw;
  }
  std::lock_guard<std::mutex> guard(lock_);
  // Keys whose allowance is whole again leave the mirror; a new failure
  // anywhere stamps the row and brings its key back with the next refresh.
  std::erase_if(mirror_, [&](const auto& entry) { return Refilled(entry.second, now).allowance >= burst_; });
  for (auto& [key, bucket] : seen) mirror_[key] = bucket;
  seenUntil_ = serverNow - RefreshMarginMicros;
  refreshed_ = std::chrono::steady_clock::now();
  refreshing_ = false;
}

std::optional<TPostgresFailureCounts::TBucket> TPostgresFailureCounts::Read(std::string_view key, TServiceTime now) {
  Refresh(now);
  {
    std::lock_guard<std::mutex> guard(lock_);
    if (mirror_.find(std::string(key)) == mirror_.end()) return std::nullopt;
  }
  auto c = Take();
  const TPostgresResult r = c->Run("SELECT allowance, since FROM failure_counts WHERE kind = $1 AND key = $2",
                                   TPostgresParams(kind_, key));
  if (r.Rows() == 0) return std::nullopt;
  return TBucket{r.Int(0, 0), r.Int(0, 1)};
}

TServiceTime TPostgresFailureCounts::Blocked(std::string_view key, TServiceTime now) {
  const std::optional<TBucket> read = Read(key, now);
  if (!read) return 0;
  const TBucket b = Refilled(*read, now);
  if (b.allowance > 0) return 0;
  return std::max<TServiceTime>(1, b.since + refillEvery_ - now);
}

bool TPostgresFailureCounts::Failing(std::string_view key, TServiceTime now) {
  const std::optional<TBucket> read = Read(key, now);
  return read && Refilled(*read, now).allowance < burst_;
}

void TPostgresFailureCounts::Failed(std::string_view key, TServiceTime now) {
  auto c = Take();
  const TPostgresResult r = c->Run(kFailed, TPostgresParams(kind_, key, burst_, now, refillEvery_));
  {
    std::lock_guard<std::mutex> guard(lock_);
    mirror_[std::string(key)] = {r.Int(0, 0), r.Int(0, 1)};
  }
  if (!r.Bool(0, 2)) return;
  // A new key: a full table forgets keys whose allowance is whole again,
  // then those whose last failure is the oldest; never this one. Apart from
  // the count, which stands whatever happens here, and one instance at a
  // time, so that instances tidying at once cannot deadlock on each other's rows.
  const std::int64_t capacity = static_cast<std::int64_t>(capacity_);
  TPostgresTransaction t(*c);
  c->Run("SELECT pg_advisory_xact_lock($1, hashtext($2))", TPostgresParams(TidyLock, kind_));
  if (c->Run("SELECT count(*) FROM failure_counts WHERE kind = $1", TPostgresParams(kind_)).Int(0, 0) <= capacity)
    return;
  c->Run("DELETE FROM failure_counts WHERE kind = $1 AND key <> $2 AND allowance +"
         " CASE WHEN $3::bigint > since THEN ($3::bigint - since) / $4::bigint ELSE 0 END >= $5::bigint",
         TPostgresParams(kind_, key, now, refillEvery_, burst_));
  const std::int64_t over =
      c->Run("SELECT count(*) FROM failure_counts WHERE kind = $1", TPostgresParams(kind_)).Int(0, 0) - capacity;
  if (over > 0)
    c->Run("DELETE FROM failure_counts WHERE (kind, key) IN (SELECT kind, key FROM failure_counts"
           " WHERE kind = $1 AND key <> $2 ORDER BY last, key LIMIT $3)",
           TPostgresParams(kind_, key, over));
  t.Commit();
}

std::size_t TPostgresFailureCounts::Size() {
  auto c = Take();
  return static_cast<std::size_t>(
      c->Run("SELECT count(*) FROM failure_counts WHERE kind = $1", TPostgresParams(kind_)).Int(0, 0));
}
