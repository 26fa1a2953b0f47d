// The service's rules, one core behind both front doors (the program's
// check-in and the dyndns2 update) and the web page: who is who, what a
// check-in records, which nodes are stale, when a caller has failed too
// often. It takes plain values (names, the digest, the caller's address, the
// time) and returns plain results; the store keeps what it decides. Nothing
// here reads a clock, a socket or a file.
//
// Signing in (every door does it): the request's names are checked
// (NameRules), then the limits on failing too often (IFailureCounts), then the
// digest is verified against the account's stored hash. Failures are counted
// per caller's address, per account and address, and per account; a caller is
// held back by its own failures (for any account, or for this one), and by
// the account's failures from everywhere only once it failed for that account
// itself. So guessing spread over many addresses is slowed to about a guess
// per new address, while a right password from an address that has not
// failed for the account is never refused for what others did.
//
// A verification that needs the slow hash is remembered (TVerificationCache,
// under the store's key for it) and honoured before the slow hash, so a
// repeated check-in costs a hash map lookup; since the account-wide limit never holds back an address that has
// not failed for the account, an owner's remembered check-in always passes.
// A caller held back by failures of its own is refused even with a
// remembered digest: an answer that differed for that one digest would tell
// a guesser the password. An unknown account costs the same slow
// hash (of a fixed dummy) and counts against the same limits as a wrong
// password, so neither the answer nor its time tells whether it exists. At
// most SlowHashesAtOnce slow hashes run at once; when SlowHashesWaiting more
// wait already, a sign-in is answered Unavailable at once instead of queueing
// without end.
//
// A node may have a key of its own (TNodeKey): on the update doors, the
// check-in and dyndns2, the key's digest signs in for that node alone, before
// and instead of the password's slow hash; a key never signs in to the pages
// or the JSON (SignIn). A failed attempt counts against the same limits
// whatever it tried. An account set to keys only takes no password on the
// update doors; the refusal still costs a slow hash (of the dummy), as every
// refusal does, so that its time tells nothing.
//
// A check-in whose password is remembered for the account as this core last
// saw it (TAccountHints) reads the account and records the check-in in one
// store call (RecordCheckInAs), which records nothing when the account has
// changed since, on this instance or another; the check-in then signs in
// with the account as it is now.
//
// A failure of the store (EStoreUnavailable, EStoreCorrupt) is answered
// Unavailable and recorded nothing; the core stays usable.
//
// The failure counts and the web page's sessions are the store's when it
// shares them between the instances of the service on one database
// (IServiceStore::SharedFailureCounts, SharedSessions), else this core's own
// in memory. A password changed or an account removed through the core ends
// the account's sessions in them: with shared ones, on every instance.
//
// Safe to call from several threads at once.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "service/core/AccountHints.h"
#include "service/core/FailureLimit.h"
#include "service/core/PasswordHash.h"
#include "service/core/Sessions.h"
#include "service/core/VerificationCache.h"
#include "service/model/BadName.h"
#include "service/model/FailureCounts.h"
#include "service/model/ServiceStore.h"

struct TServiceRules {
  TServiceTime StaleAfter = 2 * 60 * 60 * 1000;
  std::size_t MaxNodesPerAccount = 256;
  // Longer than the program's check-in period, so a node pays the slow hash
  // about once per RememberFor.
  TServiceTime RememberFor = 2 * 60 * 60 * 1000;
  std::size_t RememberedMax = 100000;
  int AddressBurst = 10;
  TServiceTime AddressRefill = 60 * 1000;
  int PairBurst = 5;  // per account and address
  TServiceTime PairRefill = 60 * 1000;
  int AccountBurst = 20;
  TServiceTime AccountRefill = 30 * 1000;
  std::size_t AddressesTracked = 100000;  // and as many accounts, and pairs of both
  // Of the dummy hash an unknown account is verified against: as many as a
  // stored hash has.
  int DummyHashIterations = TPasswordHash::Iterations;
  unsigned SlowHashesAtOnce = 2;
  std::size_t SlowHashesWaiting = 64;
  // The dyndns2 zone (NODE.ACCOUNT.ZONE); empty: every host is "nohost".
  std::string Zone;
};

