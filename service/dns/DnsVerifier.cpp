#include "service/dns/DnsVerifier.h"

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

using TSteady = std::chrono::steady_clock;

// One question out.
struct TAsk {
  TDnsQueueEntry Entry;
  TDnsQuery Query;
  TDnsHeld Held;
  std::unique_ptr<TDnsExchange> Exchange;
};

std::string Joined(const std::vector<std::string>& addresses) {
  std::string text;
  for (const std::string& a : addresses) text += (text.empty() ? "" : ", ") + a;
  return text;
}

}  // namespace

TDnsVerifier::TDnsVerifier(TDnsQueue& queue, const TDnsServer& server, TDnsVerifierOptions options,
                           std::function<void()> wake, TClock clock)
    : queue_(queue), server_(server), options_(options), wake_(std::move(wake)), clock_(std::move(clock)) {
  options_.Window = std::max(1, options_.Window);
  wakeFd_ = ::eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
}

TDnsVerifier::~TDnsVerifier() {
  Stop();
  if (wakeFd_ >= 0) ::close(wakeFd_);
}

TServiceTime TDnsVerifier::Now() const {
  if (clock_) return clock_();
  return ServiceClockNow();
}

void TDnsVerifier::Start() {
  if (thread_.joinable()) return;
  stop_ = false;
  thread_ = std::thread([this] { Run(); });
}

void TDnsVerifier::Stop() {
  if (!thread_.joinable()) return;
  stop_ = true;
  const uint64_t one = 1;
  [[maybe_unused]] ssize_t n = ::write(wakeFd_, &one, sizeof one);
  thread_.join();
}

std::optional<TDnsPass> TDnsVerifier::WaitForPasses(uint64_t count, std::chrono::milliseconds limit) {
  std::unique_lock<std::mutex> hold(lock_);
  if (!passed_.wait_for(hold, limit, [&] { return passes_ >= count; })) return std::nullopt;
  return last_;
}

std::chrono::milliseconds TDnsVerifier::ParseEvery(const std::string& text) {
  const std::string usage = "the verification period \"" + text + "\" is not a whole number with s, m, h or d";
  if (text.size() < 2 || text.size() > 8 || text.find_first_not_of("0123456789") != text.size() - 1)
    throw EDnsUpdate(usage);
  const long long number = std::stoll(text.substr(0, text.size() - 1));
  long long seconds = 0;
  switch (text.back()) {
    case 's':
      seconds = number;
      break;
    case 'm':
      seconds = number * 60;
      break;
    case 'h':
      seconds = number * 3600;
      break;
    case 'd':
      seconds = number * 86400;
      break;
    default:
      throw EDnsUpdate(usage);
  }
  if (seconds < 10 || seconds > 7 * 86400)
    throw EDnsUpdate("the verification period " + text + " is not from 10s to 7d");
  return std::chrono::seconds(seconds);
}

bool TDnsVerifier::Sleep(TSteady::time_point until) {
  while (!stop_) {
    const auto wait = std::chrono::ceil<std::chrono::milliseconds>(until - TSteady::now()).count();
    if (wait <= 0) return true;
    pollfd fd{wakeFd_, POLLIN, 0};
    ::poll(&fd, 1, static_cast<int>(std::min<int64_t>(wait, 60000)));
  }
  return false;
}

void TDnsVerifier::Run() {
  NameThreadForDebugging("dns-verify");
  bool spread = false;  // the first pass settles the names shown "verifying" at once
  for (TSteady::time_point next = TSteady::now(); Sleep(next);) {
    const TSteady::time_point began = TSteady::now();
    // Instances sharing the queue ask the name server one at a time: a pass
    // another one is making now counts as this one's.
    TDnsPass pass;
    try {
      queue_.RunAlone("dns-verify", [&] { pass = Pass(spread); });
    } catch (const std::exception& error) {
      queue_.Log(TLogPriority::Warning, std::string("DNS: no verification pass: ") + error.what());
      pass.Unanswered = 1;
    }
    if (stop_) break;
    spread = pass.Unanswered == 0;
    next = std::max(TSteady::now(), began + (spread ? options_.Every : std::min(options_.Every, options_.RetryAfter)));
    std::lock_guard<std::mutex> hold(lock_);
    ++passes_;
    last_ = pass;
    passed_.notify_all();
  }
}

