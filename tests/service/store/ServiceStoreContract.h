// What every IServiceStore must do, whatever keeps its data: one suite that
// each store's tests instantiate with a factory for a fresh, empty store
// (INSTANTIATE_TEST_SUITE_P(Name, ServiceStoreContract, Values(TStoreFactory{...}))).
// What is a store's own (files, a server that goes away) stays in its own tests.
#pragma once

#include <gtest/gtest.h>

#include <atomic>
#include <functional>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "service/model/ServiceStore.h"

struct TStoreFactory {
  std::string Name;
  // A fresh, empty store; it may own whatever it lives in (a folder, a
  // database). Null skips the test: what the store needs is not installed.
  std::function<std::shared_ptr<IServiceStore>()> Make;
};
inline void PrintTo(const TStoreFactory& factory, std::ostream* out) { *out << factory.Name; }
inline std::string StoreName(const ::testing::TestParamInfo<TStoreFactory>& info) { return info.param.Name; }

class ServiceStoreContract : public ::testing::TestWithParam<TStoreFactory> {
 protected:
  void SetUp() override {
    store_ = GetParam().Make();
    if (!store_) GTEST_SKIP() << GetParam().Name << " is not installed here";
  }
  IServiceStore& Store() { return *store_; }
  // Adds an account and returns its id.
  std::int64_t Account(const std::string& name) {
    EXPECT_TRUE(Store().AddAccount(name, "hash-of-" + name, 100));
    return Store().FindAccount(name)->Id;
  }

 private:
  std::shared_ptr<IServiceStore> store_;
};

TEST_P(ServiceStoreContract, AccountsAreOnePerNameWithoutCaseAndGoWithTheirNodesAndKeys) {
  IServiceStore& s = Store();
  EXPECT_FALSE(s.FindAccount("alice"));
  ASSERT_TRUE(s.AddAccount("Alice", "h1", 100));
  EXPECT_FALSE(s.AddAccount("alice", "h2", 200)) << "names compare without case";
  EXPECT_FALSE(s.AddAccount("ALICE", "h2", 200));
  const std::optional<TAccountRecord> alice = s.FindAccount("aLiCe");
  ASSERT_TRUE(alice);
  EXPECT_EQ(alice->Name, "Alice") << "kept as it was written";
  EXPECT_EQ(alice->PasswordHash, "h1");
  EXPECT_EQ(alice->Created, 100);
  EXPECT_FALSE(alice->KeysOnly);
  const std::int64_t bob = Account("bob"), carol = Account("carol");
  EXPECT_NE(bob, alice->Id);

  EXPECT_TRUE(s.SetPasswordHash("ALICE", "h3"));
  EXPECT_EQ(s.FindAccount("alice")->PasswordHash, "h3");
  EXPECT_FALSE(s.SetPasswordHash("dave", "h3"));
  EXPECT_TRUE(s.SetKeysOnly("alice", true));
  EXPECT_TRUE(s.FindAccount("alice")->KeysOnly);
  EXPECT_FALSE(s.SetKeysOnly("dave", true));

  s.RecordCheckIn(bob, "box", "192.0.2.1", 200, 10);
  s.RecordCheckIn(bob, "pc", "192.0.2.1", 200, 10);
  s.RecordCheckIn(carol, "box", "192.0.2.1", 200, 10);
  const std::vector<TAccountRecord> all = s.Accounts();
  ASSERT_EQ(all.size(), 3u);
  const struct {
    const char* name;
    std::int64_t nodes;
  } expected[] = {{"Alice", 0}, {"bob", 2}, {"carol", 1}};
  for (std::size_t i = 0; i < all.size(); ++i) {
    EXPECT_EQ(all[i].Name, expected[i].name) << "by name, without case";
    EXPECT_EQ(all[i].Nodes, expected[i].nodes) << expected[i].name;
  }

  ASSERT_TRUE(s.SetNodeKey(bob, "box", "key-hash", 300));
  const std::int64_t box = s.Nodes(bob).at(0).Id;
  EXPECT_TRUE(s.RemoveAccount("BOB"));
  EXPECT_FALSE(s.RemoveAccount("bob"));
  EXPECT_FALSE(s.FindAccount("bob"));
  EXPECT_TRUE(s.Nodes(bob).empty());
  EXPECT_FALSE(s.FindNode(box));
  EXPECT_TRUE(s.NodeKeys(bob).empty());
  EXPECT_EQ(s.CountNodes(0).Nodes, 1) << "carol's node stays";
  const std::int64_t again = Account("bob");
  EXPECT_TRUE(s.Nodes(again).empty()) << "a new account of the same name starts empty";
  EXPECT_FALSE(s.FindNodeKey(again, "box"));
}

