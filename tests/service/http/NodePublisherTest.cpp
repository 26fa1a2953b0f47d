// Handing nodes to the DNS publisher: which address goes to the queue, what
// is recorded on a node whose name cannot be published, a store that fails
// for a while, and how the page sees each state. The publisher's worker is
// not started: the queue itself is looked at.
#include "service/http/NodePublisher.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <atomic>
#include <mutex>

#include "service/dns/MemoryDnsQueueStore.h"
#include "service/http/RequestLog.h"
#include "service/store/MemoryStore.h"
#include "tests/support/TempDir.h"

using namespace std::chrono_literals;

namespace {
const char kHash[] = "plain$00000000000000000000000000000000";
constexpr TServiceTime kStaleAfter = 60 * 60 * 1000;

// The memory store, made to fail its reads of single nodes while Failing is set.
class FlakyStore : public TMemoryStore {
 public:
  std::atomic<bool> Failing{false};
  std::optional<TNodeRecord> FindNode(std::int64_t nodeId) override {
    if (Failing) throw EStoreUnavailable("the disk is full");
    return TMemoryStore::FindNode(nodeId);
  }
  std::atomic<bool> FailingRemoval{false};
  bool RemoveNode(std::int64_t accountId, std::int64_t nodeId) override {
    if (FailingRemoval) throw EStoreUnavailable("the database is locked");
    return TMemoryStore::RemoveNode(accountId, nodeId);
  }
};

class NodePublisherTest : public ::testing::Test {
 protected:
  NodePublisherTest() {
    const std::string key = dir.File("dns.key");
    TempDir::Write(key, "hmac-sha256:pinmark-update:cGlubWFyay10ZXN0LXNlY3JldC0zMi1ieXRlcyEhISE=\n");
    ::chmod(key.c_str(), 0600);
    dns = std::make_unique<TDnsPublisher>(TDnsSettings{"dyn.example.org", "127.0.0.1:9", key, 60}, queueStore,
                                          TDnsQueueOptions{}, TDnsWorkerOptions{},
                                          [](TLogPriority, const std::string&) {});
    store.AddAccount("alice", kHash, 0);
    alice = store.FindAccount("alice")->Id;
  }

  TNodePublisher& Publisher() {
    if (!publisher)
      publisher = std::make_unique<TNodePublisher>(
          store, *dns,
          [this](TLogPriority, const std::string& line) {
            std::lock_guard<std::mutex> hold(logLock);
            log.push_back(line);
          },
          [this] { return now.load(); }, kStaleAfter, 20ms);
    return *publisher;
  }

  // A check-in of node at address, told to the publisher as the core tells it.
  TCheckInRecord CheckIn(const std::string& node, const std::string& address) {
    TCheckInRecord r = store.RecordCheckIn(alice, node, address, 0, 10);
    Publisher().Changed({"alice", alice, node, r.Node.Id, r.PreviousAddress, address, 0});
    return r;
  }

  // The address queued for name's set of type; "-" when nothing was ever queued for it.
  std::string Queued(const std::string& name, TDnsRecordType type) {
    for (const TDnsQueueEntry& entry : dns->Queue().StateOf(name))
      if (entry.Type == type) return entry.Address;
    return "-";
  }

  std::string QueuedAddress(const std::string& name) {
    const std::vector<TDnsQueueEntry> entries = dns->Queue().StateOf(name);
    return entries.empty() ? "" : entries[0].Address;
  }

  std::vector<std::string> Log() {
    std::lock_guard<std::mutex> hold(logLock);
    return log;
  }

  TempDir dir;
  FlakyStore store;
  TMemoryDnsQueueStore queueStore;
  std::unique_ptr<TDnsPublisher> dns;
  std::unique_ptr<TNodePublisher> publisher;
  std::int64_t alice = 0;
  // The service's clock, held still: far from the system's time.
  std::atomic<TServiceTime> now{1'000'000'000'000};
  std::mutex logLock;
  std::vector<std::string> log;
};
}  // namespace

