#include "service/dns/DnsQueue.h"

#include <gtest/gtest.h>

#include <stdexcept>

#include "service/dns/MemoryDnsQueueStore.h"
#include "tests/service/dns/DnsQueueStoreContract.h"

using namespace std::chrono_literals;

namespace {
const TServiceTime T0 = 1'800'000'000'000;
const std::string kName = "laptop.alice.dyn.example.org.";
const TDnsOutcome kDone{TDnsOutcome::Done, ""};
const TDnsOutcome kTimeout{TDnsOutcome::Failed, "no answer from 127.0.0.1:53 in time"};
const TDnsOutcome kRefused{TDnsOutcome::Failed, "REFUSED: the name server does not let this key update the zone"};

// A store that can be made to fail, as a full disk would.
class FailingStore : public TMemoryDnsQueueStore {
 public:
  bool fail = false;
  std::optional<TDnsQueueEntry> Find(const std::string& name, TDnsRecordType type) override {
    Check();
    return TMemoryDnsQueueStore::Find(name, type);
  }
  void Save(const TDnsQueueEntry& entry) override {
    Check();
    TMemoryDnsQueueStore::Save(entry);
  }
  std::optional<TDnsQueueEntry> Earliest() override {
    Check();
    return TMemoryDnsQueueStore::Earliest();
  }

 private:
  void Check() const {
    if (fail) throw std::runtime_error("database or disk is full");
  }
};

class DnsQueueRules : public ::testing::Test {
 protected:
  FailingStore store;
  std::vector<std::pair<TLogPriority, std::string>> log;
  TDnsQueue queue{store, TDnsQueueOptions{1s, 8s, 30s},
                  [this](TLogPriority p, const std::string& line) { log.emplace_back(p, line); }};

  TDnsQueueEntry Entry(TDnsRecordType type = TDnsRecordType::A) { return *store.Find(kName, type); }
};
}  // namespace

TEST_F(DnsQueueRules, SendsOnlyTheNewestAddressAndOneUpdateAtATimePerName) {
  EXPECT_TRUE(queue.Enqueue(kName, "192.0.2.1", T0));
  EXPECT_FALSE(queue.Enqueue(kName, "192.0.2.1", T0 + 1));  // nothing new
  EXPECT_TRUE(queue.Enqueue(kName, "192.0.2.2", T0 + 2));
  std::optional<TDnsJob> first = queue.TakeDue(T0 + 3);
  ASSERT_TRUE(first);
  EXPECT_EQ(first->Address, "192.0.2.2");  // .1 was never sent
  EXPECT_FALSE(queue.TakeDue(T0 + 4));   // nothing else is due

  // A newer address while .2 is on its way waits for it, then goes at once.
  EXPECT_FALSE(queue.Enqueue(kName, "192.0.2.3", T0 + 5));
  EXPECT_FALSE(queue.TakeDue(T0 + 6));
  queue.Finish(*first, kDone, T0 + 7);
  EXPECT_EQ(Entry().PublishedAddress, "192.0.2.2");
  EXPECT_EQ(Entry().State, TDnsState::Pending);
  std::optional<TDnsJob> second = queue.TakeDue(T0 + 7);
  ASSERT_TRUE(second);
  EXPECT_EQ(second->Address, "192.0.2.3");
  queue.Finish(*second, kDone, T0 + 8);
  const TDnsQueueEntry entry = Entry();
  EXPECT_EQ(entry.State, TDnsState::Published);
  EXPECT_EQ(entry.PublishedAddress, "192.0.2.3");
  EXPECT_EQ(entry.Since, T0 + 8);
  EXPECT_FALSE(entry.Due);
  EXPECT_FALSE(queue.NextDue());
  // The same address again changes nothing; IPv6 is a set of its own.
  EXPECT_FALSE(queue.Enqueue(kName, "192.0.2.3", T0 + 9));
  EXPECT_TRUE(queue.Enqueue(kName, "2001:DB8::1", T0 + 9));
  EXPECT_EQ(queue.TakeDue(T0 + 9)->Address, "2001:db8::1");
  EXPECT_EQ(queue.StateOf(kName).size(), 2u);
}