TEST_P(ServiceStoreContract, ACheckInSetsItsFamilyAndLeavesTheOtherAlone) {
  IServiceStore& s = Store();
  const std::int64_t alice = Account("alice");
  const struct {
    const char* node;
    const char* address;
    TServiceTime now;
    bool first, changed;
    const char* previous;
    TServiceTime previousCheckIn;
  } steps[] = {
      {"box", "192.0.2.1", 1000, true, false, "", 0},
      {"Box", "192.0.2.1", 2000, false, false, "192.0.2.1", 1000},  // the same node, whatever its case
      {"box", "2001:db8::1", 3000, false, true, "", 0},              // the family's first address is a change
      {"box", "192.0.2.2", 4000, false, true, "192.0.2.1", 2000},
      {"box", "2001:db8::1", 5000, false, false, "2001:db8::1", 3000},
  };
  std::int64_t id = 0;
  for (const auto& step : steps) {
    SCOPED_TRACE(std::string(step.address) + " at " + std::to_string(step.now));
    const TCheckInRecord r = s.RecordCheckIn(alice, step.node, step.address, step.now, 10);
    EXPECT_EQ(r.Outcome, TCheckInRecord::Recorded);
    EXPECT_EQ(r.FirstCheckIn, step.first);
    EXPECT_EQ(r.AddressChanged, step.changed);
    EXPECT_EQ(r.PreviousAddress, step.previous);
    EXPECT_EQ(r.PreviousFamilyCheckIn, step.previousCheckIn);
    EXPECT_EQ(r.Node.Address, step.address);
    EXPECT_EQ(r.Node.LastCheckIn, step.now);
    EXPECT_EQ(r.Node.Family(FamilyOf(step.address)).Address, step.address);
    EXPECT_TRUE(r.Node.History.empty());
    if (id == 0) id = r.Node.Id;
    EXPECT_EQ(r.Node.Id, id);
  }
  const std::vector<TNodeRecord> nodes = s.Nodes(alice);
  ASSERT_EQ(nodes.size(), 1u);
  const TNodeRecord& box = nodes[0];
  EXPECT_EQ(box.Name, "box") << "named as at its first check-in";
  EXPECT_EQ(box.AccountId, alice);
  EXPECT_EQ(box.CheckIns, 5);
  EXPECT_EQ(box.FirstCheckIn, 1000);
  EXPECT_EQ(box.LastCheckIn, 5000);
  EXPECT_EQ(box.Address, "2001:db8::1");
  EXPECT_EQ(box.IPv4.Address, "192.0.2.2");
  EXPECT_EQ(box.IPv4.LastCheckIn, 4000);
  EXPECT_EQ(box.IPv6.LastCheckIn, 5000);
  ASSERT_EQ(box.History.size(), 2u);
  EXPECT_EQ(box.History[0].Time, 4000) << "newest first";
  EXPECT_EQ(box.History[0].From, "192.0.2.1");
  EXPECT_EQ(box.History[0].To, "192.0.2.2");
  EXPECT_EQ(box.History[0].Family, TAddressFamily::IPv4);
  EXPECT_EQ(box.History[1].From, "");
  EXPECT_EQ(box.History[1].Family, TAddressFamily::IPv6);
}

