#include "service/core/ServiceCore.h"


#include <algorithm>

#include "runtime/IpAddress.h"
#include "runtime/NoWaitScope.h"
#include "runtime/SysUtils.h"
#include "service/core/DynDns2.h"
#include "service/core/NameRules.h"
#include "service/core/NodeKey.h"
#include "service/core/PasswordHash.h"
#include "service/model/CheckInPipe.h"

TServiceCore::TServiceCore(IServiceStore& store, TServiceRules rules)
    : store_(store),
      rules_(std::move(rules)),
      remembered_(rules_.RememberFor, rules_.RememberedMax),
      hints_(rules_.RememberedMax),
      addressFailures_(Counts(store, "address", {rules_.AddressBurst, rules_.AddressRefill, rules_.AddressesTracked},
                              ownAddressFailures_)),
      pairFailures_(
          Counts(store, "pair", {rules_.PairBurst, rules_.PairRefill, rules_.AddressesTracked}, ownPairFailures_)),
      // Unknown accounts are counted too (or their answers would differ), so this table is bounded as well.
      accountFailures_(Counts(store, "account", {rules_.AccountBurst, rules_.AccountRefill, rules_.AddressesTracked},
                              ownAccountFailures_)),
      sessions_(store.SharedSessions()) {
  if (!sessions_) {
    ownSessions_ = std::make_unique<TSessions>();
    sessions_ = ownSessions_.get();
  }
  rules_.SlowHashesAtOnce = std::max(1u, rules_.SlowHashesAtOnce);
  rules_.DummyHashIterations = std::clamp(rules_.DummyHashIterations, 1, TPasswordHash::MaxIterations);
  rules_.Zone = NormalZone(rules_.Zone);
}

IFailureCounts* TServiceCore::Counts(IServiceStore& store, const char* kind, const TFailureRule& rule,
                                     std::unique_ptr<TFailureLimit>& own) {
  if (IFailureCounts* shared = store.SharedFailureCounts(kind, rule)) return shared;
  own = std::make_unique<TFailureLimit>(rule);
  return own.get();
}

bool TServiceCore::Slowly(const std::function<void()>& work) {
  // Never on a thread that must not wait: there, busy when its work could
  // not be handed on either.
  if (const TNoWaitScope* scope = TNoWaitScope::Current()) {
    if (scope->Mode() == TNoWaitScope::TMode::Refuse) return false;
    throw EWouldWait("the slow password hash");
  }
  std::unique_lock<std::mutex> gate(gateLock_);
  if (hashing_ >= rules_.SlowHashesAtOnce) {
    if (waiting_ >= rules_.SlowHashesWaiting) return false;
    ++waiting_;
    gateFree_.wait(gate, [this] { return hashing_ < rules_.SlowHashesAtOnce; });
    --waiting_;
  }
  ++hashing_;
  gate.unlock();
  try {
    work();
  } catch (...) {
    gate.lock();
    --hashing_;
    gateFree_.notify_one();
    throw;
  }
  gate.lock();
  --hashing_;
  gateFree_.notify_one();
  return true;
}

bool TServiceCore::VerifySlowly(std::string_view stored, std::string_view digest, bool& verified) {
  return Slowly([&] { verified = TPasswordHash::Verify(stored, digest); });
}

namespace {
// Whom the failure limits count an address against: an IPv6 caller's whole
// /64, since one host is given a /64 and could step through it a guess an
// address; an IPv4 address (or anything else) as it is.
std::string LimitKey(std::string_view from) {
  const std::optional<TIpAddress> a = TIpAddress::Parse(from);
  if (!a || a->Family() != TIpFamily::IPv6) return std::string(from);
  return a->Masked(64).Text() + "/64";
}

const char NoDigest[] = "the password's digest is no MD5 digest";

ENoSuchAccount NoSuchAccount(std::string_view name) {
  return ENoSuchAccount("there is no account " + std::string(name));
}

TSignIn& Busy(TSignIn& r) {
  r.Answer = TAnswer::Unavailable;
  r.Problem = "too many sign-ins are being checked at once";
  return r;
}
}  // namespace

