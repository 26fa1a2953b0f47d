// The PostgreSQL store on a real server (a throw-away cluster per test
// program, a database per test): the store, DNS queue, session and failure
// count contracts, what it refuses, migrating once when instances start
// together, a server that goes away and comes back, a thread that must not
// wait, and instances sharing one database: claims taken once, tasks run by
// one at a time, sessions, failure counts and the verification key shared.
#include "service/store/PostgresStore.h"

#include <gtest/gtest.h>

#include <atomic>
#include <future>
#include <set>
#include <stdexcept>
#include <thread>

#include "runtime/NoWaitScope.h"
#include "service/core/PasswordHash.h"
#include "service/core/ServiceCore.h"
#include "service/model/CheckInPipe.h"
#include "service/store/PostgresDnsQueueStore.h"
#include "settings/md5.h"
#include "tests/service/core/FailureCountsContract.h"
#include "tests/service/core/SessionStoreContract.h"
#include "tests/service/dns/DnsQueueStoreContract.h"
#include "tests/service/store/ServiceStoreContract.h"
#include "tests/support/PostgresCluster.h"

namespace {
const auto* const kEnvironment = ::testing::AddGlobalTestEnvironment(new PostgresEnvironment);

// The database's name in a URI the cluster made.

std::shared_ptr<IServiceStore> MakePostgres() {
  PostgresCluster* cluster = PostgresEnvironment::Cluster();
  if (!cluster) return nullptr;
  if (!cluster->Running()) throw std::runtime_error("PostgreSQL did not start: " + cluster->Error());
  return std::make_shared<TPostgresStore>(cluster->NewDatabase());
}
}  // namespace

INSTANTIATE_TEST_SUITE_P(Stores, ServiceStoreContract, ::testing::Values(TStoreFactory{"Postgres", MakePostgres}),
                         StoreName);

TEST(PostgresDnsQueueStore, KeepsTheQueuesContract) {
  PINMARK_NEED_POSTGRES(cluster);
  for (auto check : {ExpectDnsQueueStoreContract, ExpectDnsQueueStoreWalk, ExpectDnsQueueStoreBacklog}) {
    TPostgresStore store(cluster.NewDatabase());
    TPostgresDnsQueueStore queue(store);
    check(queue);
  }
}

TEST(PostgresDnsQueueStore, InstancesSharingTheQueueClaimEachEntryOnce) {
  PINMARK_NEED_POSTGRES(cluster);
  {
    TPostgresStore store(cluster.NewDatabase());
    TPostgresDnsQueueStore queue(store);
    EXPECT_TRUE(queue.Shared());
    ExpectDnsQueueStoreSteps(queue);
  }
  const std::string uri = cluster.NewDatabase();
  TPostgresStore one(uri), two(uri);
  TPostgresDnsQueueStore queueOne(one), queueTwo(two);
  ExpectDnsQueueStoreClaimsEachOnce(queueOne, queueTwo);

  // Changes of one key from both at once, the first of them making it: none is lost.
  constexpr int kChanges = 50;
  const auto count = [](IDnsQueueStore& queue) {
    for (int i = 0; i < kChanges; ++i)
      queue.Change("counted.x.zone.", TDnsRecordType::AAAA, [](std::optional<TDnsQueueEntry>& entry) {
        if (!entry) {
          entry.emplace();
          entry->Name = "counted.x.zone.";
          entry->Type = TDnsRecordType::AAAA;
        }
        ++entry->Version;
        return true;
      });
  };
  std::thread other(count, std::ref(queueTwo));
  count(queueOne);
  other.join();
  EXPECT_EQ(queueOne.Find("counted.x.zone.", TDnsRecordType::AAAA)->Version, 2 * kChanges);
}