// A check-in by a caller that verified the password against an account it
// read earlier: every kind is recorded while the account is the same, none
// once it changed or went (as another instance on the store may do).
TEST_P(ServiceStoreContract, ACheckInAsAnAccountReadEarlierIsRecordedOnlyWhileItIsTheSame) {
  IServiceStore& s = Store();
  Account("alice");
  const TAccountRecord read = *s.FindAccount("ALICE");
  const struct {
    const char* node;
    const char* address;
    std::size_t maxNodes;
    TCheckInRecord::TOutcome outcome;
    bool first, changed;
    const char* previous;
    std::int64_t checkIns;
  } kinds[] = {
      {"box", "192.0.2.1", 10, TCheckInRecord::Recorded, true, false, "", 1},
      {"Box", "192.0.2.1", 10, TCheckInRecord::Recorded, false, false, "192.0.2.1", 2},  // repeated
      {"box", "192.0.2.2", 10, TCheckInRecord::Recorded, false, true, "192.0.2.1", 3},
      {"box", "2001:db8::1", 10, TCheckInRecord::Recorded, false, true, "", 4},
      {"box", "2001:db8::1", 10, TCheckInRecord::Recorded, false, false, "2001:db8::1", 5},
      {"pc", "192.0.2.1", 1, TCheckInRecord::TooManyNodes, false, false, "", 0},
  };
  TServiceTime now = 1000;
  for (const auto& k : kinds) {
    SCOPED_TRACE(std::string(k.node) + " at " + k.address);
    const TCheckInAs as = s.RecordCheckInAs(read, k.node, k.address, now += 1000, k.maxNodes);
    ASSERT_TRUE(as.Account && as.Record);
    EXPECT_TRUE(SameAccount(*as.Account, read));
    EXPECT_EQ(as.Account->Name, "alice");
    EXPECT_EQ(as.Record->Outcome, k.outcome);
    if (k.outcome != TCheckInRecord::Recorded) continue;
    EXPECT_EQ(as.Record->FirstCheckIn, k.first);
    EXPECT_EQ(as.Record->AddressChanged, k.changed);
    EXPECT_EQ(as.Record->PreviousAddress, k.previous);
    EXPECT_EQ(as.Record->Node.CheckIns, k.checkIns);
    EXPECT_EQ(as.Record->Node.LastCheckIn, now);
    EXPECT_EQ(as.Record->Node.Family(FamilyOf(k.address)).Address, k.address);
  }
  const TNodeRecord before = s.Nodes(read.Id).at(0);

  // What the caller read is out of date: nothing is recorded, and the
  // account comes back as it is now.
  ASSERT_TRUE(s.SetPasswordHash("alice", "changed"));
  TCheckInAs as = s.RecordCheckInAs(read, "box", "2001:db8::1", now + 1, 10);
  EXPECT_FALSE(as.Record) << "another password";
  ASSERT_TRUE(as.Account);
  EXPECT_EQ(as.Account->PasswordHash, "changed");
  TAccountRecord changed = read;
  changed.PasswordHash = "changed";
  ASSERT_TRUE(s.SetKeysOnly("alice", true));
  as = s.RecordCheckInAs(changed, "box", "2001:db8::1", now + 1, 10);
  EXPECT_FALSE(as.Record) << "keys only";
  EXPECT_TRUE(as.Account && as.Account->KeysOnly);
  const TNodeRecord after = s.Nodes(read.Id).at(0);
  EXPECT_EQ(after.CheckIns, before.CheckIns) << "nothing counted";
  EXPECT_EQ(after.LastCheckIn, before.LastCheckIn);
  ASSERT_TRUE(s.RemoveAccount("alice"));
  EXPECT_FALSE(s.RecordCheckInAs(read, "box", "2001:db8::1", now + 1, 10).Account) << "removed";
  EXPECT_FALSE(s.FindNode(before.Id));
  // Made again with the same hash: recorded only where it got the old id
  // back (an SQLite row id is reused), and then as a new node of its own.
  ASSERT_TRUE(s.AddAccount("alice", read.PasswordHash, 100));
  as = s.RecordCheckInAs(read, "box", "2001:db8::1", now + 1, 10);
  ASSERT_TRUE(as.Account);
  EXPECT_EQ(as.Record.has_value(), as.Account->Id == read.Id);
  if (as.Record) {
    EXPECT_TRUE(as.Record->FirstCheckIn) << "nothing of the old account's node";
  }
  EXPECT_EQ(s.CountNodes(0).Nodes, as.Record ? 1 : 0);
}