TEST_F(DnsQueueRules, RetriesWithGrowingDelaysAndLogsOnlyChangesOfState) {
  queue.Enqueue(kName, "192.0.2.1", T0);
  TServiceTime now = T0;
  std::vector<std::chrono::milliseconds> delays;
  for (const TDnsOutcome& outcome : {kTimeout, kTimeout, kTimeout, kRefused, kRefused, kTimeout}) {
    std::optional<TDnsJob> job = queue.TakeDue(now);
    ASSERT_TRUE(job);
    queue.Finish(*job, outcome, now);
    const TServiceTime due = *Entry().Due;
    EXPECT_FALSE(queue.TakeDue(due - 1));
    delays.push_back(std::chrono::milliseconds(due - now));
    now = due;
  }
  // Doubling from about a second up to the cap of 8 s, a name's spread taking up to a fifth off.
  for (std::size_t i = 0; i < delays.size(); ++i) {
    const auto full = std::min<std::chrono::milliseconds>(1000ms * (1 << i), 8000ms);
    EXPECT_LE(delays[i], full) << i;
    EXPECT_GE(delays[i], full * 4 / 5) << i;
  }
  EXPECT_EQ(Entry().State, TDnsState::Failing);
  EXPECT_EQ(Entry().Since, T0);  // failing since the first failure
  EXPECT_EQ(Entry().Reason, kTimeout.Reason);

  std::optional<TDnsJob> job = queue.TakeDue(now);
  queue.Finish(*job, kDone, now);
  EXPECT_EQ(Entry().State, TDnsState::Published);
  EXPECT_EQ(Entry().Attempts, 0);
  // Failing, failing for another reason, and again the first; then published.
  ASSERT_EQ(log.size(), 4u);
  EXPECT_EQ(log[0].first, TLogPriority::Warning);
  EXPECT_NE(log[0].second.find("event=dns name=laptop.alice.dyn.example.org. type=A address=192.0.2.1 state=failing reason=no%20answer"), std::string::npos);
  EXPECT_NE(log[1].second.find("state=failing reason=REFUSED"), std::string::npos);
  EXPECT_NE(log[2].second.find("state=failing reason=no%20answer"), std::string::npos);
  EXPECT_EQ(log[3].first, TLogPriority::Info);
  EXPECT_NE(log[3].second.find("address=192.0.2.1 state=published failing_since=2027-01-15T08:00:00Z"), std::string::npos)
      << log[3].second;
}

TEST_F(DnsQueueRules, ANewAddressForAFailingNameGoesWithTheNextAttempt) {
  queue.Enqueue(kName, "192.0.2.1", T0);
  queue.Finish(*queue.TakeDue(T0), kTimeout, T0);
  const TServiceTime retry = *Entry().Due;
  EXPECT_FALSE(queue.Enqueue(kName, "192.0.2.2", T0 + 10));  // no hammering a failing server
  EXPECT_EQ(*Entry().Due, retry);
  EXPECT_EQ(queue.TakeDue(retry)->Address, "192.0.2.2");
}