// Another instance holds the row due first (it is claiming it this very
// moment): a claim takes the next one rather than waiting or taking it too.
TEST(PostgresStore, ARowAnotherInstanceIsClaimingIsPassedOverNotWaitedFor) {
  PINMARK_NEED_POSTGRES(cluster);
  const std::string uri = cluster.NewDatabase();
  TPostgresStore store(uri);
  TPostgresDnsQueueStore queue(store);
  const TServiceTime t = 1'800'000'000'000;
  ASSERT_TRUE(store.AddAccount("alice", "h", 1));
  ASSERT_TRUE(store.SetWebhook("alice", "https://hooks.example/x", "s"));
  for (int i = 0; i < 2; ++i) {
    TDnsQueueEntry entry;
    entry.Name = i == 0 ? "a.x.zone." : "b.x.zone.";
    entry.Address = "192.0.2.1";
    entry.Due = t + i;
    queue.Save(entry);
    ASSERT_TRUE(store.AddDelivery(store.FindAccount("alice")->Id, "node.changed", "{}", t + i));
  }
  const struct {
    const char* what;
    const char* lock;
    std::function<TServiceTime()> claim;
  } cases[] = {
      {"DNS queue", "SELECT 1 FROM dns_queue WHERE due_ms = $1 FOR UPDATE",
       [&] {
         const std::optional<TDnsQueueEntry> e = queue.Claim(t + 10, t + 100);
         return e ? *e->Due : 0;
       }},
      {"deliveries", "SELECT 1 FROM deliveries WHERE due = $1 FOR UPDATE",
       [&] {
         const std::optional<TDeliveryRecord> d = store.ClaimDelivery(t + 10, t + 100);
         return d ? d->Due : 0;
       }},
  };
  for (const auto& c : cases) {
    TPostgresConnection other(uri);
    other.Exec("BEGIN");
    other.Run(c.lock, TPostgresParams(t));
    std::future<TServiceTime> claimed = std::async(std::launch::async, c.claim);
    const bool waited = claimed.wait_for(std::chrono::seconds(20)) != std::future_status::ready;
    other.Exec("ROLLBACK");
    EXPECT_FALSE(waited) << c.what;
    EXPECT_EQ(claimed.get(), t + 1) << c.what << ": the next one";
  }
}

// Two instances on one database, as the service store and as the queue's
// store: while one runs a task, the other's RunAlone of it declines, of
// another task runs; once the first is done, or its work threw, it runs.
TEST(PostgresStore, ATaskRunsOnOneInstanceAtATime) {
  PINMARK_NEED_POSTGRES(cluster);
  const std::string uri = cluster.NewDatabase();
  TPostgresStore one(uri), two(uri);
  TPostgresDnsQueueStore queueOne(one), queueTwo(two);
  using TRun = std::function<bool(const std::string&, const std::function<void()>&)>;
  const struct {
    const char* what;
    TRun first, second;
  } cases[] = {
      {"service store", [&](auto& task, auto& work) { return one.RunAlone(task, work); },
       [&](auto& task, auto& work) { return two.RunAlone(task, work); }},
      {"queue store", [&](auto& task, auto& work) { return queueOne.RunAlone(task, work); },
       [&](auto& task, auto& work) { return queueTwo.RunAlone(task, work); }},
      {"one of each", [&](auto& task, auto& work) { return one.RunAlone(task, work); },
       [&](auto& task, auto& work) { return queueTwo.RunAlone(task, work); }},
  };
  for (const auto& c : cases) {
    int ran = 0;
    const std::function<void()> count = [&] { ++ran; };
    EXPECT_TRUE(c.first("verify", [&] {
      EXPECT_FALSE(c.second("verify", count)) << c.what;
      EXPECT_TRUE(c.second("publish", count)) << c.what << ": another task";
    }));
    EXPECT_EQ(ran, 1) << c.what;
    EXPECT_TRUE(c.second("verify", count)) << c.what << ": after the first";
    EXPECT_THROW(c.first("verify", [] { throw std::runtime_error("pass failed"); }), std::runtime_error);
    EXPECT_TRUE(c.second("verify", count)) << c.what << ": after work that threw";
    EXPECT_EQ(ran, 3) << c.what;
  }
}