TEST_P(ServiceStoreContract, EachFamilyKeepsItsNewestChangesAndNodesAreListedByName) {
  IServiceStore& s = Store();
  const std::int64_t alice = Account("alice");
  s.RecordCheckIn(alice, "zeta", "2001:db8::1", 1, 10);
  s.RecordCheckIn(alice, "Alpha", "192.0.2.1", 1, 10);
  s.RecordCheckIn(alice, "zeta", "2001:db8::2", 2, 10);
  for (int i = 0; i < 105; ++i) s.RecordCheckIn(alice, "zeta", "10.0.1." + std::to_string(i), 10 + i, 10);
  s.RecordCheckIn(alice, "zeta", "2001:db8::3", 200, 10);
  const std::vector<TNodeRecord> nodes = s.Nodes(alice);
  ASSERT_EQ(nodes.size(), 2u);
  EXPECT_EQ(nodes[0].Name, "Alpha") << "by name, without case";
  EXPECT_TRUE(nodes[0].History.empty());
  const std::vector<THistoryEntry>& h = nodes[1].History;
  std::vector<THistoryEntry> v4, v6;
  for (const THistoryEntry& e : h) (e.Family == TAddressFamily::IPv4 ? v4 : v6).push_back(e);
  ASSERT_EQ(v4.size(), IServiceStore::HistoryKept) << "IPv4's changes drop only IPv4's oldest";
  ASSERT_EQ(v6.size(), 2u) << "a node's first check-in is no change";
  EXPECT_EQ(v4.front().To, "10.0.1.104");
  EXPECT_EQ(v4.back().From, "10.0.1.4") << "the five oldest of 105 changes went";
  EXPECT_EQ(v4.back().Time, 15);
  EXPECT_EQ(v6.front().To, "2001:db8::3");
  EXPECT_EQ(v6.back().From, "2001:db8::1");
  for (std::size_t i = 1; i < h.size(); ++i) EXPECT_GE(h[i - 1].Time, h[i].Time) << "newest first, at " << i;
  EXPECT_TRUE(s.Nodes(alice + 1000).empty());
}

TEST_P(ServiceStoreContract, ANewNodeBeyondTheLimitIsRefusedAndRecordsNothing) {
  IServiceStore& s = Store();
  const std::int64_t alice = Account("alice"), bob = Account("bob");
  ASSERT_EQ(s.RecordCheckIn(alice, "one", "192.0.2.1", 1, 2).Outcome, TCheckInRecord::Recorded);
  ASSERT_EQ(s.RecordCheckIn(alice, "two", "192.0.2.1", 1, 2).Outcome, TCheckInRecord::Recorded);
  EXPECT_EQ(s.RecordCheckIn(alice, "three", "192.0.2.1", 1, 2).Outcome, TCheckInRecord::TooManyNodes);
  EXPECT_EQ(s.RecordCheckIn(alice, "TWO", "192.0.2.9", 2, 2).Outcome, TCheckInRecord::Recorded)
      << "a node that exists checks in at the limit";
  EXPECT_EQ(s.RecordCheckIn(bob, "three", "192.0.2.1", 1, 2).Outcome, TCheckInRecord::Recorded)
      << "the limit is per account";
  EXPECT_EQ(s.Nodes(alice).size(), 2u);
  EXPECT_EQ(s.RecordCheckIn(bob, "x", "192.0.2.1", 1, 0).Outcome, TCheckInRecord::TooManyNodes);
  EXPECT_EQ(s.CountNodes(0).Nodes, 3);
}

