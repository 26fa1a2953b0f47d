// What the check-in service keeps: accounts, each account's nodes and each
// node's address history, behind one storage interface so that the service
// can keep them in an embedded database (TSqliteStore), in memory
// (TMemoryStore), or later in a server database shared by several instances.
//
// Guarantees every store gives:
// - Every operation is atomic: it happens whole or not at all. When a call
//   returns, what it wrote survives the end of the process (not necessarily
//   a power loss; that is the store's own setting).
// - A store that cannot do its work right now (locked by another program,
//   disk full, read-only, an I/O error) raises EStoreUnavailable and has
//   changed nothing; the next call tries again. A store whose data is
//   damaged raises EStoreCorrupt.
// - Names compare without regard to ASCII case, as host names do.
// - Stores are safe to call from several threads at once.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "runtime/Exception.h"
#include "service/model/ServiceTime.h"

PINMARK_EXCEPTION_CLASS(EStoreError, Exception);
// Temporarily unable to read or write; nothing was changed.
PINMARK_EXCEPTION_CLASS(EStoreUnavailable, EStoreError);
// The stored data is damaged or is not this service's.
PINMARK_EXCEPTION_CLASS(EStoreCorrupt, EStoreError);

class ICheckInPipe;    // service/model/CheckInPipe.h
class ISessionStore;   // service/model/SessionStore.h
class IFailureCounts;  // service/model/FailureCounts.h
struct TFailureRule;
struct TAccountRecord {
  std::int64_t Id = 0;
  std::string Name;
  // The slow hash of the account's password digest with its parameters
  // (service/core/PasswordHash.h); never the digest itself.
  std::string PasswordHash;
  TServiceTime Created = 0;
  std::int64_t Nodes = 0;  // filled in by Accounts()
  // Only the nodes' own keys update the account's nodes; the password still
  // signs in to the pages and the JSON.
  bool KeysOnly = false;
};

// A node's key as the store keeps it: only its keyed hash (NodeKey.h). The
// node need not have checked in yet.
struct TNodeKeyRecord {
  std::string Node;
  std::string KeyHash;
  TServiceTime Made = 0;
};

// A node keeps an address of each family, each with its own last check-in
// and history: a node behind carrier-grade NAT reaches the service over
// both, and only one of them may reach the computer.
enum class TAddressFamily { IPv4, IPv6 };

// The family of an address as the core records it (canonical text, an
// IPv4-mapped IPv6 address already written as IPv4).
inline TAddressFamily FamilyOf(std::string_view address) {
  return address.find(':') == std::string_view::npos ? TAddressFamily::IPv4 : TAddressFamily::IPv6;
}
inline const char* FamilyName(TAddressFamily family) { return family == TAddressFamily::IPv4 ? "IPv4" : "IPv6"; }

struct THistoryEntry {
  TServiceTime Time = 0;
  std::string From, To;  // both of Family; From is empty for the family's first address
  TAddressFamily Family = TAddressFamily::IPv4;
};

struct TFamilyRecord {
  std::string Address;  // empty: the node never checked in over this family
  TServiceTime LastCheckIn = 0;
};

struct TNodeRecord {
  std::int64_t Id = 0;
  std::int64_t AccountId = 0;
  std::string Name;
  std::string Address;  // the latest of either family
  TServiceTime FirstCheckIn = 0, LastCheckIn = 0;  // LastCheckIn: over either family
  std::int64_t CheckIns = 0;
  // Set by the DNS publisher (SetNodeDns) once it has taken the node on:
  // the name it is published under ("node.account.zone."), or none and in
  // DnsState why the node cannot be published. How far its updates got is
  // the update queue's to say; both empty for a node no publisher saw.
  std::string PublishedName;
  std::string DnsState;
  TFamilyRecord IPv4, IPv6;
  // The latest changes first, of both families (each keeps HistoryKept);
  // filled in by Nodes().
  std::vector<THistoryEntry> History;

  TFamilyRecord& Family(TAddressFamily f) { return f == TAddressFamily::IPv4 ? IPv4 : IPv6; }
  const TFamilyRecord& Family(TAddressFamily f) const { return f == TAddressFamily::IPv4 ? IPv4 : IPv6; }
};

struct TCheckInRecord {
  enum TOutcome { Recorded, TooManyNodes };
  TOutcome Outcome = Recorded;
  TNodeRecord Node;  // as it is after the check-in (History left empty)
  bool FirstCheckIn = false;
  // The address of the check-in's family changed, or the node checked in
  // over that family for the first time (but not on the node's first check-in).
  bool AddressChanged = false;
  std::string PreviousAddress;             // of the same family; empty when it had none
  TServiceTime PreviousFamilyCheckIn = 0;  // the family's check-in before this one; 0 when none
};

