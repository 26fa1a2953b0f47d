// The rules of the DNS update queue, over a store of its own.
//
// Each published name (with its record type) has one entry. Enqueue records
// the newest address; TakeDue hands out the next entry whose time has come;
// Finish records what the name server said. The rules:
//   - coalesced: only the newest address of a name is ever sent; addresses
//     that came and went while an update waited are never sent;
//   - one update in flight per name: a name taken is not handed out again
//     until it is finished (or its lease runs out, should its Finish have
//     been lost; then it is simply sent again, which changes nothing at the
//     name server). A process that starts drops the leases of the one
//     before it at once (Resume), unless other instances share the store:
//     their leases may be alive, and are taken over once they run out;
//   - the newest address wins: when a newer address came while an older one
//     was on its way, the name is due again at once after it;
//   - failures (no answer, a refusal, a bad signature, a bad time) are tried
//     again after FirstRetry, doubling up to MaxRetry, each name a little
//     apart from the others so that a name server coming back is not met by
//     every name in the same instant;
//   - one log line per change of state (published; failing, or failing for
//     another reason), never one per retry.
// Time is always passed in; nothing here reads a clock.
//
// Thread safety: every operation may be called from any thread; they run
// one at a time. Each reads and writes the store in one step of its own
// (IDnsQueueStore::Claim and Change), so several processes may share a store
// that makes those steps atomic. Errors of the store pass through to the caller. A job
// whose Finish or Abandon could not be saved is no longer in flight all the
// same: the store still holds its lease, and the name is sent again when
// that runs out.
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include "runtime/JournalLog.h"
#include "service/dns/DnsUpdate.h"
#include "service/model/DnsQueueStore.h"

struct TDnsQueueOptions {
  std::chrono::milliseconds FirstRetry{1000};
  std::chrono::milliseconds MaxRetry{60000};
  // How long a name taken stays out of reach when it is never finished.
  std::chrono::milliseconds Lease{30000};
};

// A name taken to be sent: the entry's key, address (empty: the set is to
// be deleted) and version.
struct TDnsJob {
  std::string Name;
  TDnsRecordType Type = TDnsRecordType::A;
  std::string Address;
  int64_t Version = 0;
};

class TDnsQueue {
 public:
  using TLog = std::function<void(TLogPriority, const std::string&)>;

  // log receives one line per change of state; by default it goes to
  // standard error with its priority (LogLine).
  explicit TDnsQueue(IDnsQueueStore& store, TDnsQueueOptions options = {}, TLog log = {});

  // Records address as the newest for name (a checked owner name, see
  // TDnsZone::OwnerName). Returns true when the name became due at once, so
  // the one sending should be woken. Throws EDnsUpdate when address is not
  // an IP address.
  bool Enqueue(const std::string& name, const std::string& address, TServiceTime now);

  // Records that name is to hold no record of type any more: its whole set
  // is deleted at the name server, under the same rules as an address (an
  // entry whose Address is empty). Returns true when the withdrawal became
  // due at once, as Enqueue; false too when nothing was ever queued for the
  // name and type, or it is withdrawn already.
  bool Withdraw(const std::string& name, TDnsRecordType type, TServiceTime now);

  // The next entry due at now, taken (see above); none when nothing is due.
  std::optional<TDnsJob> TakeDue(TServiceTime now);
  // What became of a job: Done, or Failed (Unverified counts as Failed).
  void Finish(const TDnsJob& job, const TDnsOutcome& outcome, TServiceTime now);
  // Gives a job back unsent (the sender stops): due again at once.
  void Abandon(const TDnsJob& job, TServiceTime now);

  // When the earliest entry is due (it may be past), none when none waits.
  std::optional<TServiceTime> NextDue();
  // The entries of name (its A and AAAA), for the web page and the JSON. A
  // name published but not confirmed since Resume (by an update's answer or
  // by Verified) is shown Verifying, since then; not so in a store other
  // instances share, where any instance's confirmation stands.
  std::vector<TDnsQueueEntry> StateOf(const std::string& name);

  // Called once at start-up, before anything is taken. Every entry whose
  // Due lies ahead is made due now: leases of a process that died with
  // updates on their way, and the waits of failing names. When server (the
  // name server's text) differs from the one the queue last published to,
  // every name is sent again. A shared store's leases are left to run out.
  void Resume(const std::string& server, TServiceTime now);
  // A page of the entries after (name, type) (see IDnsQueueStore::After).
  std::vector<TDnsQueueEntry> Walk(const std::string& name, TDnsRecordType type, std::size_t limit);
  // What the name server answered for asked (an entry as Walk gave it):
  // held is the one address it holds there, or "" for nothing or more than
  // one (canonical text). When the entry is still as asked, published and
  // not on its way: held equal to its PublishedAddress confirms it; anything
  // else makes it due again (and logs it). True when it became due.
  bool Verified(const TDnsQueueEntry& asked, const std::string& held, TServiceTime now);

  // The delay before attempt number attempts + 1 of name.
  std::chrono::milliseconds Backoff(const std::string& name, int attempts) const;
  // The address as published: the canonical text of an IPv4 or IPv6
  // address, with an IPv4-mapped IPv6 address published as IPv4. Throws
  // EDnsUpdate when text is not an IP address.
  static std::string CanonicalAddress(const std::string& text);

  // Runs work unless another instance sharing the queue runs the task of that
  // name right now (then false); for the passes one instance does for all.
  // Not under the queue's lock: work may use the queue.
  bool RunAlone(const std::string& task, const std::function<void()>& work);

  // The names waiting to be sent or failing, and the oldest one's Since.
  TDnsBacklog Backlog();

  // A line to the queue's log (for the one sending, too).
  void Log(TLogPriority priority, const std::string& text) const;

  // Told when a name starts failing (failing true, with the reason) and when
  // one that was failing is sent again (false); under the queue's lock, so
  // it must only take note. Set before the queue is used.
  std::function<void(const std::string& name, TDnsRecordType type, bool failing, const std::string& reason)>
      OnFailingChanged;

 private:
  using TKey = std::pair<std::string, TDnsRecordType>;

  // Gives a stored entry a new address ("" withdraws it) and makes it due
  // unless an update of it is in flight or waits to be tried again; under
  // lock_. True when it became due at once.
  bool Replace(TDnsQueueEntry& entry, const std::string& address, TServiceTime now);

  IDnsQueueStore& store_;
  TDnsQueueOptions options_;
  TLog log_;
  std::mutex lock_;
  std::set<TKey> inFlight_;
  std::set<TKey> confirmed_;  // published and confirmed since this process started
  TServiceTime started_{};
};