TEST_P(ServiceStoreContract, ANodeIsFoundByIdGetsItsDnsAndIsRemovedOnlyByItsAccount) {
  IServiceStore& s = Store();
  const std::int64_t alice = Account("alice"), bob = Account("bob");
  s.RecordCheckIn(alice, "box", "192.0.2.1", 1, 10);
  const TNodeRecord box = s.RecordCheckIn(alice, "box", "192.0.2.2", 2, 10).Node;
  EXPECT_FALSE(s.FindNode(box.Id + 1000));
  EXPECT_FALSE(s.SetNodeDns(box.Id + 1000, "x.", "y"));
  ASSERT_TRUE(s.SetNodeDns(box.Id, "box.alice.zone.", "published"));
  const std::optional<TNodeRecord> found = s.FindNode(box.Id);
  ASSERT_TRUE(found);
  EXPECT_EQ(found->Name, "box");
  EXPECT_EQ(found->AccountId, alice);
  EXPECT_EQ(found->IPv4.Address, "192.0.2.2");
  EXPECT_EQ(found->CheckIns, 2);
  EXPECT_EQ(found->PublishedName, "box.alice.zone.");
  EXPECT_EQ(found->DnsState, "published");
  EXPECT_EQ(s.RecordCheckIn(alice, "box", "192.0.2.2", 3, 10).Node.PublishedName, "box.alice.zone.")
      << "a check-in keeps what the publisher set";

  EXPECT_FALSE(s.RemoveNode(bob, box.Id)) << "bob cannot remove alice's node";
  EXPECT_TRUE(s.RemoveNode(alice, box.Id));
  EXPECT_FALSE(s.RemoveNode(alice, box.Id));
  EXPECT_FALSE(s.FindNode(box.Id));
  const TCheckInRecord back = s.RecordCheckIn(alice, "box", "192.0.2.3", 4, 10);
  EXPECT_TRUE(back.FirstCheckIn) << "a removed node comes back new";
  EXPECT_TRUE(s.Nodes(alice).at(0).History.empty()) << "its history went with it";
}

TEST_P(ServiceStoreContract, NodeKeysArePerAccountAndNodeAndTheSecretIsTheFirstCandidate) {
  IServiceStore& s = Store();
  const std::string secret = s.NodeKeySecret("first");
  EXPECT_EQ(secret, "first");
  EXPECT_EQ(s.NodeKeySecret("second"), "first") << "made once for good";
  const std::int64_t alice = Account("alice"), bob = Account("bob");
  EXPECT_FALSE(s.SetNodeKey(alice + bob + 1000, "box", "h", 1)) << "no such account";
  ASSERT_TRUE(s.SetNodeKey(alice, "box", "h1", 10)) << "before the node checked in";
  ASSERT_TRUE(s.SetNodeKey(alice, "Box", "h2", 20));
  ASSERT_TRUE(s.SetNodeKey(alice, "attic", "h3", 30));
  ASSERT_TRUE(s.SetNodeKey(bob, "box", "h4", 40));
  const std::optional<TNodeKeyRecord> key = s.FindNodeKey(alice, "BOX");
  ASSERT_TRUE(key);
  EXPECT_EQ(key->KeyHash, "h2") << "replaced";
  EXPECT_EQ(key->Made, 20);
  const std::vector<TNodeKeyRecord> keys = s.NodeKeys(alice);
  ASSERT_EQ(keys.size(), 2u);
  EXPECT_EQ(keys[0].Node, "attic");
  EXPECT_EQ(keys[1].KeyHash, "h2");
  EXPECT_TRUE(s.RemoveNodeKey(alice, "box"));
  EXPECT_FALSE(s.RemoveNodeKey(alice, "box"));
  EXPECT_FALSE(s.FindNodeKey(alice, "box"));
  EXPECT_EQ(s.FindNodeKey(bob, "box")->KeyHash, "h4") << "bob's own key stays";
}