TEST_F(NodePublisherTest, TheAddressTheStoreKeptLastIsQueuedWhateverOrderTheChangesCameIn) {
  // A node from before the publisher started is found by its first pass.
  store.RecordCheckIn(alice, "Desktop", "192.0.2.9", 0, 10);
  Publisher().Start();
  const TCheckInRecord first = CheckIn("laptop", "192.0.2.1");
  ASSERT_TRUE(Publisher().WaitUntilHandedOver(30s));
  EXPECT_EQ(QueuedAddress("desktop.alice.dyn.example.org."), "192.0.2.9");
  EXPECT_EQ(QueuedAddress("laptop.alice.dyn.example.org."), "192.0.2.1");
  EXPECT_EQ(store.FindNode(first.Node.Id)->PublishedName, "laptop.alice.dyn.example.org.");

  // Two check-ins whose reports overtake each other: the stored address wins.
  store.RecordCheckIn(alice, "laptop", "192.0.2.2", 0, 10);
  store.RecordCheckIn(alice, "laptop", "192.0.2.3", 0, 10);
  Publisher().Changed({"alice", alice, "laptop", first.Node.Id, "192.0.2.1", "192.0.2.2", 0});
  ASSERT_TRUE(Publisher().WaitUntilHandedOver(30s));
  EXPECT_EQ(QueuedAddress("laptop.alice.dyn.example.org."), "192.0.2.3");
}

TEST_F(NodePublisherTest, EachFamilyIsPublishedByItselfAndWithdrawnOnceTheNodeHasLeftIt) {
  const std::string box = "box.alice.dyn.example.org.", old = "old.alice.dyn.example.org.";
  // A node that moved from IPv4 to IPv6 before nodes had both: its A set was never taken back.
  dns->Queue().Enqueue(old, "192.0.2.50", 0);
  store.RecordCheckIn(alice, "old", "2001:db8::50", 0, 10);
  Publisher().Start();
  ASSERT_TRUE(Publisher().WaitUntilHandedOver(30s));
  EXPECT_EQ(Queued(old, TDnsRecordType::A), "") << "a family with no address holds no record";
  EXPECT_EQ(Queued(old, TDnsRecordType::AAAA), "2001:db8::50");

  // The core tells of each of these check-ins; the stored node decides.
  auto checkIn = [&](const std::string& address, TServiceTime when) {
    const TCheckInRecord r = store.RecordCheckIn(alice, "box", address, when, 10);
    Publisher().Changed({"alice", alice, "box", r.Node.Id, r.PreviousAddress, address, when});
    EXPECT_TRUE(Publisher().WaitUntilHandedOver(30s));
    return r.Node;
  };
  checkIn("192.0.2.1", 1000);
  TNodeRecord node = checkIn("2001:db8::1", 2000);
  EXPECT_EQ(Queued(box, TDnsRecordType::A), "192.0.2.1");
  EXPECT_EQ(Queued(box, TDnsRecordType::AAAA), "2001:db8::1");
  node = checkIn("192.0.2.2", 2000 + kStaleAfter);
  EXPECT_EQ(Queued(box, TDnsRecordType::A), "192.0.2.2");
  EXPECT_EQ(Queued(box, TDnsRecordType::AAAA), "2001:db8::1") << "IPv6 is not stale-after behind yet";
  node = checkIn("192.0.2.2", 2001 + kStaleAfter);
  EXPECT_EQ(Queued(box, TDnsRecordType::AAAA), "") << "left: the AAAA set is to be deleted";
  EXPECT_EQ(Queued(box, TDnsRecordType::A), "192.0.2.2");
  // The page follows IPv4 alone now: published once A is, whatever AAAA does.
  const TServiceTime t = 1'800'000'000'000;
  while (std::optional<TDnsJob> job = dns->Queue().TakeDue(t))
    if (job->Type == TDnsRecordType::A) dns->Queue().Finish(*job, {TDnsOutcome::Done, ""}, t);
  EXPECT_EQ(Publisher().View(node, "alice").State, "published");
  // Back over IPv6 at the same address: published again.
  checkIn("2001:db8::1", 3000 + kStaleAfter);
  EXPECT_EQ(Queued(box, TDnsRecordType::AAAA), "2001:db8::1");
}