TEST(PostgresStore, InstancesClaimEachDueDeliveryOnce) {
  PINMARK_NEED_POSTGRES(cluster);
  const std::string uri = cluster.NewDatabase();
  TPostgresStore one(uri), two(uri);
  const TServiceTime t = 1'800'000'000'000, lease = t + 60'000;
  // Alice's deliveries are due at t, t + 1, ...; bob's came first but his
  // webhook is paused; carol's is due later than now.
  const struct {
    const char* account;
    int deliveries;
    TServiceTime created;
  } accounts[] = {{"bob", 3, t - 10}, {"alice", 40, t}, {"carol", 1, t + 1000}};
  for (const auto& a : accounts) {
    ASSERT_TRUE(one.AddAccount(a.account, "h", 1));
    ASSERT_TRUE(one.SetWebhook(a.account, "https://hooks.example/x", "s"));
    const std::int64_t id = one.FindAccount(a.account)->Id;
    for (int i = 0; i < a.deliveries; ++i) ASSERT_TRUE(one.AddDelivery(id, "node.changed", "{}", a.created + i));
    if (a.created < t) one.DeliveryFailed(one.NextDelivery()->Id, a.created, "refused", t, /*pause=*/true);
  }

  std::vector<TDeliveryRecord> taken[2];
  const auto claimAll = [&](IServiceStore& store, std::vector<TDeliveryRecord>& records) {
    while (std::optional<TDeliveryRecord> d = store.ClaimDelivery(t + 100, lease)) records.push_back(std::move(*d));
  };
  std::thread other(claimAll, std::ref(two), std::ref(taken[1]));
  claimAll(one, taken[0]);
  other.join();
  std::set<std::int64_t> claimed;
  for (const auto& records : taken)
    for (const TDeliveryRecord& d : records) {
      EXPECT_TRUE(claimed.insert(d.Id).second) << "delivery " << d.Id << " handed out twice";
      EXPECT_EQ(d.Account, "alice");
      EXPECT_EQ(d.Due, d.Created) << "as it was before the lease";
      EXPECT_EQ(d.Webhook.Url, "https://hooks.example/x");
    }
  EXPECT_EQ(claimed.size(), 40u) << "each of alice's, none paused or not yet due";
  EXPECT_EQ(one.NextDelivery()->Due, t + 1000) << "carol's is next; the claimed are leased";
  EXPECT_EQ(two.ClaimDelivery(lease, lease + 1)->Due, t + 1000) << "...and taken over when the leases ran out";
}

// A fresh database with one of what a store shares, which keeps its store alive.
template <class T, class... Args>
std::shared_ptr<T> OnFreshDatabase(PostgresCluster& cluster, const Args&... args) {
  struct THeld {
    explicit THeld(const std::string& uri, const Args&... args) : store(uri), shared(store.Pool(), args...) {}
    TPostgresStore store;
    T shared;
  };
  auto held = std::make_shared<THeld>(cluster.NewDatabase(), args...);
  return std::shared_ptr<T>(held, &held->shared);
}

TEST(PostgresSessions, KeepTheSessionStoresContract) {
  PINMARK_NEED_POSTGRES(cluster);
  ExpectSessionStoreContract([&](std::size_t capacity, std::size_t perAccount) {
    return OnFreshDatabase<TPostgresSessions>(cluster, capacity, perAccount);
  });
}

TEST(PostgresFailureCounts, KeepTheFailureCountsContract) {
  PINMARK_NEED_POSTGRES(cluster);
  ExpectFailureCountsContract([&](const TFailureRule& rule) {
    return OnFreshDatabase<TPostgresFailureCounts>(cluster, std::string("address"), rule);
  });
}

// Blocked and Failing are asked on every check-in: only keys known to be
// failing may cost a query (any query would raise EWouldWait here).
TEST(PostgresFailureCounts, KeysNotKnownToBeFailingAreAnsweredFromMemory) {
  PINMARK_NEED_POSTGRES(cluster);
  TPostgresStore store(cluster.NewDatabase());
  TPostgresFailureCounts counts(store.Pool(), "address", {1, 60 * 1000, 100}, std::chrono::hours(1));
  constexpr TServiceTime t = 1'800'000'000'000;
  EXPECT_EQ(counts.Blocked("192.0.2.1", t), 0);
  counts.Failed("192.0.2.2", t);
  TNoWaitScope scope;
  EXPECT_EQ(counts.Blocked("192.0.2.1", t), 0);
  EXPECT_FALSE(counts.Failing("192.0.2.1", t));
  EXPECT_THROW(counts.Blocked("192.0.2.2", t), EWouldWait);
}