const std::string& TServiceCore::DummyHash() {
  // Made slowly, on first use: never where waiting is not allowed.
  if (!dummyReady_.load(std::memory_order_acquire)) TNoWaitScope::MayWait("the slow password hash");
  std::call_once(dummyMade_, [this] {
    dummyHash_ = TPasswordHash::Make("00000000000000000000000000000000", rules_.DummyHashIterations);
    dummyReady_.store(true, std::memory_order_release);
  });
  return dummyHash_;
}

std::string TServiceCore::KeySecret() {
  std::lock_guard<std::mutex> guard(secretLock_);
  if (keySecret_.empty()) keySecret_ = store_.NodeKeySecret(TNodeKey::MakeSecret());
  return keySecret_;
}

void TServiceCore::KeyRemembered() {
  if (rememberedKeyed_.load(std::memory_order_acquire)) return;
  std::lock_guard<std::mutex> guard(secretLock_);
  if (rememberedKeyed_.load(std::memory_order_relaxed)) return;
  // Every instance on the store keys its entries alike. A store that cannot
  // answer now (read-only before its key was made) leaves the cache with its
  // own key until the next sign-in asks again: sign-ins still work.
  try {
    remembered_.UseKey(store_.VerificationKey(TVerificationCache::MakeKey()));
  } catch (const EStoreUnavailable&) {
    return;
  }
  rememberedKeyed_.store(true, std::memory_order_release);
}

void TServiceCore::EndSessions(std::int64_t accountId) {
  // Only tidying: a session whose account changed its password or went is
  // refused anyway where it is used (StillValid), so a store that cannot
  // end them now does not undo what was done.
  try {
    sessions_->EndAll(accountId);
  } catch (const EStoreError&) {
  }
}

TSignIn TServiceCore::SignIn(std::string_view account, std::string_view digest, std::string_view from,
                             TServiceTime now) {
  return Verify(account, digest, from, now, {}, TPasswords::Taken);
}

std::optional<TAccountRecord> TServiceCore::RememberedHint(std::string_view account, std::string_view digest,
                                                          TServiceTime now) {
  std::optional<TAccountRecord> seen = hints_.Find(account);
  if (!seen || seen->KeysOnly || !remembered_.Remembered(seen->Name, seen->PasswordHash, digest, now)) return {};
  return seen;
}

std::optional<TAccountRecord> TServiceCore::ReadAccount(std::string_view account, std::string_view digest,
                                                       TPasswords passwords, TServiceTime now,
                                                       TPendingCheckIn* pending) {
  if (!pending || passwords != TPasswords::OnUpdateDoor || !IsDigest(digest)) return store_.FindAccount(account);
  // What a remembered password signs in below, the store confirms as it records.
  const std::optional<TAccountRecord> seen = RememberedHint(account, digest, now);
  if (!seen) return store_.FindAccount(account);
  TCheckInAs as = store_.RecordCheckInAs(*seen, pending->Node, pending->Address, now, rules_.MaxNodesPerAccount);
  pending->Record = std::move(as.Record);
  if (!pending->Record) hints_.Forget(account);
  return std::move(as.Account);
}

