#include "service/dns/DnsQueue.h"


#include <algorithm>
#include <ctime>

#include "runtime/IpAddress.h"
#include "runtime/SysUtils.h"

namespace {


std::string Subject(const std::string& name, TDnsRecordType type) { return name + " " + DnsRecordTypeName(type); }

// " key=value" for a log line of fields, the value escaped as the service's
// request log escapes every value: bytes outside printable ASCII, the blank
// and '%' as %XX.
std::string Field(const char* key, const std::string& value) {
  return std::string(" ") + key + "=" + PercentEncode(value, [](unsigned char c) { return c > ' ' && c < 0x7F && c != '%'; });
}

// The first fields of a line about an entry's change of state.
std::string StateLine(const TDnsJob& job, const char* state) {
  return "event=dns" + Field("name", job.Name) + " type=" + DnsRecordTypeName(job.Type) +
         (job.Address.empty() ? "" : Field("address", job.Address)) + " state=" + state;
}

std::string IsoTime(TServiceTime time) {
  const std::time_t seconds = time / 1000;
  std::tm utc{};
  gmtime_r(&seconds, &utc);
  char text[32];
  std::strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%SZ", &utc);
  return text;
}

// Takes a name out of flight however its Finish ends, even by an error of
// the store: the lease kept there brings it back.
template <typename TSet>
struct TLandedIn {
  TSet& set;
  typename TSet::key_type key;
  ~TLandedIn() { set.erase(key); }
};

}  // namespace

TDnsQueue::TDnsQueue(IDnsQueueStore& store, TDnsQueueOptions options, TLog log)
    : store_(store), options_(options), log_(std::move(log)) {}

void TDnsQueue::Log(TLogPriority priority, const std::string& text) const {
  if (log_) {
    log_(priority, text);
  } else {
    LogLine(2, priority, text);
  }
}

std::string TDnsQueue::CanonicalAddress(const std::string& text) {
  std::optional<std::string> canonical = ::CanonicalAddress(text);
  if (!canonical) throw EDnsUpdate("\"" + text + "\" is not an IP address");
  return std::move(*canonical);
}

std::chrono::milliseconds TDnsQueue::Backoff(const std::string& name, int attempts) const {
  std::chrono::milliseconds delay = options_.FirstRetry;
  for (int i = 1; i < attempts && delay < options_.MaxRetry; ++i) delay *= 2;
  if (delay > options_.MaxRetry) delay = options_.MaxRetry;
  // Up to a fifth shorter, the same for a name each time: names that failed
  // together come back spread out, and the cap stays a cap.
  const std::size_t spread = std::hash<std::string>{}(name) % 16;
  return delay - delay * static_cast<int64_t>(spread) / 80;
}

bool TDnsQueue::Enqueue(const std::string& name, const std::string& text, TServiceTime now) {
  const std::string address = CanonicalAddress(text);
  const TDnsRecordType type = TDnsUpdate::TypeOf(address);
  std::lock_guard<std::mutex> hold(lock_);
  bool due = false;
  store_.Change(name, type, [&](std::optional<TDnsQueueEntry>& entry) {
    due = false;
    if (!entry) {
      entry.emplace();
      entry->Name = name;
      entry->Type = type;
      entry->Address = address;
      entry->Version = 1;
      entry->State = TDnsState::Pending;
      entry->Since = now;
      entry->Due = now;
      due = true;
      return true;
    }
    if (entry->Address == address) return false;
    due = Replace(*entry, address, now);
    return true;
  });
  return due;
}

bool TDnsQueue::Withdraw(const std::string& name, TDnsRecordType type, TServiceTime now) {
  std::lock_guard<std::mutex> hold(lock_);
  bool due = false;
  store_.Change(name, type, [&](std::optional<TDnsQueueEntry>& entry) {
    due = false;
    if (!entry || entry->Address.empty()) return false;
    due = Replace(*entry, "", now);
    return true;
  });
  return due;
}

bool TDnsQueue::Replace(TDnsQueueEntry& entry, const std::string& address, TServiceTime now) {
  entry.Address = address;
  ++entry.Version;
  if (entry.State == TDnsState::Published) {
    entry.State = TDnsState::Pending;
    entry.Since = now;
  }
  // In flight: Due is the lease, and Finish sends the newest next. Failing:
  // the next attempt already waits and takes the newest address along.
  const bool held = inFlight_.count({entry.Name, entry.Type}) != 0 || entry.State == TDnsState::Failing;
  if (!held && (!entry.Due || *entry.Due > now)) entry.Due = now;
  return !held;
}

