// Where the DNS update queue keeps its entries: one per published name and
// record type, holding the newest address, what the name server last
// confirmed, the state shown to people, and when to send next.
//
// The interface is shaped for a table keyed by (Name, Type) with an index
// on Due: Find and Save are a lookup and an upsert by key, Earliest is the
// first row in Due order among those that have one. TDnsQueue calls it one
// call at a time under its own lock, so an implementation needs no locking
// of its own unless others share its connection. Calls may raise (a full
// disk, a locked database); the queue passes that on to its caller without
// having changed anything it keeps in memory.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "service/model/DnsRecordType.h"
#include "service/model/ServiceTime.h"

enum class TDnsState {
  Published,  // the name server confirmed Address
  Pending,    // Address waits to be sent, or is on its way
  Failing,    // the last attempt failed (Reason); tried again at Due
  // Only shown, never stored: Published, but the name server has not
  // confirmed it since this process started (TDnsQueue::StateOf).
  Verifying,
};
// "published", "pending", "failing", "verifying"
inline const char* DnsStateName(TDnsState state) {
  switch (state) {
    case TDnsState::Published:
      return "published";
    case TDnsState::Pending:
      return "pending";
    case TDnsState::Failing:
      return "failing";
    case TDnsState::Verifying:
      return "verifying";
  }
  return "pending";
}

struct TDnsQueueEntry {
  // The key: the owner name ("node.account.zone.", lower case) and the type.
  std::string Name;
  TDnsRecordType Type = TDnsRecordType::A;
  // The newest address to publish, and a number raised each time it changes
  // (so an answer to an older update is not taken for the newest).
  std::string Address;
  int64_t Version = 0;
  // The address the name server last confirmed; empty before the first.
  std::string PublishedAddress;
  TDnsState State = TDnsState::Pending;
  std::string Reason;  // Failing: why, as one line
  TServiceTime Since = 0;  // when State began (for Failing: the first failure in a row)
  int Attempts = 0;    // failed attempts in a row, for the backoff
  // When the entry is to be sent next; none when there is nothing to send.
  // While an update is on its way it holds the end of its lease.
  std::optional<TServiceTime> Due;
};

struct TDnsBacklog {
  std::int64_t Waiting = 0;
  std::optional<TServiceTime> OldestSince;  // none when nothing waits
};

class IDnsQueueStore {
 public:
  // What Change does to an entry (none: there is no entry of that key yet);
  // true when it changed it and it is to be saved.
  using TChange = std::function<bool(std::optional<TDnsQueueEntry>& entry)>;

  virtual ~IDnsQueueStore() = default;
  virtual std::optional<TDnsQueueEntry> Find(const std::string& name, TDnsRecordType type) = 0;
  // Inserts the entry, or replaces the one with the same Name and Type.
  virtual void Save(const TDnsQueueEntry& entry) = 0;
  // The entry with the earliest Due (ties in any order), if any has one.
  virtual std::optional<TDnsQueueEntry> Earliest() = 0;

  // Up to limit entries that come after (name, type) in key order (by name,
  // then A before AAAA); name "" starts at the first. Passes over the whole
  // queue go a page at a time, so none holds every entry at once.
  virtual std::vector<TDnsQueueEntry> After(const std::string& name, TDnsRecordType type, std::size_t limit) = 0;
  // The name server (its text, as in TDnsServer::Text) the queue last
  // published to; "" before the first. A service pointed at another server
  // sends every name again.
  virtual std::string PublishedTo() = 0;
  virtual void SetPublishedTo(const std::string& server) = 0;

  // The entries not published (pending or failing), and the earliest Since
  // among them; for monitoring, so one pass, bounded by the queue's size.
  virtual TDnsBacklog Backlog() = 0;

  // The read-modify-write steps of the queue. The defaults are Find, Earliest
  // and Save one after the other, which is right for a store only this
  // process uses (the queue calls them one at a time). A store that several
  // service instances share overrides them so that each is atomic across
  // the instances: a row lock for Change, and for Claim a lock that other
  // claimers skip, so two instances never take the same entry.

  // The entry due first at now (Due at or before now), given the lease
  // leaseEnd as its Due; returned as it was before. None when nothing is due
  // (or everything due is being claimed by another instance this instant).
  virtual std::optional<TDnsQueueEntry> Claim(TServiceTime now, TServiceTime leaseEnd) {
    std::optional<TDnsQueueEntry> entry = Earliest();
    if (!entry || !entry->Due || *entry->Due > now) return std::nullopt;
    TDnsQueueEntry leased = *entry;
    leased.Due = leaseEnd;
    Save(leased);
    return entry;
  }
  // Reads the entry of (name, type), lets change alter it, and saves what it
  // made of it when it answers true; all or nothing. Whatever change throws
  // passes through, and nothing is saved.
  virtual void Change(const std::string& name, TDnsRecordType type, const TChange& change) {
    std::optional<TDnsQueueEntry> entry = Find(name, type);
    if (change(entry) && entry) Save(*entry);
  }
  // True when other service instances use the queue too: then leases found at
  // start-up may be theirs, alive, and are left to run out.
  virtual bool Shared() const { return false; }
  // Runs work unless another instance is running the task of that name right
  // now (then false, and work is not run). For passes over every name that
  // one instance does for all.
  virtual bool RunAlone(const std::string& task, const std::function<void()>& work) {
    (void)task;
    work();
    return true;
  }
};