enum class TAnswer {
  Ok,
  BadRequest,    // a name too long, not UTF-8, or holding control characters
  BadAuth,       // no such account, or the wrong digest
  Limited,       // failed too often lately; RetryAfter says for how long
  TooManyNodes,  // a new node for an account that has MaxNodesPerAccount
  Unavailable,   // the store cannot work now, or too many slow hashes wait
};

struct TSignIn {
  TAnswer Answer = TAnswer::BadAuth;
  TAccountRecord Account;  // for Ok
  std::string Problem;     // for BadRequest and Unavailable: why, in words
  TServiceTime RetryAfter = 0;
  // For Ok by a node's key: that node (as the request named it), the only
  // one the caller may update; empty when signed in by the password.
  std::string KeyNode;
};

struct TCheckInResult : TSignIn {
  std::string Address;  // the address recorded, for Ok
  TCheckInRecord Record;
};

// Reported once a check-in created a node or changed its address.
struct TAddressChange {
  std::string Account;
  std::int64_t AccountId = 0;
  std::string Node;
  std::int64_t NodeId = 0;
  std::string Previous;  // empty on the node's first check-in
  std::string Address;
  TServiceTime Time = 0;
  // The node's address of each family after the check-in ("" for a family never seen).
  std::string IPv4{}, IPv6{};
  // The check-in created the node or changed its family's address (rather
  // than only finding a family left or back).
  bool Moved = false;
};

struct TDynDns2Line {
  std::string Host;    // as the client named it
  std::string Answer;  // "good A", "nochg A", "nohost", "notfqdn", ...
};

// More of the account and key changes' refusals (EAccountChange and EBadName are in service/model/BadName.h).
PINMARK_EXCEPTION_CLASS(EAccountExists, EAccountChange);
PINMARK_EXCEPTION_CLASS(ENoSuchAccount, EAccountChange);
PINMARK_EXCEPTION_CLASS(ENoNodeKey, EAccountChange);

// How a node stands in DNS, for the page and the JSON (filled in by the
// front when the service publishes nodes).
struct TNodeDnsView {
  bool Shown = false;  // the service publishes nodes in DNS
  std::string Name;    // the published name without its final dot; empty when there is none
  // "published", "pending", "failing", or "not published" (no valid name).
  std::string State;
  // Failing: what went wrong; not published: why the node cannot be.
  std::string Reason;
  // The addresses the name server confirmed for the name (A, then AAAA).
  std::vector<std::string> Addresses;
  TServiceTime Since = 0;  // when State began; 0 when unknown
};

struct TNodeView : TNodeRecord {
  bool Stale = false;
  // Each family by itself: it has an address and no check-in over it for StaleAfter.
  bool StaleIPv4 = false, StaleIPv6 = false;
  bool FamilyStale(TAddressFamily f) const { return f == TAddressFamily::IPv4 ? StaleIPv4 : StaleIPv6; }
  TNodeDnsView Dns;
};

class TServiceCore {
 public:
  explicit TServiceCore(IServiceStore& store, TServiceRules rules = {});