TSignIn TServiceCore::Verify(std::string_view account, std::string_view digest, std::string_view from,
                             TServiceTime now, const std::vector<std::string>& keyNodes, TPasswords passwords,
                             TPendingCheckIn* pending) {
  TSignIn r;
  try {
    CheckRequestName("the account name", account);
  } catch (const EBadName& e) {
    r.Answer = TAnswer::BadRequest;
    r.Problem = e.Message();
    return r;
  }
  const std::string accountKey = LowerCase(account), fromKey = LimitKey(from);
  // A name holds no control character, so the line feed cannot be part of either.
  const std::string pairKey = accountKey + '\n' + fromKey;
  try {
    r.RetryAfter = std::max(addressFailures_->Blocked(fromKey, now), pairFailures_->Blocked(pairKey, now));
    // Only a caller that failed for this account itself is held back by the
    // account's failures from everywhere. Its remembered verification does not
    // get it past them: a limited guesser must learn nothing, and an answer
    // that differs for the remembered digest would tell it.
    if (r.RetryAfter == 0 && pairFailures_->Failing(pairKey, now))
      r.RetryAfter = accountFailures_->Blocked(accountKey, now);
    if (r.RetryAfter > 0) {
      r.Answer = TAnswer::Limited;
      return r;
    }
    KeyRemembered();
    std::optional<TAccountRecord> found = ReadAccount(account, digest, passwords, now, pending);
    if (pending && pending->Record) {
      r.Answer = TAnswer::Ok;
      r.Account = std::move(*found);
      return r;
    }
    // A remembered password first: it costs nothing, not even a look for a key.
    const bool passwordTaken =
        found && (passwords == TPasswords::Taken || (passwords == TPasswords::OnUpdateDoor && !found->KeysOnly));
    if (passwordTaken && IsDigest(digest) && remembered_.Remembered(found->Name, found->PasswordHash, digest, now)) {
      r.Answer = TAnswer::Ok;
      r.Account = std::move(*found);
      return r;
    }
    // Then a node's key: it costs an HMAC where the password costs the slow hash.
    if (found && IsDigest(digest))
      for (const std::string& node : keyNodes) {
        const std::optional<TNodeKeyRecord> key = store_.FindNodeKey(found->Id, node);
        if (key && TNodeKey::Verify(key->KeyHash, KeySecret(), found->Id, node, digest)) {
          r.Answer = TAnswer::Ok;
          r.Account = std::move(*found);
          r.KeyNode = node;
          return r;
        }
      }
    const bool slow = !found || TPasswordHash::Slow(found->PasswordHash);
    bool verified = false;
    if (passwords == TPasswords::Refused || (passwords == TPasswords::OnUpdateDoor && found && found->KeysOnly)) {
      // No password is taken here; the refusal costs what any refusal costs.
      bool ignored = false;
      if (IsDigest(digest) && !VerifySlowly(DummyHash(), digest, ignored)) return Busy(r);
    } else if (!slow) {
      verified = TPasswordHash::Verify(found->PasswordHash, digest);
      // A refusal costs what it costs for an unknown account, or its time would tell the account is there.
      bool ignored = false;
      if (!verified && IsDigest(digest) && !VerifySlowly(DummyHash(), digest, ignored)) return Busy(r);
    } else if (IsDigest(digest)) {
      verified = found && remembered_.Remembered(found->Name, found->PasswordHash, digest, now);
      if (!verified) {
        if (!VerifySlowly(found ? std::string_view(found->PasswordHash) : DummyHash(), digest, verified))
          return Busy(r);
        verified = verified && found;
        if (verified) remembered_.Remember(found->Name, found->PasswordHash, digest, now);
      }
    }
    if (!verified) {
      addressFailures_->Failed(fromKey, now);
      pairFailures_->Failed(pairKey, now);
      accountFailures_->Failed(accountKey, now);
      return r;
    }
    r.Answer = TAnswer::Ok;
    r.Account = std::move(*found);
  } catch (const EStoreError& e) {
    r.Answer = TAnswer::Unavailable;
    r.Problem = e.Message();
  }
  return r;
}