TEST_F(NodePublisherTest, ANodeWhoseNameCannotBePublishedIsRecordedWithTheReasonOnceAndNeverQueued) {
  Publisher().Start();
  const TCheckInRecord box = CheckIn("my_box", "192.0.2.1");
  CheckIn("my_box", "192.0.2.2");
  ASSERT_TRUE(Publisher().WaitUntilHandedOver(30s));
  const TNodeRecord stored = *store.FindNode(box.Node.Id);
  EXPECT_EQ(stored.PublishedName, "");
  EXPECT_EQ(stored.DnsState, "the node name holds '_'; only letters, digits and '-' can be published");
  EXPECT_FALSE(queueStore.Earliest()) << "nothing to send";
  ASSERT_EQ(Log().size(), 1u);
  EXPECT_EQ(Log()[0], "event=dns node=my_box account=alice state=not_published" +
                           TRequestLog::Field("reason", stored.DnsState));
  const TNodeDnsView view = Publisher().View(stored, "alice");
  EXPECT_EQ(view.State, "not published");
  EXPECT_EQ(view.Reason, stored.DnsState);
  EXPECT_EQ(view.Name, "");
}

TEST_F(NodePublisherTest, ANodeNotedWhileTheStoreFailsIsHandedOverOnceItWorksAgain) {
  Publisher().Start();
  ASSERT_TRUE(Publisher().WaitUntilHandedOver(30s));
  store.Failing = true;
  CheckIn("laptop", "192.0.2.1");
  EXPECT_FALSE(Publisher().WaitUntilHandedOver(200ms));
  store.Failing = false;
  ASSERT_TRUE(Publisher().WaitUntilHandedOver(30s));
  EXPECT_EQ(QueuedAddress("laptop.alice.dyn.example.org."), "192.0.2.1");
  const std::vector<std::string> lines = Log();
  ASSERT_EQ(lines.size(), 2u) << "one line when it starts failing, one when it ends, none per attempt";
  EXPECT_EQ(lines[0], "event=dns state=handover_failing reason=the%20disk%20is%20full retry_ms=20");
  EXPECT_EQ(lines[1], "event=dns state=handover_resumed");
}

TEST_F(NodePublisherTest, ThePageSeesTheStateOfTheNodesCurrentAddress) {
  const std::string name = "laptop.alice.dyn.example.org.";
  const TServiceTime t = 1'800'000'000'000;
  TNodeRecord node = store.RecordCheckIn(alice, "laptop", "192.0.2.1", 0, 10).Node;
  struct Step {
    const char* what;
    std::function<void()> act;
    const char* state;
    const char* reason;
    std::vector<std::string> addresses;
  } steps[] = {
      {"never queued", [] {}, "pending", "", {}},
      {"queued", [&] { dns->Queue().Enqueue(name, "192.0.2.1", t); }, "pending", "", {}},
      {"refused",
       [&] {
         dns->Queue().Finish(*dns->Queue().TakeDue(t), {TDnsOutcome::Failed, "REFUSED: not this zone"}, t);
       },
       "failing",
       "REFUSED: not this zone",
       {}},
      {"sent",
       [&] {
         dns->Queue().Finish(*dns->Queue().TakeDue(t + 3'600'000), {TDnsOutcome::Done, ""}, t + 3'600'000);
       },
       "published",
       "",
       {"192.0.2.1"}},
      {"moved, not yet queued",
       [&] { node = store.RecordCheckIn(alice, "laptop", "192.0.2.7", 0, 10).Node; },
       "pending",
       "",
       {"192.0.2.1"}},
      {"moved to IPv6 too",
       [&] {
         dns->Queue().Enqueue(name, "2001:db8::7", t);
         dns->Queue().Finish(*dns->Queue().TakeDue(t), {TDnsOutcome::Done, ""}, t);
       },
       "pending",
       "",
       {"192.0.2.1", "2001:db8::7"}},
  };
  for (const Step& step : steps) {
    step.act();
    const TNodeDnsView view = Publisher().View(node, "ALICE");
    EXPECT_EQ(view.Name, "laptop.alice.dyn.example.org") << step.what;
    EXPECT_EQ(view.State, step.state) << step.what;
    EXPECT_EQ(view.Reason, step.reason) << step.what;
    EXPECT_EQ(view.Addresses, step.addresses) << step.what;
  }
}