  // Who the caller is; account and digest as they came, from is the
  // caller's address (for the limits).
  TSignIn SignIn(std::string_view account, std::string_view digest, std::string_view from, TServiceTime now);
  // The program's check-in: signs in and records the node at the caller's address.
  TCheckInResult CheckIn(std::string_view account, std::string_view digest, std::string_view node,
                         std::string_view address, TServiceTime now);
  // The program's check-in sent without waiting, where the store has a pipe
  // for repeated check-ins (IServiceStore::CheckInPipe): a node checking in
  // again whose password is remembered for the account as this core last
  // saw it, from a caller that has not failed lately. False when the
  // check-in is not one of those (or the store takes none now): nothing was
  // done, done is never called, and CheckIn makes it. Else done is told on
  // the pipe's thread the result (as CheckIn's, Ok), or nothing when it
  // must be made with CheckIn after all; done must not throw.
  bool SendCheckIn(std::string_view account, std::string_view digest, std::string_view node,
                   std::string_view address, TServiceTime now, std::function<void(std::optional<TCheckInResult>)> done);
  // A dyndns2 update: signs in, then each host of the hostname parameter.
  // myip and myipv6 are the addresses asked for (DynDns2Addresses): each
  // updates its own family and leaves the other as it is; when neither
  // gives one, the caller's address is used. One line per host ("good
  // 192.0.2.1,2001:db8::1", "nochg ..."); a single line for a failed
  // sign-in ("badauth", "abuse", "911"), too many hosts ("numhost") or
  // addresses that cannot be meant ("badagent", nothing recorded).
  std::vector<TDynDns2Line> DynDns2Update(std::string_view account, std::string_view digest, std::string_view hostnames,
                                          std::string_view myip, std::string_view myipv6, std::string_view caller,
                                          TServiceTime now, TSignIn* signIn = nullptr);
  // The account's nodes, each marked stale or not at now.
  std::vector<TNodeView> Nodes(const TAccountRecord& account, TServiceTime now);
  // Whether a signed-in account still is the same account with the same
  // password (for sessions kept across requests).
  bool StillValid(const TAccountRecord& account);

  // The account commands; each raises an EAccountChange for what it
  // refuses, and a store failure raises the store's exception. EBadName: a
  // new account's name that is no DNS label, or a digest that is not 32
  // hexadecimal digits; EAccountExists; ENoSuchAccount. Changing the
  // password and removing the account end the account's sessions
  // (Sessions()).
  void AddAccount(std::string_view name, std::string_view digest, TServiceTime now);
  void ChangePassword(std::string_view name, std::string_view digest);
  void RemoveAccount(std::string_view name);
  // A signed-in person's new password (a digest, as for ChangePassword):
  // the old one is verified as a sign-in verifies it, under the same limits
  // and counted as they count, and the new hash is made under the same gate
  // as every slow hash. Ok with Account as it is stored now; BadAuth for a
  // wrong old password or an account that is no longer the one signed in;
  // BadRequest for a new digest that is none; Limited; Unavailable. What was
  // remembered for the old password no longer matches (the stored hash
  // changed).
  TSignIn ChangeOwnPassword(const TAccountRecord& account, std::string_view oldDigest, std::string_view newDigest,
                            std::string_view from, TServiceTime now);
  void SetKeysOnly(std::string_view name, bool keysOnly);
  // Gives the account's node a new key and returns it, to be shown once;
  // the node's old key stops working at once. The node need not have
  // checked in yet: a new machine can be set up with its key before its
  // first check-in. EBadName: the node's name could not be checked in with;
  // ENoSuchAccount.
  std::string MakeNodeKey(std::string_view account, std::string_view node, TServiceTime now);
  // ENoSuchAccount; ENoNodeKey when the node has no key to remove.
  void RemoveNodeKey(std::string_view account, std::string_view node);

  // Told after each check-in that created a node, changed the address of
  // its family, came back over a family that had left, or finds the other
  // family left (FamilyLeft), once it is stored; called on the thread of
  // the check-in, outside every lock of the core. For the DNS publisher.
  std::function<void(const TAddressChange&)> OnAddressChanged;

  // Makes the dummy hash that unknown accounts are verified against now
  // rather than on the first one, which would then take twice as long.
  void PrepareDummyHash() { DummyHash(); }