TDnsPass TDnsVerifier::Pass(bool spread) {
  TDnsPass pass;
  const TSteady::time_point began = TSteady::now();
  std::vector<std::unique_ptr<TAsk>> out;
  std::string reason;  // of the last question left unanswered
  try {
    // Spread: one question every Every / (names published), counted first.
    TSteady::duration interval{};
    std::string name;
    TDnsRecordType type = TDnsRecordType::A;
    if (spread) {
      std::size_t published = 0;
      for (std::vector<TDnsQueueEntry> page; !stop_ && !(page = queue_.Walk(name, type, 256)).empty();) {
        published += std::count_if(page.begin(), page.end(),
                                   [](const TDnsQueueEntry& e) { return e.State == TDnsState::Published; });
        name = page.back().Name;
        type = page.back().Type;
      }
      if (published > 0) interval = options_.Every / published;
      name.clear();
      type = TDnsRecordType::A;
    }

    std::vector<TDnsQueueEntry> waiting;  // read, not asked yet (in reverse order)
    bool walked = false;
    TSteady::time_point askAt = began;
    while (!stop_) {
      TSteady::time_point now = TSteady::now();
      while (static_cast<int>(out.size()) < options_.Window && now >= askAt) {
        while (waiting.empty() && !walked) {
          std::vector<TDnsQueueEntry> page = queue_.Walk(name, type, 256);
          if (page.empty()) {
            walked = true;
            break;
          }
          name = page.back().Name;
          type = page.back().Type;
          for (auto it = page.rbegin(); it != page.rend(); ++it)
            if (it->State == TDnsState::Published) waiting.push_back(std::move(*it));
        }
        if (waiting.empty()) break;
        auto ask = std::make_unique<TAsk>();
        ask->Entry = std::move(waiting.back());
        waiting.pop_back();
        try {
          ask->Query = TDnsQuery::Make(ask->Entry.Name, ask->Entry.Type, DnsRandomId());
        } catch (const EDnsUpdate&) {
          // Only a damaged store holds a name no question can carry (its
          // update fails and says so); asking again would not mend it.
          continue;
        }
        TAsk* asked = ask.get();
        ask->Exchange = std::make_unique<TDnsExchange>(
            server_, ask->Query.Wire(),
            [asked](std::string_view answer) {
              TDnsHeld held = asked->Query.Read(answer);
              if (held.Kind == TDnsHeld::Unverified) return TDnsOutcome{TDnsOutcome::Unverified, held.Reason};
              asked->Held = std::move(held);
              return TDnsOutcome{asked->Held.Kind == TDnsHeld::Answered ? TDnsOutcome::Done : TDnsOutcome::Failed,
                                 asked->Held.Reason};
            },
            now + options_.Timeout);
        out.push_back(std::move(ask));
        ++pass.Asked;
        askAt += interval;
      }
      if (out.empty() && waiting.empty() && walked) break;

      TSteady::time_point until = now + std::chrono::seconds(60);
      // The next question's time counts only when there is room for it.
      if ((!waiting.empty() || !walked) && static_cast<int>(out.size()) < options_.Window)
        until = std::min(until, std::max(askAt, now));
      for (const auto& ask : out) until = std::min(until, ask->Exchange->Done() ? now : ask->Exchange->NextTime());
      std::vector<pollfd> fds{{wakeFd_, POLLIN, 0}};
      for (const auto& ask : out) fds.push_back({ask->Exchange->Fd(), ask->Exchange->Events(), 0});
      const auto wait = std::chrono::ceil<std::chrono::milliseconds>(until - TSteady::now()).count();
      ::poll(fds.data(), fds.size(), static_cast<int>(std::clamp<int64_t>(wait, 0, 60000)));

      now = TSteady::now();
      for (std::size_t i = 0; i < out.size(); ++i) {
        TDnsExchange& exchange = *out[i]->Exchange;
        if (fds[i + 1].revents != 0) exchange.OnReady(fds[i + 1].revents, now);
        if (!exchange.Done() && now >= exchange.NextTime()) exchange.OnTime(now);
        if (!exchange.Done()) continue;
        if (exchange.Outcome().Kind != TDnsOutcome::Done) {
          ++pass.Unanswered;
          reason = exchange.Outcome().Reason;
          continue;
        }
        if (queue_.Verified(out[i]->Entry, Joined(out[i]->Held.Addresses), Now())) {
          ++pass.Resent;
          if (wake_) wake_();
        } else {
          ++pass.Held;
        }
      }
      std::erase_if(out, [](const auto& ask) { return ask->Exchange->Done(); });
    }
  } catch (const std::exception& error) {
    reason = std::string("the update queue cannot be read: ") + error.what();
    pass.Unanswered += std::max<std::size_t>(1, out.size());
  }
  pass.Took = TSteady::now() - began;
  // A pass that found everything in place is not worth a line every hour.
  if (stop_ || (pass.Resent == 0 && pass.Unanswered == 0)) return pass;
  std::string line = "DNS: verified " + std::to_string(pass.Asked) + " published names at " + server_.Text() + ": " +
                     std::to_string(pass.Held) + " hold what was published, " + std::to_string(pass.Resent) +
                     " sent again";
  if (pass.Unanswered > 0)
    line += ", " + std::to_string(pass.Unanswered) + " not verified (" + reason + "); asking again within " +
            std::to_string(std::chrono::duration_cast<std::chrono::seconds>(
                               std::min(options_.Every, options_.RetryAfter))
                               .count()) +
            " s";
  queue_.Log(pass.Unanswered > 0 ? TLogPriority::Warning : TLogPriority::Info, line);
  return pass;
}