std::optional<TDnsJob> TDnsQueue::TakeDue(TServiceTime now) {
  std::lock_guard<std::mutex> hold(lock_);
  // A name whose lease ran out while it is still in flight gets a new lease;
  // the bound keeps one call short whatever the store holds.
  for (int tries = 0; tries < 64; ++tries) {
    std::optional<TDnsQueueEntry> entry = store_.Claim(now, now + options_.Lease.count());
    if (!entry) return std::nullopt;
    const TKey key{entry->Name, entry->Type};
    if (inFlight_.count(key) != 0) continue;
    inFlight_.insert(key);
    return TDnsJob{entry->Name, entry->Type, entry->Address, entry->Version};
  }
  return std::nullopt;
}

void TDnsQueue::Finish(const TDnsJob& job, const TDnsOutcome& outcome, TServiceTime now) {
  std::lock_guard<std::mutex> hold(lock_);
  TLandedIn<std::set<TKey>> landed{inFlight_, {job.Name, job.Type}};
  std::string line, reason;
  TLogPriority priority = TLogPriority::Info;
  bool found = false, wasFailing = false, failing = false, confirmed = false;
  store_.Change(job.Name, job.Type, [&](std::optional<TDnsQueueEntry>& stored) {
    found = stored.has_value();
    line.clear();
    priority = TLogPriority::Info;
    confirmed = false;
    if (!found) return false;
    TDnsQueueEntry& entry = *stored;
    const TDnsState before = entry.State;
    const TServiceTime failingSince = entry.Since;
    if (outcome.Kind == TDnsOutcome::Done) {
      entry.PublishedAddress = job.Address;
      entry.Attempts = 0;
      entry.Reason.clear();
      line = StateLine(job, job.Address.empty() ? "withdrawn" : "published");
      if (before == TDnsState::Failing) line += " failing_since=" + IsoTime(failingSince);
      if (entry.Version == job.Version) {
        entry.State = TDnsState::Published;
        entry.Due.reset();
        confirmed = true;
      } else {
        entry.State = TDnsState::Pending;
        entry.Due = now;
      }
      if (before != TDnsState::Pending || entry.State == TDnsState::Published) entry.Since = now;
    } else {
      ++entry.Attempts;
      entry.Due = now + Backoff(job.Name, entry.Attempts).count();
      if (before != TDnsState::Failing || entry.Reason != outcome.Reason) {
        priority = TLogPriority::Warning;
        // Tried again without a line per attempt.
        line = StateLine(job, job.Address.empty() ? "withdrawal_failing" : "failing") + Field("reason", outcome.Reason);
      }
      if (before != TDnsState::Failing) entry.Since = now;
      entry.State = TDnsState::Failing;
      entry.Reason = outcome.Reason;
    }
    wasFailing = before == TDnsState::Failing;
    failing = entry.State == TDnsState::Failing;
    reason = entry.Reason;
    return true;
  });
  if (!found) return;
  if (confirmed) confirmed_.insert({job.Name, job.Type});
  if (!line.empty()) Log(priority, line);
  if (OnFailingChanged && wasFailing != failing) OnFailingChanged(job.Name, job.Type, failing, reason);
}

void TDnsQueue::Abandon(const TDnsJob& job, TServiceTime now) {
  std::lock_guard<std::mutex> hold(lock_);
  TLandedIn<std::set<TKey>> landed{inFlight_, {job.Name, job.Type}};
  store_.Change(job.Name, job.Type, [&](std::optional<TDnsQueueEntry>& entry) {
    if (!entry) return false;
    entry->Due = now;
    return true;
  });
}

std::optional<TServiceTime> TDnsQueue::NextDue() {
  std::lock_guard<std::mutex> hold(lock_);
  std::optional<TDnsQueueEntry> entry = store_.Earliest();
  if (!entry) return std::nullopt;
  return entry->Due;
}

