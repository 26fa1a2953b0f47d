#include "service/store/PostgresCheckInPipe.h"

#include <algorithm>
#include <numeric>
#include <utility>

#include "runtime/JournalLog.h"
#include "runtime/ThreadName.h"
#include "service/store/PostgresStore.h"

namespace {
// Names as the database compares them: without regard to ASCII case.
int CompareNames(std::string_view a, std::string_view b) {
  const std::size_t n = std::min(a.size(), b.size());
  for (std::size_t i = 0; i < n; ++i) {
    const auto x = static_cast<unsigned char>(a[i] >= 'A' && a[i] <= 'Z' ? a[i] + 32 : a[i]);
    const auto y = static_cast<unsigned char>(b[i] >= 'A' && b[i] <= 'Z' ? b[i] + 32 : b[i]);
    if (x != y) return x < y ? -1 : 1;
  }
  return a.size() == b.size() ? 0 : a.size() < b.size() ? -1 : 1;
}
}  // namespace

TPostgresCheckInPipe::TPostgresCheckInPipe(std::string uri) : uri_(std::move(uri)) {}

TPostgresCheckInPipe::~TPostgresCheckInPipe() {
  Drain();
  {
    std::lock_guard<std::mutex> hold(lock_);
    stopping_ = true;
  }
  woken_.notify_all();
  if (thread_.joinable()) thread_.join();
}

bool TPostgresCheckInPipe::Send(const TAccountRecord& expected, std::string_view node, std::string_view address,
                                TServiceTime now, TDone done) {
  std::lock_guard<std::mutex> hold(lock_);
  if (stopping_ || waiting_.size() >= MaxWaiting || std::chrono::steady_clock::now() < backoff_.Until()) return false;
  if (!thread_.joinable()) thread_ = std::thread([this] { Run(); });
  waiting_.push_back({expected, std::string(node), std::string(address), now, std::move(done)});
  return true;
}

void TPostgresCheckInPipe::Flush() {
  {
    std::lock_guard<std::mutex> hold(lock_);
    if (flushed_ == waiting_.size()) return;
    flushed_ = waiting_.size();
  }
  woken_.notify_one();
}

void TPostgresCheckInPipe::Drain() {
  Flush();
  std::unique_lock<std::mutex> hold(lock_);
  idle_.wait(hold, [this] { return waiting_.empty() && !busy_; });
}

std::size_t TPostgresCheckInPipe::Turns() const {
  std::lock_guard<std::mutex> hold(lock_);
  return turns_;
}

std::size_t TPostgresCheckInPipe::CheckIns() const {
  std::lock_guard<std::mutex> hold(lock_);
  return checkIns_;
}

void TPostgresCheckInPipe::Run() {
  NameThreadForDebugging("pg-check-ins");
  std::unique_ptr<TPostgresConnection> c;
  std::unique_lock<std::mutex> hold(lock_);
  for (;;) {
    woken_.wait(hold, [this] { return stopping_ || flushed_ > 0; });
    if (flushed_ == 0) return;
    const std::size_t n = std::min(flushed_, MaxTurn);
    std::vector<TSent> turn(std::make_move_iterator(waiting_.begin()), std::make_move_iterator(waiting_.begin() + n));
    waiting_.erase(waiting_.begin(), waiting_.begin() + n);
    flushed_ -= n;
    busy_ = true;
    hold.unlock();
    Turn(turn, c);
    hold.lock();
    busy_ = false;
    if (waiting_.empty()) idle_.notify_all();
  }
}

TPostgresConnection& TPostgresCheckInPipe::Connection(std::unique_ptr<TPostgresConnection>& c) {
  if (c && !c->Broken()) return *c;
  c.reset();
  try {
    auto made = std::make_unique<TPostgresConnection>(uri_, Application);
    made->EnterPipeline({&TPostgresStore::RepeatCheckInAs()});
    c = std::move(made);
  } catch (const EStoreError&) {
    std::lock_guard<std::mutex> hold(lock_);
    backoff_.Failed();
    throw;
  }
  std::lock_guard<std::mutex> hold(lock_);
  backoff_.Succeeded();
  return *c;
}

void TPostgresCheckInPipe::Turn(std::vector<TSent>& turn, std::unique_ptr<TPostgresConnection>& connection) {
  std::vector<std::size_t> order(turn.size());
  std::iota(order.begin(), order.end(), 0);
  std::stable_sort(order.begin(), order.end(), [&](std::size_t a, std::size_t b) {
    const int byAccount = CompareNames(turn[a].Expected.Name, turn[b].Expected.Name);
    return byAccount != 0 ? byAccount < 0 : CompareNames(turn[a].Node, turn[b].Node) < 0;
  });
  std::vector<std::optional<TCheckInAs>> outcomes(turn.size());
  try {
    TPostgresConnection& c = Connection(connection);
    for (const std::size_t i : order)
      c.Send(TPostgresStore::RepeatCheckInAs(),
             TPostgresStore::RepeatCheckInAsParams(turn[i].Expected, turn[i].Node, turn[i].Address, turn[i].Now));
    c.Sync();
    bool failed = false;
    for (const std::size_t i : order) {
      try {
        outcomes[i] = TPostgresStore::ReadRepeatCheckInAs(c.Next(), turn[i].Expected, turn[i].Address, turn[i].Now);
      } catch (const EStoreError&) {
        // One failed statement takes the whole transaction with it.
        if (c.Broken()) throw;
        failed = true;
      }
    }
    c.Synced();
    if (failed) std::fill(outcomes.begin(), outcomes.end(), std::nullopt);
  } catch (const EStoreError&) {
    std::fill(outcomes.begin(), outcomes.end(), std::nullopt);
  }
  if (outcomes.front()) {
    std::lock_guard<std::mutex> hold(lock_);
    ++turns_;
    checkIns_ += turn.size();
  }
  // What the check-ins log as they are answered goes out in one write.
  TLogBatch lines;
  for (std::size_t i = 0; i < turn.size(); ++i) turn[i].Done(std::move(outcomes[i]));
}