// What RecordCheckInAs found and did.
struct TCheckInAs {
  // The account of the expected one's name as the store holds it now; none
  // when there is no such account.
  std::optional<TAccountRecord> Account;
  // The check-in, recorded only when Account still was the one expected.
  std::optional<TCheckInRecord> Record;
};

// Whether two reads of an account are of the same account with the same
// password and the same rule for it (the node count aside).
inline bool SameAccount(const TAccountRecord& a, const TAccountRecord& b) {
  return a.Id == b.Id && a.PasswordHash == b.PasswordHash && a.KeysOnly == b.KeysOnly;
}

// An account's webhook: where the service tells its owner of events, and
// the secret each delivery is signed with (HMAC-SHA-256).
struct TWebhookRecord {
  std::string Url;     // empty: none
  std::string Secret;  // 64 hexadecimal digits; empty until a URL was first set
  TServiceTime FailingSince = 0;  // the first failure since the last delivery that arrived; 0: none
  bool Paused = false;            // failed for too long: nothing is sent until the URL is set again
  std::string LastError;          // why the last delivery failed
};

// One event waiting to be delivered, with its webhook as it is now.
struct TDeliveryRecord {
  std::int64_t Id = 0, AccountId = 0;
  std::string Account, Event, Body;
  TServiceTime Created = 0, Due = 0;
  int Attempts = 0;  // failed so far
  TWebhookRecord Webhook;
};

// A node that is stale and whose owner was not told yet since its last check-in.
struct TStaleNode {
  std::int64_t AccountId = 0;
  std::string Account;
  TNodeRecord Node;  // History left empty
};

struct TNodeCounts {
  std::int64_t Nodes = 0, Stale = 0;
};

class IServiceStore {
 public:
  // The address changes kept per node and family; older ones are dropped.
  static constexpr std::size_t HistoryKept = 100;

  virtual ~IServiceStore() = default;

  virtual std::optional<TAccountRecord> FindAccount(std::string_view name) = 0;
  // False when an account of that name exists already.
  virtual bool AddAccount(std::string_view name, std::string_view passwordHash, TServiceTime now) = 0;
  // False when there is no such account.
  virtual bool SetPasswordHash(std::string_view name, std::string_view passwordHash) = 0;
  // Removes the account with its nodes and their history; false when absent.
  virtual bool RemoveAccount(std::string_view name) = 0;
  // Every account by name, with its number of nodes.
  virtual std::vector<TAccountRecord> Accounts() = 0;

  // One answered check-in of an account's node: creates the node on its
  // first check-in (unless the account has maxNodes already), sets the
  // address and last check-in of the address's family (and the node's
  // latest ones), counts it, and adds a history entry of that family when
  // its address changed. The other family is left as it is. Committed when
  // this returns; or, on a thread in a TNoWaitScope, possibly written into a
  // commit group that the scope is told of and that ends at EndGroup.
  virtual TCheckInRecord RecordCheckIn(std::int64_t accountId, std::string_view node, std::string_view address,
                                       TServiceTime now, std::size_t maxNodes) = 0;
  // RecordCheckIn for a caller that verified the password against an
  // account as it read it earlier (expected): recorded only when the account
  // of that name still is the same (SameAccount), so that a password changed
  // or an account removed meanwhile, on any instance, records nothing. The
  // account as it is now comes back either way, so a caller whose read was
  // out of date verifies again without asking for it. The default is
  // FindAccount then RecordCheckIn; a store whose every call is a round trip
  // to a server does the common case, a repeated check-in, in one.
  virtual TCheckInAs RecordCheckInAs(const TAccountRecord& expected, std::string_view node, std::string_view address,
                                     TServiceTime now, std::size_t maxNodes) {
    TCheckInAs r;
    r.Account = FindAccount(expected.Name);
    if (r.Account && SameAccount(*r.Account, expected))
      r.Record = RecordCheckIn(r.Account->Id, node, address, now, maxNodes);
    return r;
  }
  // Commits (or loses) the open commit group, if any, and ends it: called by
  // a thread that must not wait once it has nothing else ready to do.
  virtual void EndGroup() {}
  // Whether every call is a round trip to a server and so waits: its
  // caller then makes every call on a thread that may wait, never trying one
  // first where waiting is not allowed.
  virtual bool EveryCallWaits() const { return false; }
  // Where such a store takes repeated check-ins without a thread waiting for
  // each (RecordCheckInAs sent with others of the moment); nullptr (the
  // default) when it has no such way. It belongs to the store.
  virtual ICheckInPipe* CheckInPipe() { return nullptr; }
  // The account's nodes by name, each with its history.
  virtual std::vector<TNodeRecord> Nodes(std::int64_t accountId) = 0;

  // For a DNS publisher: where the node is published and in what state.
  // False when there is no such node.
  virtual bool SetNodeDns(std::int64_t nodeId, std::string_view publishedName, std::string_view dnsState) = 0;
  virtual std::optional<TNodeRecord> FindNode(std::int64_t nodeId) = 0;
  // Removes the account's node with its history; false when the account has no such node.
  virtual bool RemoveNode(std::int64_t accountId, std::int64_t nodeId) = 0;