std::vector<TDnsQueueEntry> TDnsQueue::StateOf(const std::string& name) {
  std::lock_guard<std::mutex> hold(lock_);
  std::vector<TDnsQueueEntry> entries;
  for (TDnsRecordType type : {TDnsRecordType::A, TDnsRecordType::AAAA})
    if (std::optional<TDnsQueueEntry> entry = store_.Find(name, type)) {
      // Instances that share the queue share its verification pass too: one
      // instance's confirmation holds for all, so what the store says stands.
      if (entry->State == TDnsState::Published && confirmed_.count({name, type}) == 0 && !store_.Shared()) {
        entry->State = TDnsState::Verifying;
        entry->Since = std::max(entry->Since, started_);
      }
      entries.push_back(std::move(*entry));
    }
  return entries;
}

void TDnsQueue::Resume(const std::string& server, TServiceTime now) {
  std::lock_guard<std::mutex> hold(lock_);
  started_ = now;
  const std::string before = store_.PublishedTo();
  // Nothing recorded yet (a queue older than the record, or a new one): the
  // verification pass finds out what this server holds.
  const bool moved = !before.empty() && before != server;
  // A lease of a process that died mid-update: no answer is coming, so the
  // update is sent at once. A failing name's wait goes too, so the restart
  // an operator makes after mending the set-up tries at once. Leases in a
  // queue other instances share may be theirs, alive: they run out instead.
  const bool dropLeases = !store_.Shared();
  std::size_t changed = 0;
  std::string name;
  TDnsRecordType type = TDnsRecordType::A;
  for (std::vector<TDnsQueueEntry> page; !(page = store_.After(name, type, 256)).empty();) {
    for (const TDnsQueueEntry& read : page) {
      if (!moved && !(dropLeases && read.Due && *read.Due > now)) continue;
      bool change = false;
      store_.Change(read.Name, read.Type, [&](std::optional<TDnsQueueEntry>& entry) {
        change = false;
        if (!entry) return false;
        change = dropLeases && entry->Due && *entry->Due > now;
        if (moved) {
          change = true;
          if (entry->State == TDnsState::Published) {
            entry->State = TDnsState::Pending;
            entry->Since = now;
          }
        }
        if (change) entry->Due = now;
        return change;
      });
      if (change) ++changed;
    }
    name = page.back().Name;
    type = page.back().Type;
  }
  if (moved) {
    Log(TLogPriority::Info, "DNS: the name server is now " + server + " (was " + before + "): sending all " +
                                std::to_string(changed) + " names again");
  }
  if (before != server) store_.SetPublishedTo(server);
}

bool TDnsQueue::RunAlone(const std::string& task, const std::function<void()>& work) {
  return store_.RunAlone(task, work);
}

std::vector<TDnsQueueEntry> TDnsQueue::Walk(const std::string& name, TDnsRecordType type, std::size_t limit) {
  std::lock_guard<std::mutex> hold(lock_);
  return store_.After(name, type, limit);
}

bool TDnsQueue::Verified(const TDnsQueueEntry& asked, const std::string& held, TServiceTime now) {
  std::lock_guard<std::mutex> hold(lock_);
  const TKey key{asked.Name, asked.Type};
  if (inFlight_.count(key) != 0) return false;
  enum { Unchanged, Confirmed, Differs } seen = Unchanged;
  std::string published;
  store_.Change(asked.Name, asked.Type, [&](std::optional<TDnsQueueEntry>& found) {
    // Changed while the question was out (a new address, an update sent): the
    // answer may describe either side of it, and the update's own answer tells.
    seen = Unchanged;
    if (!found || found->State != TDnsState::Published || found->Version != asked.Version ||
        found->PublishedAddress != asked.PublishedAddress)
      return false;
    if (held == found->PublishedAddress) {
      seen = Confirmed;
      return false;
    }
    seen = Differs;
    published = found->PublishedAddress;
    found->State = TDnsState::Pending;
    found->Since = now;
    found->Due = now;
    return true;
  });
  if (seen == Confirmed) confirmed_.insert(key);
  if (seen != Differs) return false;
  confirmed_.erase(key);
  Log(TLogPriority::Warning, "DNS: the name server holds " + (held.empty() ? std::string("nothing") : held) +
                                 " for " + Subject(asked.Name, asked.Type) + " instead of " + published +
                                 ": sending it again");
  return true;
}

TDnsBacklog TDnsQueue::Backlog() {
  std::lock_guard<std::mutex> hold(lock_);
  return store_.Backlog();
}