TCheckInResult TServiceCore::Record(TSignIn signIn, std::string_view node, std::string_view address, TServiceTime now,
                                    std::optional<TCheckInRecord> made) {
  TCheckInResult r;
  static_cast<TSignIn&>(r) = std::move(signIn);
  try {
    r.Record =
        made ? std::move(*made) : store_.RecordCheckIn(r.Account.Id, node, address, now, rules_.MaxNodesPerAccount);
  } catch (const EStoreError& e) {
    r.Answer = TAnswer::Unavailable;
    r.Problem = e.Message();
    return r;
  }
  if (r.Record.Outcome == TCheckInRecord::TooManyNodes) {
    r.Answer = TAnswer::TooManyNodes;
    return r;
  }
  r.Address = address;
  const TNodeRecord& stored = r.Record.Node;
  const TAddressFamily family = FamilyOf(address);
  const TAddressFamily other = family == TAddressFamily::IPv4 ? TAddressFamily::IPv6 : TAddressFamily::IPv4;
  // DNS hears of a new address, of a family coming back after it had left
  // (its record was withdrawn), and of the other family having left now.
  const bool returned = r.Record.PreviousFamilyCheckIn != 0 && !stored.Family(other).Address.empty() &&
                        stored.Family(other).LastCheckIn - r.Record.PreviousFamilyCheckIn > rules_.StaleAfter;
  if ((r.Record.FirstCheckIn || r.Record.AddressChanged || returned || FamilyLeft(stored, other, rules_.StaleAfter)) &&
      OnAddressChanged)
    OnAddressChanged({r.Account.Name, r.Account.Id, stored.Name, stored.Id, r.Record.PreviousAddress, r.Address, now,
                      stored.IPv4.Address, stored.IPv6.Address, r.Record.FirstCheckIn || r.Record.AddressChanged});
  return r;
}

bool TServiceCore::FamilyLeft(const TNodeRecord& node, TAddressFamily family, TServiceTime staleAfter) {
  const TFamilyRecord& mine = node.Family(family);
  const TFamilyRecord& other = node.Family(family == TAddressFamily::IPv4 ? TAddressFamily::IPv6 : TAddressFamily::IPv4);
  return !mine.Address.empty() && !other.Address.empty() && other.LastCheckIn - mine.LastCheckIn > staleAfter;
}

TCheckInResult TServiceCore::CheckIn(std::string_view account, std::string_view digest, std::string_view node,
                                     std::string_view address, TServiceTime now) {
  TCheckInResult r;
  std::optional<std::string> canonical;
  try {
    CheckRequestName("the node name", node);
    canonical = CanonicalAddress(address);
    if (!canonical) r.Problem = "the caller's address is no IP address";
  } catch (const EBadName& e) {
    r.Problem = e.Message();
  }
  if (!r.Problem.empty()) {
    r.Answer = TAnswer::BadRequest;
    return r;
  }
  TPendingCheckIn pending{node, *canonical, std::nullopt};
  TSignIn signIn =
      Verify(account, digest, *canonical, now, {std::string(node)}, TPasswords::OnUpdateDoor, &pending);
  if (signIn.Answer != TAnswer::Ok) {
    static_cast<TSignIn&>(r) = std::move(signIn);
    return r;
  }
  hints_.Keep(signIn.Account);
  return Record(std::move(signIn), node, *canonical, now, std::move(pending.Record));
}

bool TServiceCore::SendCheckIn(std::string_view account, std::string_view digest, std::string_view node,
                               std::string_view address, TServiceTime now,
                               std::function<void(std::optional<TCheckInResult>)> done) {
  ICheckInPipe* pipe = store_.CheckInPipe();
  if (!pipe || !IsDigest(digest) || !rememberedKeyed_.load(std::memory_order_acquire)) return false;
  std::optional<std::string> canonical;
  try {
    CheckRequestName("the account name", account);
    CheckRequestName("the node name", node);
    canonical = CanonicalAddress(address);
  } catch (const EBadName&) {
    return false;
  }
  if (!canonical) return false;
  // Only a caller no limit holds back or may hold back: Verify decides the rest.
  const std::string fromKey = LimitKey(*canonical);
  if (addressFailures_->Blocked(fromKey, now) > 0 || pairFailures_->Failing(LowerCase(account) + '\n' + fromKey, now))
    return false;
  const std::optional<TAccountRecord> seen = RememberedHint(account, digest, now);
  if (!seen) return false;
  return pipe->Send(*seen, node, *canonical, now,
                    [this, node = std::string(node), address = *canonical, now,
                     done = std::move(done)](std::optional<TCheckInAs> as) {
                      if (!as || !as->Record) return done(std::nullopt);
                      TSignIn signIn;
                      signIn.Answer = TAnswer::Ok;
                      signIn.Account = std::move(*as->Account);
                      done(Record(std::move(signIn), node, address, now, std::move(as->Record)));
                    });
}