TEST_P(ServiceStoreContract, DeliveriesArePerWebhookFailPauseAndStaleNodesAreToldOnce) {
  IServiceStore& s = Store();
  const std::string kSecret(64, 'a');
  const std::int64_t id = Account("demo"), other = Account("other");
  EXPECT_FALSE(s.SetWebhook("nobody", "http://example.org/", kSecret));
  EXPECT_EQ(s.Webhook(id)->Url, "");
  EXPECT_FALSE(s.Webhook(id + other + 1000)) << "no such account";
  EXPECT_FALSE(s.AddDelivery(id, "address-changed", "{}", 10)) << "no webhook, nothing queued";
  ASSERT_TRUE(s.SetWebhook("DEMO", "http://example.org/", kSecret));
  ASSERT_TRUE(s.SetWebhook("other", "http://example.org/other", kSecret));
  for (int i = 0; i < 150; ++i) ASSERT_TRUE(s.AddDelivery(id, "address-changed", std::to_string(i), 100 + i));
  ASSERT_TRUE(s.AddDelivery(other, "address-changed", "other", 175));
  std::optional<TDeliveryRecord> next = s.NextDelivery();
  ASSERT_TRUE(next);
  EXPECT_EQ(next->Body, "50") << "the newest DeliveriesKept stay";
  EXPECT_EQ(next->Account, "demo");
  EXPECT_EQ(next->AccountId, id);
  EXPECT_EQ(next->Event, "address-changed");
  EXPECT_EQ(next->Created, 150);
  EXPECT_EQ(next->Due, 150);
  EXPECT_EQ(next->Webhook.Secret, kSecret);
  s.DeliveryFailed(next->Id, 1000, "refused", 500, false);
  EXPECT_EQ(s.NextDelivery()->Body, "51") << "failed ones wait for their time";
  s.DeliveryFailed(s.NextDelivery()->Id, 1000, "refused again", 600, false);
  EXPECT_EQ(s.Webhook(id)->FailingSince, 500) << "the first failure in a row";
  EXPECT_EQ(s.Webhook(id)->LastError, "refused again");
  next = s.NextDelivery();
  EXPECT_EQ(next->Body, "52");
  s.DeliveryDone(next->Id);
  EXPECT_EQ(s.Webhook(id)->FailingSince, 0);
  EXPECT_EQ(s.Webhook(id)->LastError, "");
  s.DeliveryFailed(s.NextDelivery()->Id, 1000, "down", 700, true);
  EXPECT_TRUE(s.Webhook(id)->Paused);
  next = s.NextDelivery();
  ASSERT_TRUE(next);
  EXPECT_EQ(next->Body, "other") << "a paused webhook sends nothing, the others go on";
  s.DeliveryDone(next->Id);
  EXPECT_FALSE(s.NextDelivery());
  EXPECT_FALSE(s.AddDelivery(id, "node-stale", "{}", 800));
  ASSERT_TRUE(s.SetWebhook("demo", "http://example.org/new", ""));
  EXPECT_FALSE(s.Webhook(id)->Paused);
  EXPECT_EQ(s.Webhook(id)->Url, "http://example.org/new");
  EXPECT_EQ(s.Webhook(id)->Secret, kSecret) << "the secret stays with the account";
  EXPECT_FALSE(s.NextDelivery()) << "what waited for the old URL went";

  s.RecordCheckIn(id, "box", "192.0.2.1", 1000, 10);
  s.RecordCheckIn(id, "fresh", "192.0.2.2", 5000, 10);
  s.RecordCheckIn(Account("nohook"), "old", "192.0.2.3", 1000, 10);
  std::vector<TStaleNode> stale = s.UntoldStaleNodes(2000, 10);
  ASSERT_EQ(stale.size(), 1u) << "only accounts with a webhook";
  EXPECT_EQ(stale[0].Node.Name, "box");
  EXPECT_EQ(stale[0].Account, "demo");
  EXPECT_EQ(stale[0].AccountId, id);
  ASSERT_TRUE(s.AddDelivery(id, "node-stale", "{}", 3000, stale[0].Node.Id, stale[0].Node.LastCheckIn));
  EXPECT_TRUE(s.UntoldStaleNodes(2000, 10).empty()) << "told once per silence";
  s.RecordCheckIn(id, "box", "192.0.2.1", 6000, 10);
  EXPECT_EQ(s.UntoldStaleNodes(7000, 10).size(), 2u) << "a new silence is told again";
  EXPECT_EQ(s.UntoldStaleNodes(7000, 1).size(), 1u);
  EXPECT_TRUE(s.RemoveAccount("demo"));
  EXPECT_FALSE(s.NextDelivery());
  EXPECT_TRUE(s.UntoldStaleNodes(7000, 10).empty());
}