// Two instances of the service on one database.
TEST(PostgresStore, InstancesOnOneDatabaseShareSessionsFailuresAndTheVerificationKey) {
  PINMARK_NEED_POSTGRES(cluster);
  const std::string uri = cluster.NewDatabase();
  TPostgresStore one(uri), two(uri);
  const TServiceTime t = 1'800'000'000'000;

  EXPECT_EQ(one.SharedSessions(), one.SharedSessions());
  const std::string token = one.SharedSessions()->Begin({7, "alice", "hash", 1, 0, true}, t);
  const std::optional<TAccountRecord> found = two.SharedSessions()->Find(token, t + 1);
  ASSERT_TRUE(found) << "a sign-in on one is honoured by the other";
  EXPECT_EQ(found->Name, "alice");
  EXPECT_TRUE(found->KeysOnly);
  EXPECT_EQ(two.SharedSessions()->EndAll(7), 1u);
  EXPECT_FALSE(one.SharedSessions()->Find(token, t + 2)) << "ended on the other, ended here";
  // Sign-ins at once through both never leave an account more than its share.
  std::vector<std::thread> signIns;
  for (TPostgresStore* store : {&one, &two})
    signIns.emplace_back([store] {
      for (int i = 0; i < 10; ++i) store->SharedSessions()->Begin({8, "bob", "hash", 1, 0, false}, t + i);
    });
  for (std::thread& s : signIns) s.join();
  EXPECT_EQ(two.SharedSessions()->Size(), ISessionStore::PerAccount);

  const TFailureRule rule{40, 60 * 1000, 1000};
  IFailureCounts* address = one.SharedFailureCounts("address", rule);
  EXPECT_EQ(one.SharedFailureCounts("address", rule), address) << "one object per kind";
  IFailureCounts* there = two.SharedFailureCounts("address", rule);
  EXPECT_EQ(there->Blocked("192.0.2.1", t), 0);
  // Failures counted at once through both are all counted.
  std::vector<std::thread> guessers;
  for (IFailureCounts* counts : {address, there})
    guessers.emplace_back([counts] {
      for (int i = 0; i < 20; ++i) counts->Failed("192.0.2.1", t);
    });
  for (std::thread& g : guessers) g.join();
  EXPECT_EQ(address->Blocked("192.0.2.1", t), 60 * 1000) << "the instance that counted sees it at once";
  // The other learns it with its next refresh of what is failing.
  const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(30);
  while (there->Blocked("192.0.2.1", t) == 0 && std::chrono::steady_clock::now() < end)
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  EXPECT_EQ(there->Blocked("192.0.2.1", t), 60 * 1000);
  EXPECT_EQ(two.SharedFailureCounts("pair", rule)->Blocked("192.0.2.1", t), 0) << "kinds count apart";

  EXPECT_EQ(one.VerificationKey("first"), "first");
  EXPECT_EQ(two.VerificationKey("second"), "first");
  EXPECT_EQ(one.VerificationKey("third"), "first");
}

TEST(PostgresStore, ADatabaseOfANewerSchemaOrOfAnotherProgramIsRefusedAndLeftAsItIs) {
  PINMARK_NEED_POSTGRES(cluster);
  const struct {
    const char* sql;
    const char* message;
  } cases[] = {
      {"UPDATE pinmark_schema SET version = 99", "written by a newer pinmark-service (schema 99"},
      {"DROP TABLE pinmark_schema", "holds tables of another program"},
  };
  for (const auto& c : cases) {
    const std::string uri = cluster.NewDatabase();
    { TPostgresStore made(uri); }
    cluster.Sql(PostgresCluster::DatabaseOf(uri), c.sql);
    const std::string before = cluster.Sql(PostgresCluster::DatabaseOf(uri), "SELECT string_agg(tablename, ',' ORDER BY tablename)"
                                                            " FROM pg_tables WHERE schemaname = 'public'");
    try {
      TPostgresStore store(uri);
      ADD_FAILURE() << c.sql << ": opened";
    } catch (const EStoreError& e) {
      EXPECT_NE(e.Message().find(c.message), std::string::npos) << e.Message();
      EXPECT_NE(e.Message().find("left as it is"), std::string::npos) << e.Message();
      EXPECT_EQ(e.Message().find("postgresql://"), std::string::npos) << "no URI (it may hold a password)";
    }
    EXPECT_EQ(cluster.Sql(PostgresCluster::DatabaseOf(uri), "SELECT string_agg(tablename, ',' ORDER BY tablename)"
                                           " FROM pg_tables WHERE schemaname = 'public'"),
              before);
  }
}

