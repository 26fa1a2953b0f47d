#include "service/dns/DnsWorker.h"

#include <poll.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <algorithm>
#include <memory>
#include <vector>

#include "runtime/ThreadName.h"
#include "service/dns/DnsExchange.h"
#include "service/dns/DnsQuery.h"

namespace {

int64_t Seconds(TServiceTime time) { return time / 1000; }

// One update on its way.
struct TFlight {
  TDnsJob Job;
  std::unique_ptr<TDnsUpdate> Update;
  std::unique_ptr<TDnsExchange> Exchange;
  std::chrono::steady_clock::time_point Sent = std::chrono::steady_clock::now();
};

}  // namespace

TDnsWorker::TDnsWorker(TDnsQueue& queue, const TDnsServer& server, const TDnsKey& key, std::string zone,
                       TDnsWorkerOptions options, TClock clock)
    : queue_(queue), server_(server), key_(key), zone_(std::move(zone)), options_(options), clock_(std::move(clock)) {
  if (options_.Window < 1) options_.Window = 1;
  wake_ = ::eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
}

TDnsWorker::~TDnsWorker() {
  Stop();
  if (wake_ >= 0) ::close(wake_);
}

TServiceTime TDnsWorker::Now() const {
  if (clock_) return clock_();
  return ServiceClockNow();
}

void TDnsWorker::Start() {
  if (thread_.joinable()) return;
  stop_ = false;
  thread_ = std::thread([this] { Run(); });
}

void TDnsWorker::Stop() {
  if (!thread_.joinable()) return;
  stop_ = true;
  Wake();
  thread_.join();
}

void TDnsWorker::Wake() {
  const uint64_t one = 1;
  // Fails only when the counter is full, and then the worker wakes anyway.
  [[maybe_unused]] ssize_t n = ::write(wake_, &one, sizeof one);
}

void TDnsWorker::LogStoreError(const char* what, const std::exception& error) {
  if (storeFailing_) return;
  storeFailing_ = true;
  queue_.Log(TLogPriority::Error, std::string("DNS: cannot ") + what + " the update queue: " + error.what() +
                                      " (trying again every second)");
}

void TDnsWorker::Run() {
  NameThreadForDebugging("dns-updates");
  using TSteady = std::chrono::steady_clock;
  std::vector<TFlight> flights;
  TSteady::time_point storeRetry{};  // while the store fails: not before then

  auto finish = [&](TFlight& flight, const TDnsOutcome& outcome) {
    if (options_.OnOutcome)
      options_.OnOutcome(outcome.Kind == TDnsOutcome::Done, std::chrono::steady_clock::now() - flight.Sent);
    try {
      queue_.Finish(flight.Job, outcome, Now());
    } catch (const std::exception& error) {
      // The lease kept in the store sends the name again later.
      LogStoreError("write", error);
      storeRetry = TSteady::now() + std::chrono::seconds(1);
    }
  };

  while (!stop_) {
    TSteady::time_point steadyNow = TSteady::now();
    if (steadyNow >= storeRetry) {
      try {
        while (static_cast<int>(flights.size()) < options_.Window) {
          const TServiceTime now = Now();
          std::optional<TDnsJob> job = queue_.TakeDue(now);
          if (!job) break;
          TFlight flight;
          flight.Job = std::move(*job);
          flight.Sent = steadyNow;
          try {
            flight.Update = std::make_unique<TDnsUpdate>(
                flight.Job.Address.empty()
                    ? TDnsUpdate::MakeWithdrawal(zone_, flight.Job.Name, flight.Job.Type, key_, DnsRandomId(), Seconds(now))
                    : TDnsUpdate::Make(zone_, flight.Job.Name, flight.Job.Address, options_.Ttl, key_, DnsRandomId(),
                                       Seconds(now)));
          } catch (const EDnsUpdate& error) {
            finish(flight, {TDnsOutcome::Failed, error.Message()});
            continue;
          }
          const TDnsUpdate* update = flight.Update.get();
          flight.Exchange = std::make_unique<TDnsExchange>(
              server_, update->Wire(),
              [this, update](std::string_view answer) { return update->Check(answer, key_, Seconds(Now())); },
              steadyNow + options_.Timeout);
          flights.push_back(std::move(flight));
        }
        if (storeFailing_) {
          storeFailing_ = false;
          queue_.Log(TLogPriority::Info, "DNS: the update queue can be read and written again");
        }
      } catch (const std::exception& error) {
        LogStoreError("read or write", error);
        storeRetry = steadyNow + std::chrono::seconds(1);
      }
    }

    // Sleep until a socket is ready, a timer of an exchange, the next entry
    // due (when there is room for it), or a wake-up; and look at the queue
    // every few seconds all the same, for what another process put there
    // (the account command's withdrawals).
    TSteady::time_point until = steadyNow + std::chrono::seconds(5);
    for (const TFlight& flight : flights)
      until = std::min(until, flight.Exchange->Done() ? steadyNow : flight.Exchange->NextTime());
    if (storeRetry > steadyNow) {
      until = std::min(until, storeRetry);
    } else if (static_cast<int>(flights.size()) < options_.Window) {
      try {
        if (std::optional<TServiceTime> due = queue_.NextDue()) {
          // Due is wall-clock time (it outlives the process); the wait is
          // measured on the steady clock, which a clock change does not move.
          const auto wait = std::chrono::milliseconds(std::max<TServiceTime>(0, *due - Now()));
          until = std::min(until, steadyNow + wait);
        }
      } catch (const std::exception& error) {
        LogStoreError("read", error);
        storeRetry = steadyNow + std::chrono::seconds(1);
        until = std::min(until, storeRetry);
      }
    }
    std::vector<pollfd> fds;
    fds.push_back({wake_, POLLIN, 0});
    for (const TFlight& flight : flights) fds.push_back({flight.Exchange->Fd(), flight.Exchange->Events(), 0});
    const auto wait = std::chrono::ceil<std::chrono::milliseconds>(until - TSteady::now()).count();
    ::poll(fds.data(), fds.size(), static_cast<int>(std::clamp<int64_t>(wait, 0, 60000)));
    if (fds[0].revents != 0) {
      uint64_t count = 0;
      [[maybe_unused]] ssize_t n = ::read(wake_, &count, sizeof count);
    }

    steadyNow = TSteady::now();
    for (std::size_t i = 0; i < flights.size(); ++i) {
      TDnsExchange& exchange = *flights[i].Exchange;
      if (fds[i + 1].revents != 0) exchange.OnReady(fds[i + 1].revents, steadyNow);
      if (!exchange.Done() && steadyNow >= exchange.NextTime()) exchange.OnTime(steadyNow);
      if (exchange.Done()) finish(flights[i], exchange.Outcome());
    }
    std::erase_if(flights, [](const TFlight& flight) { return flight.Exchange->Done(); });
  }

  // Whatever is still on its way goes back to the queue, due at once.
  for (const TFlight& flight : flights) {
    try {
      queue_.Abandon(flight.Job, Now());
    } catch (const std::exception&) {
      // Its lease in the store brings it back.
    }
  }
}