std::vector<TDynDns2Line> TServiceCore::DynDns2Update(std::string_view account, std::string_view digest,
                                                      std::string_view hostnames, std::string_view myip,
                                                      std::string_view myipv6, std::string_view caller,
                                                      TServiceTime now, TSignIn* signInOut) {
  const std::optional<std::vector<std::string>> listed = SplitDynDns2Hosts(hostnames);
  const bool fits = listed.has_value();
  const std::vector<std::string> hosts = listed.value_or(std::vector<std::string>{});
  const std::string from = CanonicalAddress(caller).value_or(std::string(caller));
  // The user is the account's name (its password, or the key of a node the
  // update names), or a node's own host name (that node's key alone).
  std::string accountName(account);
  std::vector<std::string> keyNodes;
  TPasswords passwords = TPasswords::OnUpdateDoor;
  const TDynDns2Host asUser = rules_.Zone.empty() ? TDynDns2Host{} : ParseDynDns2Host(account, rules_.Zone);
  if (asUser.Kind == TDynDns2Host::Named) {
    accountName = asUser.Account;
    keyNodes.push_back(asUser.Node);
    passwords = TPasswords::Refused;
  } else if (fits) {
    for (const std::string& host : hosts) {
      const TDynDns2Host named = ParseDynDns2Host(host, rules_.Zone);
      const bool listed = std::any_of(keyNodes.begin(), keyNodes.end(),
                                      [&](const std::string& node) { return SameText(node, named.Node); });
      if (named.Kind == TDynDns2Host::Named && SameText(named.Account, account) && !listed)
        keyNodes.push_back(named.Node);
    }
  }
  TSignIn signIn = Verify(accountName, digest, from, now, keyNodes, passwords);
  if (signInOut) *signInOut = signIn;
  switch (signIn.Answer) {
    case TAnswer::Ok:
      break;
    case TAnswer::Limited:
      return {{"", "abuse"}};
    case TAnswer::Unavailable:
      return {{"", "911"}};
    default:
      return {{"", "badauth"}};
  }
  if (!fits) return {{"", "numhost"}};
  if (hosts.empty()) return {{"", "notfqdn"}};
  // Checked whole before anything is recorded: a request that cannot be
  // meant updates nothing, rather than one family of it.
  const std::optional<std::vector<std::string>> addresses = DynDns2Addresses(myip, myipv6, from);
  if (!addresses || addresses->empty()) return {{"", "badagent"}};
  std::string joined;
  for (const std::string& address : *addresses) joined += (joined.empty() ? "" : ",") + address;
  std::vector<TDynDns2Line> lines;
  for (const std::string& host : hosts) {
    const TDynDns2Host named = ParseDynDns2Host(host, rules_.Zone);
    if (named.Kind == TDynDns2Host::NotFqdn) {
      lines.push_back({host, "notfqdn"});
      continue;
    }
    // A key updates its own node only.
    if (named.Kind == TDynDns2Host::NoHost || !SameText(named.Account, signIn.Account.Name) ||
        (!signIn.KeyNode.empty() && !SameText(named.Node, signIn.KeyNode))) {
      lines.push_back({host, "nohost"});
      continue;
    }
    // Each address updates its own family only.
    bool changed = false;
    std::string answer;
    for (const std::string& address : *addresses) {
      const TCheckInResult r = Record(signIn, named.Node, address, now);
      if (r.Answer == TAnswer::Unavailable) {
        answer = "911";
      } else if (r.Answer != TAnswer::Ok) {
        answer = "nohost";
      }
      if (!answer.empty()) break;
      changed = changed || r.Record.FirstCheckIn || r.Record.AddressChanged;
    }
    lines.push_back({host, answer.empty() ? (changed ? "good " : "nochg ") + joined : answer});
  }
  return lines;
}

std::vector<TNodeView> TServiceCore::Nodes(const TAccountRecord& account, TServiceTime now) {
  std::vector<TNodeView> views;
  for (TNodeRecord& node : store_.Nodes(account.Id)) {
    TNodeView view;
    static_cast<TNodeRecord&>(view) = std::move(node);
    view.Stale = now - view.LastCheckIn > rules_.StaleAfter;
    view.StaleIPv4 = !view.IPv4.Address.empty() && now - view.IPv4.LastCheckIn > rules_.StaleAfter;
    view.StaleIPv6 = !view.IPv6.Address.empty() && now - view.IPv6.LastCheckIn > rules_.StaleAfter;
    views.push_back(std::move(view));
  }
  return views;
}