TEST_F(DnsQueueRules, ANameNeverFinishedComesBackAfterItsLeaseOrWhenGivenBack) {
  queue.Enqueue(kName, "192.0.2.1", T0);
  std::optional<TDnsJob> job = queue.TakeDue(T0);
  ASSERT_TRUE(job);
  // Still on its way at the end of the lease: not handed out twice.
  EXPECT_FALSE(queue.TakeDue(T0 + 31'000));
  queue.Abandon(*job, T0 + 32'000);
  EXPECT_EQ(queue.TakeDue(T0 + 32'000)->Address, "192.0.2.1");

  // A queue made anew over the same store (the service restarted) sends
  // what was on its way once the lease is over.
  TDnsQueue restarted(store, TDnsQueueOptions{1s, 8s, 30s}, [](TLogPriority, const std::string&) {});
  EXPECT_FALSE(restarted.TakeDue(T0 + 61'000));
  EXPECT_EQ(restarted.TakeDue(T0 + 62'000)->Address, "192.0.2.1");
}

TEST_F(DnsQueueRules, AStoreThatFailsLosesNothingAndStrandsNoName) {
  queue.Enqueue(kName, "192.0.2.1", T0);
  std::optional<TDnsJob> job = queue.TakeDue(T0);
  store.fail = true;
  EXPECT_THROW(queue.Enqueue(kName, "192.0.2.2", T0), std::runtime_error);
  EXPECT_THROW(queue.Finish(*job, kDone, T0), std::runtime_error);
  store.fail = false;
  // The update's outcome was not recorded: it is sent again after its lease.
  EXPECT_FALSE(queue.TakeDue(T0 + 29'000));
  EXPECT_EQ(queue.TakeDue(T0 + 30'000)->Address, "192.0.2.1");
}

TEST(DnsQueueAddress, IsPublishedInItsCanonicalForm) {
  const std::pair<const char*, const char*> cases[] = {
      {"192.0.2.1", "192.0.2.1"},
      {"2001:DB8:0:0::1", "2001:db8::1"},
      {"::ffff:192.0.2.9", "192.0.2.9"},
  };
  for (const auto& [in, out] : cases) EXPECT_EQ(TDnsQueue::CanonicalAddress(in), out);
  for (const char* bad : {"", "192.0.2", "192.0.2.1 ", "example.org", "1.2.3.4/24"})
    EXPECT_THROW(TDnsQueue::CanonicalAddress(bad), EDnsUpdate) << bad;
}

TEST(MemoryDnsQueueStore, KeepsTheStoreContract) {
  TMemoryDnsQueueStore store;
  ExpectDnsQueueStoreContract(store);
  TMemoryDnsQueueStore stepped;
  ExpectDnsQueueStoreSteps(stepped);
  TMemoryDnsQueueStore walked;
  ExpectDnsQueueStoreWalk(walked);
  TMemoryDnsQueueStore waiting;
  ExpectDnsQueueStoreBacklog(waiting);
}

// A queue several instances share: one starting leaves the others' leases
// alone (they may be alive) and takes a lease over once it runs out, and a
// published name is not shown as waiting for this instance's verification.
TEST(DnsQueueShared, AnInstanceStartingTakesOverLeasesOnlyOnceTheyRunOut) {
  struct TSharedStore : TMemoryDnsQueueStore {
    bool Shared() const override { return true; }
  } store;
  TDnsQueue first(store, TDnsQueueOptions{1s, 8s, 30s}, [](TLogPriority, const std::string&) {});
  first.Resume("127.0.0.1:53", T0);
  first.Enqueue(kName, "192.0.2.1", T0);
  first.Enqueue("desk.alice.dyn.example.org.", "192.0.2.2", T0);
  ASSERT_TRUE(first.TakeDue(T0));
  const std::optional<TDnsJob> done = first.TakeDue(T0);
  ASSERT_TRUE(done);
  first.Finish(*done, kDone, T0 + 1000);

  TDnsQueue second(store, TDnsQueueOptions{1s, 8s, 30s}, [](TLogPriority, const std::string&) {});
  second.Resume("127.0.0.1:53", T0 + 2000);
  EXPECT_FALSE(second.TakeDue(T0 + 2000)) << "the first instance's lease is alive";
  EXPECT_TRUE(second.TakeDue(T0 + 30000)) << "and taken over once it ran out";
  EXPECT_EQ(second.StateOf(done->Name).at(0).State, TDnsState::Published);
}