  // Deliveries kept per account; a webhook that is down drops the oldest beyond it.
  static constexpr std::size_t DeliveriesKept = 100;
  // Sets the account's webhook URL ("" removes it) and its secret ("" keeps the one it has); the webhook is no
  // longer failing or paused, and deliveries waiting for the old URL are dropped. False when there is no account.
  virtual bool SetWebhook(std::string_view account, std::string_view url, std::string_view secret) = 0;
  // The account's webhook (an empty Url when it has none); none when there is no such account.
  virtual std::optional<TWebhookRecord> Webhook(std::int64_t accountId) = 0;
  // Queues an event for the account's webhook, due at now; false (nothing queued) when it has none or is paused.
  // With staleNodeId, also notes that the node was told stale as of its last check-in staleCheckIn.
  virtual bool AddDelivery(std::int64_t accountId, std::string_view event, std::string_view body, TServiceTime now,
                           std::int64_t staleNodeId = 0, TServiceTime staleCheckIn = 0) = 0;
  // The delivery due first among webhooks that are set and not paused, whenever it is due.
  virtual std::optional<TDeliveryRecord> NextDelivery() = 0;
  // It arrived: it goes, and its webhook is no longer failing.
  virtual void DeliveryDone(std::int64_t deliveryId) = 0;
  // It failed: due again at due; its webhook is failing since now unless it was already, and paused with pause.
  virtual void DeliveryFailed(std::int64_t deliveryId, TServiceTime due, std::string_view error, TServiceTime now,
                              bool pause) = 0;
  // The delivery due first at now (Due at or before now), given until leaseEnd before another sender may take it;
  // none when nothing is due. The default is NextDelivery, right for a store only this process sends from; a store
  // several instances share overrides it so that each delivery is taken by one of them (a lock the others skip).
  virtual std::optional<TDeliveryRecord> ClaimDelivery(TServiceTime now, TServiceTime leaseEnd) {
    (void)leaseEnd;
    std::optional<TDeliveryRecord> next = NextDelivery();
    if (!next || next->Due > now) return std::nullopt;
    return next;
  }
  // At most limit nodes of accounts with a webhook (not paused) that last checked in before before and were not
  // told stale since.
  virtual std::vector<TStaleNode> UntoldStaleNodes(TServiceTime before, std::size_t limit) = 0;

  // The secret node keys are hashed under, one per store; the first call of
  // all makes candidate (random, from the caller) the secret for good.
  virtual std::string NodeKeySecret(std::string_view candidate) = 0;
  // The key remembered password verifications are keyed with, one per
  // store, so that every instance on one database derives the same entries;
  // the first call of all makes candidate (random, from the caller) the key
  // for good. A store no other process shares may answer candidate itself.
  virtual std::string VerificationKey(std::string_view candidate) { return std::string(candidate); }

  // What a store shared by several instances of the service keeps for all
  // of them; nullptr (the default) when each process keeps its own in
  // memory. What these answer belongs to the store and must not outlive it.
  // The web page's sign-in sessions:
  virtual ISessionStore* SharedSessions() { return nullptr; }
  // The failure counts of one limit: kind names it ("address", "pair",
  // "account"), and every call with one kind answers the same counts.
  virtual IFailureCounts* SharedFailureCounts(std::string_view /*kind*/, const TFailureRule& /*rule*/) {
    return nullptr;
  }
  // Gives the account's node (checked in or not yet) the key hash, replacing its old one; false when no such account.
  virtual bool SetNodeKey(std::int64_t accountId, std::string_view node, std::string_view keyHash, TServiceTime now) = 0;
  // Removes the node's key; false when it had none.
  virtual bool RemoveNodeKey(std::int64_t accountId, std::string_view node) = 0;
  // The node's key, or nothing when it has none.
  virtual std::optional<TNodeKeyRecord> FindNodeKey(std::int64_t accountId, std::string_view node) = 0;
  // The account's node keys by node name.
  virtual std::vector<TNodeKeyRecord> NodeKeys(std::int64_t accountId) = 0;
  // Sets whether only node keys update the account's nodes; false when there is no such account.
  virtual bool SetKeysOnly(std::string_view name, bool keysOnly) = 0;
  // The nodes of every account, and how many of them last checked in before staleBefore (for /metrics).
  virtual TNodeCounts CountNodes(TServiceTime staleBefore) = 0;

  // Runs work unless another instance sharing the store is running the task of that name right now (then false,
  // and work is not run): for the passes one instance makes for all. The default runs it.
  virtual bool RunAlone(std::string_view task, const std::function<void()>& work) {
    (void)task;
    work();
    return true;
  }
};