bool TServiceCore::StillValid(const TAccountRecord& account) {
  const std::optional<TAccountRecord> now = store_.FindAccount(account.Name);
  return now && now->Id == account.Id && now->PasswordHash == account.PasswordHash;
}

void TServiceCore::AddAccount(std::string_view name, std::string_view digest, TServiceTime now) {
  CheckNewAccountName(name);
  if (!IsDigest(digest)) throw EBadName(NoDigest);
  if (!store_.AddAccount(name, TPasswordHash::Make(digest), now))
    throw EAccountExists("account " + std::string(name) + " exists already");
}

void TServiceCore::ChangePassword(std::string_view name, std::string_view digest) {
  if (!IsDigest(digest)) throw EBadName(NoDigest);
  // The slow hash is only worth making for an account that is there.
  const std::optional<TAccountRecord> found = store_.FindAccount(name);
  if (!found || !store_.SetPasswordHash(name, TPasswordHash::Make(digest))) throw NoSuchAccount(name);
  EndSessions(found->Id);
}

void TServiceCore::RemoveAccount(std::string_view name) {
  const std::optional<TAccountRecord> found = store_.FindAccount(name);
  if (!store_.RemoveAccount(name)) throw NoSuchAccount(name);
  if (found) EndSessions(found->Id);
}

TSignIn TServiceCore::ChangeOwnPassword(const TAccountRecord& account, std::string_view oldDigest,
                                        std::string_view newDigest, std::string_view from, TServiceTime now) {
  TSignIn r;
  if (!IsDigest(newDigest)) {
    r.Answer = TAnswer::BadRequest;
    r.Problem = "the new password's digest is no MD5 digest";
    return r;
  }
  r = SignIn(account.Name, oldDigest, from, now);
  if (r.Answer != TAnswer::Ok) return r;
  if (r.Account.Id != account.Id) {
    r = TSignIn{};
    return r;
  }
  std::string hash;
  try {
    if (!Slowly([&] { hash = TPasswordHash::Make(newDigest); })) return Busy(r);
    if (!store_.SetPasswordHash(r.Account.Name, hash)) {
      r = TSignIn{};
      return r;
    }
  } catch (const EStoreError& e) {
    r.Answer = TAnswer::Unavailable;
    r.Problem = e.Message();
    return r;
  }
  r.Account.PasswordHash = std::move(hash);
  return r;
}

void TServiceCore::SetKeysOnly(std::string_view name, bool keysOnly) {
  if (!store_.SetKeysOnly(name, keysOnly)) throw NoSuchAccount(name);
}

std::string TServiceCore::MakeNodeKey(std::string_view account, std::string_view node, TServiceTime now) {
  if (node.empty()) throw EBadName("the node name is empty");
  CheckRequestName("the node name", node);
  const std::optional<TAccountRecord> found = store_.FindAccount(account);
  if (!found) throw NoSuchAccount(account);
  std::string key = TNodeKey::Make();
  const std::string hash = TNodeKey::Hash(KeySecret(), found->Id, node, TNodeKey::Digest(key));
  if (!store_.SetNodeKey(found->Id, node, hash, now)) throw NoSuchAccount(account);
  return key;
}

void TServiceCore::RemoveNodeKey(std::string_view account, std::string_view node) {
  const std::optional<TAccountRecord> found = store_.FindAccount(account);
  if (!found) throw NoSuchAccount(account);
  if (!store_.RemoveNodeKey(found->Id, node))
    throw ENoNodeKey("node " + std::string(node) + " of " + found->Name + " has no key");
}

std::pair<unsigned, std::size_t> TServiceCore::SlowHashes() {
  std::lock_guard<std::mutex> hold(gateLock_);
  return {hashing_, waiting_};
}