  // Whether the node has left family: it has checked in over the other
  // family for more than staleAfter since it last did over this one. Its
  // record of that family is then withdrawn from DNS; a node that stops
  // checking in altogether keeps both, as it always kept its one.
  static bool FamilyLeft(const TNodeRecord& node, TAddressFamily family, TServiceTime staleAfter);

  IServiceStore& Store() { return store_; }
  // The web page's sign-in sessions: the store's shared ones, or this core's.
  ISessionStore& Sessions() { return *sessions_; }
  const TServiceRules& Rules() const { return rules_; }

  // Slow hashes being computed now, and sign-ins waiting for one (for /metrics).
  std::pair<unsigned, std::size_t> SlowHashes();

 private:
  // Where the account's password signs in: everywhere (the pages), on an
  // update door (unless the account takes keys only), or not at all.
  enum class TPasswords { Taken, OnUpdateDoor, Refused };
  // A check-in that waits for its sign-in; Record is set once it was
  // recorded along with the account's read.
  struct TPendingCheckIn {
    std::string_view Node, Address;
    std::optional<TCheckInRecord> Record;
  };
  // Signs in by the key of one of keyNodes (the first whose key the digest
  // is), else by the password where passwords says so. With pending, a
  // remembered password records it in the same store call as the account is
  // read (ReadAccount).
  TSignIn Verify(std::string_view account, std::string_view digest, std::string_view from, TServiceTime now,
                 const std::vector<std::string>& keyNodes, TPasswords passwords, TPendingCheckIn* pending = nullptr);
  // The account as this core last saw it sign in (hints_), when the digest
  // is remembered for it and it takes passwords on the update doors.
  std::optional<TAccountRecord> RememberedHint(std::string_view account, std::string_view digest, TServiceTime now);
  // The account as the store has it; when the digest is remembered for the
  // account as last seen (hints_), pending is recorded in the same call.
  std::optional<TAccountRecord> ReadAccount(std::string_view account, std::string_view digest, TPasswords passwords,
                                            TServiceTime now, TPendingCheckIn* pending);
  // The store's secret for node keys, read once.
  std::string KeySecret();
  // Keys remembered verifications with the store's key: a store call the
  // first time, an atomic read after.
  void KeyRemembered();
  // The store's shared counts of kind, or counts of this core's own in own.
  static IFailureCounts* Counts(IServiceStore& store, const char* kind, const TFailureRule& rule,
                                std::unique_ptr<TFailureLimit>& own);
  // Ends the account's sessions after its password changed or it went.
  void EndSessions(std::int64_t accountId);
  // Runs the slow hash under the gate; false when too many wait already.
  bool VerifySlowly(std::string_view stored, std::string_view digest, bool& verified);
  // Runs work (a slow hash) under the gate; false when too many wait already.
  bool Slowly(const std::function<void()>& work);
  // The slow hash that stands in for an unknown account's, made on first use.
  const std::string& DummyHash();
  // Records the check-in of a signed-in account, unless made already.
  TCheckInResult Record(TSignIn signIn, std::string_view node, std::string_view address, TServiceTime now,
                        std::optional<TCheckInRecord> made = std::nullopt);

  IServiceStore& store_;
  TServiceRules rules_;
  TVerificationCache remembered_;
  TAccountHints hints_;
  std::atomic<bool> rememberedKeyed_{false};
  std::unique_ptr<TFailureLimit> ownAddressFailures_, ownPairFailures_, ownAccountFailures_;
  IFailureCounts* addressFailures_;
  IFailureCounts* pairFailures_;
  IFailureCounts* accountFailures_;
  std::unique_ptr<TSessions> ownSessions_;
  ISessionStore* sessions_;
  std::mutex secretLock_;
  std::string keySecret_;
  std::once_flag dummyMade_;
  std::atomic<bool> dummyReady_{false};
  std::string dummyHash_;
  std::mutex gateLock_;
  std::condition_variable gateFree_;
  unsigned hashing_ = 0;
  std::size_t waiting_ = 0;
};