TEST_P(ServiceStoreContract, NodesAndTheStaleOnesAreCounted) {
  IServiceStore& s = Store();
  const std::int64_t alice = Account("alice"), bob = Account("bob");
  EXPECT_EQ(s.CountNodes(0).Nodes, 0);
  s.RecordCheckIn(alice, "old", "10.0.0.1", 1000, 10);
  s.RecordCheckIn(alice, "edge", "10.0.0.2", 2000, 10);
  s.RecordCheckIn(bob, "new", "2001:db8::1", 3000, 10);
  const struct {
    TServiceTime staleBefore;
    std::int64_t stale;
  } cases[] = {{0, 0}, {1000, 0}, {1001, 1}, {2001, 2}, {5000, 3}};
  for (const auto& c : cases) {
    const TNodeCounts counts = s.CountNodes(c.staleBefore);
    EXPECT_EQ(counts.Nodes, 3);
    EXPECT_EQ(counts.Stale, c.stale) << "stale before " << c.staleBefore;
  }
}

// Check-ins from several threads at once: every one answered is counted, a
// node made by two at once is made once, and the limit holds between them.
TEST_P(ServiceStoreContract, CheckInsFromManyThreadsAreEachCountedAndTheLimitHolds) {
  IServiceStore& s = Store();
  const std::int64_t alice = Account("alice");
  const TAccountRecord read = *s.FindAccount("alice");
  constexpr int kThreads = 4, kEach = 40;
  std::atomic<int> recorded{0}, refused{0};
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t)
    threads.emplace_back([&, t] {
      for (int i = 0; i < kEach; ++i) {
        const std::string address = "10.0." + std::to_string(t) + "." + std::to_string(i % 3);
        // Half of them as a verified account, read and counted at once.
        const TCheckInRecord shared = t % 2 ? s.RecordCheckIn(alice, "shared", address, i, 3)
                                            : s.RecordCheckInAs(read, "shared", address, i, 3).Record.value();
        if (shared.Outcome == TCheckInRecord::Recorded) ++recorded;
        const std::string own = "own" + std::to_string((t * kEach + i) % 8);
        (s.RecordCheckIn(alice, own, address, i, 3).Outcome == TCheckInRecord::Recorded ? recorded : refused)++;
      }
    });
  for (std::thread& t : threads) t.join();
  const std::vector<TNodeRecord> nodes = s.Nodes(alice);
  EXPECT_EQ(nodes.size(), 3u) << "the limit holds between threads";
  std::int64_t counted = 0;
  for (const TNodeRecord& n : nodes) counted += n.CheckIns;
  EXPECT_EQ(counted, recorded.load());
  EXPECT_EQ(recorded + refused, 2 * kThreads * kEach);
}