TEST_F(NodePublisherTest, ARemovedNodeIsWithdrawnAndNeverPublishedAgainAndOneThatStaysIsPublishedAgain) {
  Publisher().Start();
  CheckIn("gone", "192.0.2.1");
  const TNodeRecord gone = CheckIn("gone", "2001:db8::1").Node, kept = CheckIn("kept", "192.0.2.2").Node;
  const TNodeRecord odd = CheckIn("my_box", "192.0.2.3").Node;
  ASSERT_TRUE(Publisher().WaitUntilHandedOver(30s));
  TNodeRecord strangers = kept;
  strangers.AccountId = alice + 1;
  using V = std::vector<TDnsRecordType>;
  struct Case {
    const char* what;
    TNodeRecord node;
    bool failing, removed, stored;
    V withdrawn;
    std::string queued;  // for its A set afterwards ("-": never queued)
  } cases[] = {
      {"both families", gone, false, true, false, {TDnsRecordType::A, TDnsRecordType::AAAA}, ""},
      {"removed already", gone, false, false, false, {}, ""},
      {"a name never published", odd, false, true, false, {}, "-"},
      {"another account's node", strangers, false, false, true, {TDnsRecordType::A}, "192.0.2.2"},
      {"a store that cannot remove it", kept, true, false, true, {TDnsRecordType::A}, "192.0.2.2"},
  };
  for (const Case& c : cases) {
    store.FailingRemoval = c.failing;
    V withdrawn;
    bool removed = false;
    if (c.failing)
      EXPECT_THROW(Publisher().Remove(c.node, "alice", withdrawn), EStoreUnavailable) << c.what;
    else
      removed = Publisher().Remove(c.node, "alice", withdrawn);
    EXPECT_EQ(removed, c.removed) << c.what;
    EXPECT_EQ(withdrawn, c.withdrawn) << c.what;
    EXPECT_EQ(store.FindNode(c.node.Id).has_value(), c.stored) << c.what;
    // A check-in of the node noted before the removal hands nothing over; one that stays is published again.
    Publisher().Changed({"alice", alice, c.node.Name, c.node.Id, "", c.node.Address, 0});
    ASSERT_TRUE(Publisher().WaitUntilHandedOver(30s)) << c.what;
    EXPECT_EQ(Queued(c.node.Name + ".alice.dyn.example.org.", TDnsRecordType::A), c.queued) << c.what;
  }
  EXPECT_EQ(Queued("gone.alice.dyn.example.org.", TDnsRecordType::AAAA), "");
}

TEST_F(NodePublisherTest, HandOversAndWithdrawalsAreQueuedAtTheServicesTime) {
  const std::string name = "laptop.alice.dyn.example.org.";
  const TServiceTime start = now;
  Publisher().Start();
  const TNodeRecord node = CheckIn("laptop", "192.0.2.1").Node;
  ASSERT_TRUE(Publisher().WaitUntilHandedOver(30s));
  std::vector<TDnsQueueEntry> entries = dns->Queue().StateOf(name);
  ASSERT_EQ(entries.size(), 1u);
  EXPECT_EQ(entries[0].Since, start);
  EXPECT_EQ(entries[0].Due, start);

  dns->Queue().Finish(*dns->Queue().TakeDue(start), {TDnsOutcome::Done, ""}, start);
  now = start + 60'000;
  std::vector<TDnsRecordType> withdrawn;
  ASSERT_TRUE(Publisher().Remove(node, "alice", withdrawn));
  entries = dns->Queue().StateOf(name);
  ASSERT_EQ(entries.size(), 1u);
  EXPECT_EQ(entries[0].Address, "") << "withdrawn";
  EXPECT_EQ(entries[0].Since, start + 60'000);
  EXPECT_EQ(entries[0].Due, start + 60'000);
}