TEST(PostgresStore, InstancesStartingTogetherMigrateOnce) {
  PINMARK_NEED_POSTGRES(cluster);
  const std::string uri = cluster.NewDatabase();
  std::atomic<int> opened{0};
  std::vector<std::thread> instances;
  for (int i = 0; i < 4; ++i)
    instances.emplace_back([&] {
      try {
        TPostgresStore store(uri, 1);
        ++opened;
      } catch (const EStoreError& e) {
        ADD_FAILURE() << e.Message();
      }
    });
  for (std::thread& t : instances) t.join();
  EXPECT_EQ(opened, 4);
  EXPECT_EQ(cluster.Sql(PostgresCluster::DatabaseOf(uri), "SELECT version FROM pinmark_schema"),
            std::to_string(TPostgresStore::SchemaVersion()));
}

// Retries call until it stops raising EStoreUnavailable (the pool waits a
// little longer after each failed connect); false when it never did.
template <class F>
bool Recovers(F call) {
  const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(30);
  while (std::chrono::steady_clock::now() < end) {
    try {
      call();
      return true;
    } catch (const EStoreUnavailable&) {
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
  }
  return false;
}

TEST(PostgresStore, AServerThatGoesAwayIsUnavailableUntilItIsBackAndNothingIsLost) {
  PINMARK_NEED_POSTGRES(cluster);
  const std::string uri = cluster.NewDatabase();
  TPostgresStore store(uri);
  ASSERT_TRUE(store.AddAccount("alice", "h", 1));
  const std::int64_t alice = store.FindAccount("alice")->Id;
  store.RecordCheckIn(alice, "box", "192.0.2.1", 1, 10);

  // Its backends killed: the next call on each connection fails, and a later one goes through.
  cluster.Sql(PostgresCluster::DatabaseOf(uri), "SELECT count(pg_terminate_backend(pid)) FROM pg_stat_activity WHERE datname = '" +
                                   PostgresCluster::DatabaseOf(uri) + "' AND pid <> pg_backend_pid()");
  EXPECT_THROW(store.RecordCheckIn(alice, "box", "192.0.2.2", 2, 10), EStoreUnavailable);
  ASSERT_TRUE(Recovers([&] { store.RecordCheckIn(alice, "box", "192.0.2.2", 3, 10); }));

  // The server stopped: every call fails at once, none waits long, and all work again once it is back.
  ASSERT_TRUE(cluster.Stop());
  const auto before = std::chrono::steady_clock::now();
  for (int i = 0; i < 20; ++i) EXPECT_THROW(store.RecordCheckIn(alice, "box", "192.0.2.3", 4, 10), EStoreUnavailable);
  EXPECT_THROW(store.Nodes(alice), EStoreUnavailable);
  EXPECT_LT(std::chrono::steady_clock::now() - before, std::chrono::seconds(5));
  ASSERT_TRUE(cluster.Start()) << cluster.Log();
  ASSERT_TRUE(Recovers([&] { store.RecordCheckIn(alice, "box", "192.0.2.4", 5, 10); }));
  const TNodeRecord box = store.Nodes(alice).at(0);
  EXPECT_EQ(box.CheckIns, 3) << "each answered check-in, and none that failed";
  EXPECT_EQ(box.Address, "192.0.2.4");
  EXPECT_EQ(box.History.size(), 2u);
}

TEST(PostgresStore, AThreadThatMustNotWaitIsSentElsewhereBeforeAnythingIsDone) {
  PINMARK_NEED_POSTGRES(cluster);
  TPostgresStore store(cluster.NewDatabase());
  TPostgresDnsQueueStore queue(store);
  ASSERT_TRUE(store.AddAccount("alice", "h", 1));
  {
    TNoWaitScope scope;
    EXPECT_THROW(store.RecordCheckIn(1, "box", "192.0.2.1", 1, 10), EWouldWait);
    EXPECT_THROW(store.FindAccount("alice"), EWouldWait);
    EXPECT_THROW(queue.Earliest(), EWouldWait);
    EXPECT_THROW(queue.Claim(1, 2), EWouldWait);
    EXPECT_THROW(store.RunAlone("pass", [] {}), EWouldWait);
    EXPECT_FALSE(scope.Group()) << "no commit group";
  }
  EXPECT_TRUE(store.Nodes(1).empty());
}

namespace {
// Sends each check-in (node, address, expected) through the store's pipe as one turn and waits for their outcomes.
struct TPiped {
  bool Taken = false;
  std::optional<TCheckInAs> Outcome;
};
std::vector<TPiped> Pipe(TPostgresStore& store, const TAccountRecord& expected,
                         const std::vector<std::pair<std::string, std::string>>& checkIns, TServiceTime now) {
  std::vector<TPiped> out(checkIns.size());
  ICheckInPipe& pipe = *store.CheckInPipe();
  for (std::size_t i = 0; i < checkIns.size(); ++i)
    out[i].Taken = pipe.Send(expected, checkIns[i].first, checkIns[i].second, now,
                             [&out, i](std::optional<TCheckInAs> as) { out[i].Outcome = std::move(as); });
  pipe.Drain();
  return out;
}
}  // namespace

TEST(PostgresCheckInPipe, ATurnIsOneTransactionAndTellsEachCheckInWhatBecameOfIt) {
  PINMARK_NEED_POSTGRES(cluster);
  TPostgresStore store(cluster.NewDatabase());
  ASSERT_TRUE(store.AddAccount("Alice", "h", 1));
  const TAccountRecord alice = *store.FindAccount("alice");
  store.RecordCheckIn(alice.Id, "box", "192.0.2.1", 1, 10);
  store.RecordCheckIn(alice.Id, "moved", "192.0.2.1", 1, 10);
  TAccountRecord stale = alice;
  stale.PasswordHash = "old";

  const std::vector<TPiped> turn =
      Pipe(store, alice, {{"moved", "192.0.2.9"}, {"BOX", "192.0.2.1"}, {"new", "192.0.2.1"}, {"box", "192.0.2.1"}}, 5);
  ASSERT_EQ(turn.size(), 4u);
  for (const TPiped& p : turn) {
    ASSERT_TRUE(p.Taken);
    ASSERT_TRUE(p.Outcome && p.Outcome->Account) << "each told the account as it is";
    EXPECT_TRUE(SameAccount(*p.Outcome->Account, alice));
  }
  EXPECT_FALSE(turn[0].Outcome->Record) << "a new address is no repeated check-in";
  EXPECT_FALSE(turn[2].Outcome->Record) << "nor a new node";
  ASSERT_TRUE(turn[1].Outcome->Record && turn[3].Outcome->Record);
  EXPECT_EQ(turn[1].Outcome->Record->Node.CheckIns, 2);
  EXPECT_EQ(turn[3].Outcome->Record->Node.CheckIns, 3) << "two check-ins of one node keep their order";
  EXPECT_EQ(turn[3].Outcome->Record->PreviousFamilyCheckIn, 5);

  const std::vector<TPiped> changed = Pipe(store, stale, {{"box", "192.0.2.1"}}, 6);
  ASSERT_TRUE(changed[0].Outcome && changed[0].Outcome->Account);
  EXPECT_FALSE(changed[0].Outcome->Record) << "a password changed since records nothing";
  EXPECT_EQ(changed[0].Outcome->Account->PasswordHash, "h");

  const std::vector<TNodeRecord> nodes = store.Nodes(alice.Id);
  ASSERT_EQ(nodes.size(), 2u);
  EXPECT_EQ(nodes[0].Name, "box");
  EXPECT_EQ(nodes[0].CheckIns, 3);
  EXPECT_EQ(nodes[1].Address, "192.0.2.1") << "nothing of a check-in that was not recorded";
  EXPECT_EQ(nodes[1].CheckIns, 1);
  auto& pipe = static_cast<TPostgresCheckInPipe&>(*store.CheckInPipe());
  EXPECT_EQ(pipe.Turns(), 2u);
  EXPECT_EQ(pipe.CheckIns(), 5u);
}

TEST(PostgresCheckInPipe, InstancesSendingOneNodesCheckInsInOppositeOrdersLoseNone) {
  PINMARK_NEED_POSTGRES(cluster);
  const std::string uri = cluster.NewDatabase();
  TPostgresStore one(uri), two(uri);
  ASSERT_TRUE(one.AddAccount("alice", "h", 1));
  const TAccountRecord alice = *one.FindAccount("alice");
  std::vector<std::pair<std::string, std::string>> nodes;
  for (int i = 0; i < 10; ++i) {
    nodes.push_back({"n" + std::to_string(i), "192.0.2.1"});
    one.RecordCheckIn(alice.Id, nodes.back().first, "192.0.2.1", 1, 20);
  }
  std::vector<std::pair<std::string, std::string>> reversed(nodes.rbegin(), nodes.rend());
  constexpr int kTurns = 40;
  std::atomic<int> recorded{0};
  auto run = [&](TPostgresStore& store, const std::vector<std::pair<std::string, std::string>>& order) {
    for (int t = 0; t < kTurns; ++t)
      for (const TPiped& p : Pipe(store, alice, order, 2 + t)) recorded += p.Outcome && p.Outcome->Record ? 1 : 0;
  };
  std::thread other([&] { run(two, reversed); });
  run(one, nodes);
  other.join();
  EXPECT_EQ(recorded.load(), 2 * kTurns * 10) << "each instance takes the rows in one order: no deadlock";
  std::int64_t total = 0;
  for (const TNodeRecord& node : one.Nodes(alice.Id)) total += node.CheckIns;
  EXPECT_EQ(total, 10 + 2 * kTurns * 10);
}

TEST(PostgresCheckInPipe, AConnectionLostLosesItsTurnAndAServerDownIsWaitedOutWithoutTakingAnything) {
  PINMARK_NEED_POSTGRES(cluster);
  const std::string uri = cluster.NewDatabase(), name = PostgresCluster::DatabaseOf(uri);
  TPostgresStore store(uri);
  ASSERT_TRUE(store.AddAccount("alice", "h", 1));
  const TAccountRecord alice = *store.FindAccount("alice");
  store.RecordCheckIn(alice.Id, "box", "192.0.2.1", 1, 10);
  ASSERT_TRUE(Pipe(store, alice, {{"box", "192.0.2.1"}}, 2)[0].Outcome->Record);

  cluster.Sql(name, "SELECT count(pg_terminate_backend(pid)) FROM pg_stat_activity WHERE datname = '" + name +
                        "' AND pid <> pg_backend_pid()");
  const TPiped lost = Pipe(store, alice, {{"box", "192.0.2.1"}}, 3)[0];
  EXPECT_TRUE(lost.Taken);
  EXPECT_FALSE(lost.Outcome) << "told lost, to be made the waiting way";
  const TPiped again = Pipe(store, alice, {{"box", "192.0.2.1"}}, 4)[0];
  ASSERT_TRUE(again.Outcome && again.Outcome->Record) << "a new connection for the next turn";

  ASSERT_TRUE(cluster.Stop());
  // Lost while the connection fails, then nothing is taken while the pipe waits to connect again.
  bool refused = false;
  for (int i = 0; i < 3 && !refused; ++i) {
    const TPiped p = Pipe(store, alice, {{"box", "192.0.2.1"}}, 5)[0];
    refused = !p.Taken;
    EXPECT_FALSE(p.Outcome);
  }
  EXPECT_TRUE(refused);
  ASSERT_TRUE(cluster.Start()) << cluster.Log();
  bool recorded = false;
  for (int i = 0; i < 300 && !recorded; ++i) {
    const TPiped p = Pipe(store, alice, {{"box", "192.0.2.1"}}, 7)[0];
    recorded = p.Outcome && p.Outcome->Record;
    if (!recorded) std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  EXPECT_TRUE(recorded);
  ASSERT_TRUE(Recovers([&] { EXPECT_GE(store.Nodes(alice.Id).at(0).CheckIns, 4); }));
}

// The core sends a check-in to the pipe only where CheckIn would record it
// at once: the password remembered for the account as last seen, and a
// caller no limit holds back. Anything else it leaves to CheckIn, and what
// changed in the database meanwhile the pipe hands back to CheckIn.
TEST(PostgresCheckInPipe, TheCoreSendsOnlyRememberedCheckInsOfCallersNoLimitHoldsBack) {
  PINMARK_NEED_POSTGRES(cluster);
  TPostgresStore store(cluster.NewDatabase());
  const std::string secret = DigestToHex(MD5OfString("secret")), guess = DigestToHex(MD5OfString("guess"));
  store.AddAccount("alice", TPasswordHash::Make(secret, 1000), 1);
  store.AddAccount("keys", TPasswordHash::Make(secret, 1000), 1);
  TServiceCore core(store);
  ASSERT_EQ(core.CheckIn("alice", secret, "box", "192.0.2.1", 10).Answer, TAnswer::Ok);
  ASSERT_EQ(core.CheckIn("keys", secret, "box", "192.0.2.1", 10).Answer, TAnswer::Ok);
  core.SetKeysOnly("keys", true);
  ASSERT_EQ(core.CheckIn("alice", guess, "box", "192.0.2.66", 11).Answer, TAnswer::BadAuth);

  struct TSentCase {
    const char *account, *digest, *node, *from;
    bool sent;
    const char* outcome;  // "ok", "again" (CheckIn makes it), or "" when not sent
  } cases[] = {
      {"alice", secret.c_str(), "box", "192.0.2.1", true, "ok"},
      {"ALICE", secret.c_str(), "box", "::ffff:192.0.2.1", true, "ok"},
      {"alice", secret.c_str(), "box", "192.0.2.2", true, "again"},  // a new address
      {"alice", secret.c_str(), "new", "192.0.2.1", true, "again"},  // a new node
      {"alice", guess.c_str(), "box", "192.0.2.1", false, ""},       // not the remembered password
      {"alice", secret.c_str(), "box", "192.0.2.66", false, ""},     // a caller that failed for alice
      {"keys", secret.c_str(), "box", "192.0.2.1", true, "again"},   // set to keys only since
      {"bob", secret.c_str(), "box", "192.0.2.1", false, ""},        // never seen
      {"alice", secret.c_str(), "bad\x01node", "192.0.2.1", false, ""},
  };
  for (const TSentCase& c : cases) {
    SCOPED_TRACE(std::string(c.account) + " " + c.node + " " + c.from);
    std::optional<std::optional<TCheckInResult>> told;
    EXPECT_EQ(core.SendCheckIn(c.account, c.digest, c.node, c.from, 20,
                               [&](std::optional<TCheckInResult> r) { told = std::move(r); }),
              c.sent);
    store.CheckInPipe()->Drain();
    ASSERT_EQ(told.has_value(), c.sent);
    if (!c.sent) continue;
    EXPECT_EQ(told->has_value(), std::string(c.outcome) == "ok");
    if (*told) {
      EXPECT_EQ((*told)->Address, "192.0.2.1");
    }
  }
  EXPECT_EQ(store.Nodes(store.FindAccount("alice")->Id).at(0).CheckIns, 3) << "the two sent and recorded";

  // A password changed on another instance: handed back, and CheckIn then refuses.
  store.SetPasswordHash("alice", TPasswordHash::Make(guess, 1000));
  std::optional<std::optional<TCheckInResult>> told;
  ASSERT_TRUE(core.SendCheckIn("alice", secret, "box", "192.0.2.1", 30, [&](auto r) { told = std::move(r); }));
  store.CheckInPipe()->Drain();
  ASSERT_TRUE(told);
  EXPECT_FALSE(*told);
  EXPECT_EQ(core.CheckIn("alice", secret, "box", "192.0.2.1", 30).Answer, TAnswer::BadAuth);
}
