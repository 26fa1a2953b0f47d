// The SQLite store on real files: what it keeps across openings, what it
// refuses to open (and leaves untouched), and a database another program
// holds locked; the DNS update queue kept in the same file.
#include "service/store/SqliteStore.h"

#include <gtest/gtest.h>
#include <sqlite3.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

#include "runtime/NoWaitScope.h"
#include "service/dns/DnsQueue.h"
#include "service/store/SqliteDnsQueueStore.h"
#include "tests/service/store/OtherConnection.h"
#include "tests/service/dns/DnsQueueStoreContract.h"
#include "tests/support/TempDir.h"

namespace {
const char kHash[] = "pbkdf2-sha256$1000$00$0000000000000000000000000000000000000000000000000000000000000000";

// Expects opening file to fail with a message holding what, and the file's bytes unchanged.
template <class E>
void ExpectRefused(const std::string& file, const std::string& what) {
  const std::string before = TempDir::Read(file);
  try {
    TSqliteStore store(file);
    ADD_FAILURE() << file << " was opened";
  } catch (const E& e) {
    EXPECT_NE(e.Message().find(what), std::string::npos) << e.Message();
    EXPECT_NE(e.Message().find("left as it is"), std::string::npos) << e.Message();
  }
  EXPECT_EQ(TempDir::Read(file), before);
}
}  // namespace

// What every store does is the store contract's (ServiceStoreContract.h);
// here, what is the file's own.
TEST(SqliteStore, AccountsNodesAndHistorySurviveReopeningAndGoWithTheirAccount) {
  TempDir dir;
  const std::string file = dir.File("service.db");
  std::int64_t alice = 0;
  {
    TSqliteStore store(file);
    ASSERT_TRUE(store.AddAccount("alice", kHash, 1000));
    alice = store.FindAccount("Alice")->Id;
    const TCheckInRecord first = store.RecordCheckIn(alice, "box", "10.0.0.1", 2000, 10);
    for (int i = 0; i < 105; ++i) store.RecordCheckIn(alice, "box", "10.0.1." + std::to_string(i), 4000 + i, 10);
    store.RecordCheckIn(alice, "pc", "10.0.0.9", 5000, 10);
    EXPECT_TRUE(store.SetNodeDns(first.Node.Id, "box.alice.dyn.example.org", "published"));
  }
  TSqliteStore store(file);
  EXPECT_FALSE(store.AddAccount("ALICE", kHash, 1000)) << "names compare without case after reopening too";
  const std::vector<TNodeRecord> nodes = store.Nodes(alice);
  ASSERT_EQ(nodes.size(), 2u);
  EXPECT_EQ(nodes[0].Address, "10.0.1.104");
  EXPECT_EQ(nodes[0].CheckIns, 106);
  EXPECT_EQ(nodes[0].PublishedName, "box.alice.dyn.example.org");
  ASSERT_EQ(nodes[0].History.size(), IServiceStore::HistoryKept);
  EXPECT_EQ(nodes[0].History.back().From, "10.0.1.4");
  EXPECT_EQ(OtherConnection(file).Int("SELECT count(*) FROM history"), 100);
  EXPECT_TRUE(store.RemoveNode(alice, nodes[0].Id));
  EXPECT_EQ(OtherConnection(file).Int("SELECT count(*) FROM history"), 0) << "the node's history went with it";
  store.RecordCheckIn(alice, "pc", "10.0.0.8", 6000, 10);
  EXPECT_TRUE(store.RemoveAccount("alice"));
  EXPECT_EQ(OtherConnection(file).Int("SELECT count(*) FROM history"), 0) << "the history went with its nodes";
}

TEST(SqliteStore, FilesThatAreNotItsOwnOrAreDamagedAreRefusedAndLeftAsTheyAre) {
  TempDir dir;
  const std::string junk = dir.File("junk.db");
  TempDir::Write(junk, std::string(8192, 'x'));
  ExpectRefused<EStoreCorrupt>(junk, "is not a pinmark-service database");

  const std::string foreign = dir.File("foreign.db");
  OtherConnection(foreign).Exec("CREATE TABLE photos(id INTEGER)");
  ExpectRefused<EStoreError>(foreign, "a database of another program");

  const std::string newer = dir.File("newer.db");
  { TSqliteStore store(newer); }
  OtherConnection(newer).Exec("PRAGMA user_version = 99");
  ExpectRefused<EStoreError>(newer, "written by a newer pinmark-service (schema 99");

  // A page of the nodes' table overwritten in the middle of a real store.
  const std::string damaged = dir.File("damaged.db");
  {
    TSqliteStore store(damaged);
    store.AddAccount("alice", kHash, 1);
    for (int i = 0; i < 300; ++i) store.RecordCheckIn(1, "node" + std::to_string(i), "10.0.0.1", 1, 1000);
  }
  OtherConnection(damaged).Exec("PRAGMA wal_checkpoint(TRUNCATE)");
  std::string bytes = TempDir::Read(damaged);
  ASSERT_GT(bytes.size(), 4u * 4096);
  for (std::size_t i = 3 * 4096; i < 4 * 4096; ++i) bytes[i] = static_cast<char>(i * 7);
  TempDir::Write(damaged, bytes);
  ExpectRefused<EStoreCorrupt>(damaged, "is damaged");
}

TEST(SqliteStore, AnEmptyFileIsMadeAStoreOfTheCurrentSchema) {
  TempDir dir;
  const std::string empty = dir.File("empty.db");
  TempDir::Write(empty, "");
  {
    TSqliteStore store(empty);
    EXPECT_TRUE(store.AddAccount("alice", kHash, 1));
  }
  OtherConnection other(empty);
  EXPECT_EQ(other.Int("PRAGMA user_version"), TSqliteStore::SchemaVersion());
  EXPECT_EQ(other.Int("PRAGMA application_id"), TSqliteStore::ApplicationId);
  EXPECT_EQ(other.Int("SELECT count(*) FROM accounts"), 1);
}

TEST(SqliteStore, ItOpensOnlyTheFileNamedAndMakesOneOnlyWhenAsked) {
  TempDir dir;
  const std::string file = dir.File("service.db");
  EXPECT_THROW(TSqliteStore(file, false), EStoreError);
  EXPECT_FALSE(std::filesystem::exists(file)) << "not asked to make one";

  { TSqliteStore store(file); }
  // A symbolic link is not followed, whether it leads to a store or nowhere.
  const std::string link = dir.File("link.db"), dangling = dir.File("dangling.db");
  ASSERT_EQ(::symlink(file.c_str(), link.c_str()), 0);
  ASSERT_EQ(::symlink(dir.File("nowhere.db").c_str(), dangling.c_str()), 0);
  EXPECT_THROW(TSqliteStore store(link), EStoreError);
  EXPECT_THROW(TSqliteStore store(dangling), EStoreError);
  EXPECT_FALSE(std::filesystem::exists(dir.File("nowhere.db")));
}

TEST(SqliteStore, ALockHeldByAnotherProgramMakesWritesUnavailableUntilItGoes) {
  TempDir dir;
  const std::string file = dir.File("service.db");
  TSqliteStore store(file);
  ASSERT_TRUE(store.AddAccount("alice", kHash, 1));
  store.RecordCheckIn(1, "box", "10.0.0.1", 1, 10);
  OtherConnection other(file);
  ASSERT_EQ(other.Exec("BEGIN IMMEDIATE"), SQLITE_OK);
  EXPECT_THROW(store.RecordCheckIn(1, "box", "10.0.0.2", 2, 10), EStoreUnavailable);
  EXPECT_EQ(store.Nodes(1).size(), 1u) << "reading goes on beside a writer";
  ASSERT_EQ(other.Exec("COMMIT"), SQLITE_OK);
  const TCheckInRecord r = store.RecordCheckIn(1, "box", "10.0.0.2", 3, 10);
  EXPECT_TRUE(r.AddressChanged);
  EXPECT_EQ(store.Nodes(1)[0].History.size(), 1u) << "the refused check-in left nothing behind";
}

TEST(SqliteStore, CheckInsOfAThreadThatMustNotWaitShareOneCommitAndNeverWaitForAnotherProgram) {
  TempDir dir;
  const std::string file = dir.File("service.db");
  TSqliteStore store(file);
  ASSERT_TRUE(store.AddAccount("alice", kHash, 1));
  OtherConnection other(file);
  const auto checkIns = [&] { return other.Int("SELECT coalesce(sum(check_ins), 0) FROM nodes"); };
  std::vector<bool> told;
  const auto record = [&](const char* node, const char* address) {
    TNoWaitScope scope;
    store.RecordCheckIn(1, node, address, 2, 10);
    EXPECT_TRUE(scope.Group());
    scope.Group()->WhenEnded([&](bool committed) { told.push_back(committed); });
  };
  // Two check-ins, one group: nobody else sees them until it ends.
  record("box", "10.0.0.1");
  record("nas", "10.0.0.2");
  EXPECT_EQ(checkIns(), 0);
  EXPECT_TRUE(told.empty());
  store.EndGroup();
  EXPECT_EQ(told, (std::vector<bool>{true, true}));
  EXPECT_EQ(checkIns(), 2);
  // Anything else done with the store first ends the open group.
  record("box", "10.0.0.1");
  EXPECT_EQ(store.Nodes(1).size(), 2u);
  EXPECT_EQ(told.size(), 3u);
  EXPECT_EQ(checkIns(), 3);
  // Another program writing: the check-in is to be written where waiting is allowed, and nothing was.
  ASSERT_EQ(other.Exec("BEGIN IMMEDIATE"), SQLITE_OK);
  EXPECT_THROW(record("box", "10.0.0.9"), EWouldWait);
  ASSERT_EQ(other.Exec("COMMIT"), SQLITE_OK);
  store.EndGroup();
  EXPECT_EQ(checkIns(), 3);
  EXPECT_EQ(store.Nodes(1)[0].Address, "10.0.0.1");
}

TEST(SqliteStore, TheLogIsCheckpointedOnAThreadOfItsOwn) {
  TempDir dir;
  const std::string file = dir.File("service.db");
  TSqliteStore store(file);
  store.AddAccount("alice", kHash, 1);
  TSqliteCheckpointer checkpointer(file, 4);
  store.WithDatabase([&](TSqliteDatabase& db) { checkpointer.Watch(db.Handle()); });
  for (int i = 0; i < 50; ++i) store.RecordCheckIn(1, "box" + std::to_string(i), "10.0.0.1", i, 100);
  for (int i = 0; i < 1000 && checkpointer.Done() == 0; ++i) std::this_thread::sleep_for(std::chrono::milliseconds(10));
  EXPECT_GT(checkpointer.Done(), 0) << "the log was copied into the database";
  EXPECT_EQ(store.Nodes(1).size(), 50u);
  // And, while check-ins keep coming, started again from its beginning
  // rather than growing with every one of them.
  const auto frames = [&] {
    sqlite3* other = nullptr;
    int log = -1;
    if (sqlite3_open(file.c_str(), &other) == SQLITE_OK &&
        sqlite3_exec(other, "PRAGMA schema_version", nullptr, nullptr, nullptr) == SQLITE_OK)
      sqlite3_wal_checkpoint_v2(other, nullptr, SQLITE_CHECKPOINT_PASSIVE, &log, nullptr);
    sqlite3_close(other);
    return log;
  };
  for (int i = 0; i < 1000 && frames() >= 50; ++i) {
    store.RecordCheckIn(1, "box0", "10.0.0.1", 100 + i, 100);
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  EXPECT_LT(frames(), 50);
}

TEST(SqliteStore, WorkQueuedInACheckInsTransactionCommitsWithItOrUndoesIt) {
  TempDir dir;
  TSqliteStore store(dir.File("service.db"));
  store.AddAccount("alice", kHash, 1);
  store.WithDatabase([](TSqliteDatabase& db) { db.Exec("CREATE TABLE queue(address TEXT)"); });
  int calls = 0;
  store.InCheckInTransaction = [&](TSqliteDatabase& db, const TCheckInRecord& r) {
    ++calls;
    db.Prepare("INSERT INTO queue VALUES(?1)").Bind(1, r.Node.Address).Run();
    if (r.Node.Address == "10.0.0.3") throw EStoreUnavailable("the queue is full");
  };
  store.RecordCheckIn(1, "box", "10.0.0.1", 1, 10);
  store.RecordCheckIn(1, "box", "10.0.0.1", 2, 10);
  store.RecordCheckIn(1, "box", "10.0.0.2", 3, 10);
  EXPECT_THROW(store.RecordCheckIn(1, "box", "10.0.0.3", 4, 10), EStoreUnavailable);
  EXPECT_EQ(calls, 3) << "first check-in and each change, not the repeat";
  EXPECT_EQ(store.WithDatabase([](TSqliteDatabase& db) { return db.QueryInt("SELECT count(*) FROM queue"); }), 2);
  const TNodeRecord box = store.Nodes(1)[0];
  EXPECT_EQ(box.Address, "10.0.0.2");
  EXPECT_EQ(box.CheckIns, 3);
}

TEST(SqliteDnsQueueStore, KeepsTheQueuesContractAndItsEntriesAcrossReopening) {
  TempDir dir;
  const std::string file = dir.File("service.db");
  TDnsQueueEntry entry;
  {
    TSqliteStore store(file);
    TSqliteDnsQueueStore queue(store);
    ExpectDnsQueueStoreContract(queue);
    entry = *queue.Find("a.b.zone.", TDnsRecordType::AAAA);
    entry.Due = 42;
    queue.Save(entry);
  }
  TSqliteStore store(file);
  TSqliteDnsQueueStore queue(store);
  const std::optional<TDnsQueueEntry> back = queue.Earliest();
  ASSERT_TRUE(back);
  EXPECT_EQ(back->Name, entry.Name);
  EXPECT_EQ(back->Reason, entry.Reason);
  EXPECT_EQ(back->Due, entry.Due) << "what was due when the service stopped is due after it starts";

  TSqliteStore walkedStore(dir.File("walked.db"));
  TSqliteDnsQueueStore walked(walkedStore);
  ExpectDnsQueueStoreWalk(walked);
  TSqliteStore waitingStore(dir.File("waiting.db"));
  TSqliteDnsQueueStore waiting(waitingStore);
  ExpectDnsQueueStoreBacklog(waiting);
  TSqliteStore steppedStore(dir.File("stepped.db"));
  TSqliteDnsQueueStore stepped(steppedStore);
  ExpectDnsQueueStoreSteps(stepped);
  // The service and an account command each with its own connection.
  TSqliteStore oneStore(dir.File("shared.db")), twoStore(dir.File("shared.db"));
  TSqliteDnsQueueStore one(oneStore), two(twoStore);
  ExpectDnsQueueStoreClaimsEachOnce(one, two);
}

TEST(SqliteDnsQueueStore, ADatabaseFromBeforeTheQueueGetsItAndKeepsItsNodes) {
  TempDir dir;
  const std::string file = dir.File("service.db");
  {
    TSqliteStore store(file);
    store.AddAccount("alice", kHash, 1);
    store.RecordCheckIn(1, "box", "10.0.0.1", 1, 10);
  }
  {
    // As the service's first schema left it.
    OtherConnection old(file);
    ASSERT_EQ(old.Exec("DROP TABLE dns_queue; DROP INDEX history_by_family; ALTER TABLE history DROP COLUMN family;"
                       "ALTER TABLE nodes DROP COLUMN ipv4_address; ALTER TABLE nodes DROP COLUMN ipv4_check_in;"
                       "ALTER TABLE nodes DROP COLUMN ipv6_address; ALTER TABLE nodes DROP COLUMN ipv6_check_in;"
                       "DROP TABLE deliveries; DROP TABLE stale_told; ALTER TABLE accounts DROP COLUMN webhook_url;"
                       "ALTER TABLE accounts DROP COLUMN webhook_secret; ALTER TABLE accounts DROP COLUMN webhook_paused;"
                       "ALTER TABLE accounts DROP COLUMN webhook_failing_since; ALTER TABLE accounts DROP COLUMN webhook_error;"
                       "DROP TABLE node_keys; DROP TABLE node_key_secret; ALTER TABLE accounts DROP COLUMN keys_only;"
                       "DROP TABLE verification_key;"
                       "PRAGMA user_version = 1"),
              SQLITE_OK);
  }
  TSqliteStore store(file);
  EXPECT_EQ(store.Nodes(1).at(0).Address, "10.0.0.1");
  TSqliteDnsQueueStore queue(store);
  TDnsQueue rules(queue);
  EXPECT_TRUE(rules.Enqueue("box.alice.zone.", "10.0.0.1", 0));
  EXPECT_EQ(OtherConnection(file).Int("PRAGMA user_version"), TSqliteStore::SchemaVersion());
}

TEST(SqliteDnsQueueStore, AFileLockedByAnotherProgramRefusesTheQueuesWritesAndLosesNothing) {
  TempDir dir;
  const std::string file = dir.File("service.db");
  TSqliteStore store(file);
  TSqliteDnsQueueStore queueStore(store);
  TDnsQueue queue(queueStore, {}, [](TLogPriority, const std::string&) {});
  const TServiceTime now = 1000;
  ASSERT_TRUE(queue.Enqueue("box.alice.zone.", "10.0.0.1", now));
  OtherConnection other(file);
  ASSERT_EQ(other.Exec("BEGIN IMMEDIATE"), SQLITE_OK);
  EXPECT_THROW(queue.Enqueue("box.alice.zone.", "10.0.0.2", now), EStoreUnavailable);
  EXPECT_THROW(queue.TakeDue(now), EStoreUnavailable);
  ASSERT_EQ(other.Exec("COMMIT"), SQLITE_OK);
  const std::optional<TDnsJob> job = queue.TakeDue(now);
  ASSERT_TRUE(job) << "the refused take left the name free";
  EXPECT_EQ(job->Address, "10.0.0.1");
  // The newer address comes again while the older is on its way.
  EXPECT_FALSE(queue.Enqueue("box.alice.zone.", "10.0.0.2", now)) << "in flight: no wake-up";
  queue.Finish(*job, {TDnsOutcome::Done, ""}, now);
  EXPECT_EQ(queue.StateOf("box.alice.zone.").at(0).Address, "10.0.0.2");
  EXPECT_EQ(queue.StateOf("box.alice.zone.").at(0).State, TDnsState::Pending) << "the newer address is still to send";
}

TEST(SqliteDnsQueueStore, ARowNoQueueCouldHaveWrittenIsRefusedByTheFile) {
  TempDir dir;
  const std::string file = dir.File("service.db");
  TSqliteStore store(file);
  EXPECT_NE(OtherConnection(file).Exec("INSERT INTO dns_queue VALUES('a.zone.', 'MX', '10.0.0.1', 1, '', 'pending',"
                                       " '', 0, 0, 0)"),
            SQLITE_OK);
  EXPECT_NE(OtherConnection(file).Exec("INSERT INTO dns_queue VALUES('a.zone.', 'A', '10.0.0.1', 1, '', 'lost',"
                                       " '', 0, 0, 0)"),
            SQLITE_OK);
  EXPECT_FALSE(TSqliteDnsQueueStore(store).Earliest());
}

TEST(SqliteStore, ADatabaseWithOneAddressPerNodeGivesEachAddressAndChangeToItsFamily) {
  TempDir dir;
  const std::string file = dir.File("service.db");
  {
    // A file as the service wrote it while a node had one address: its
    // tables as they were made then, and a node of each family.
    OtherConnection old(file);
    ASSERT_EQ(old.Exec("CREATE TABLE accounts(id INTEGER PRIMARY KEY, name TEXT NOT NULL UNIQUE COLLATE NOCASE,"
                       "  password_hash TEXT NOT NULL, created INTEGER NOT NULL);"
                       "CREATE TABLE nodes(id INTEGER PRIMARY KEY,"
                       "  account_id INTEGER NOT NULL REFERENCES accounts(id) ON DELETE CASCADE,"
                       "  name TEXT NOT NULL COLLATE NOCASE, address TEXT NOT NULL, first_check_in INTEGER NOT NULL,"
                       "  last_check_in INTEGER NOT NULL, check_ins INTEGER NOT NULL,"
                       "  published_name TEXT NOT NULL DEFAULT '', dns_state TEXT NOT NULL DEFAULT '',"
                       "  UNIQUE(account_id, name));"
                       "CREATE TABLE history(id INTEGER PRIMARY KEY,"
                       "  node_id INTEGER NOT NULL REFERENCES nodes(id) ON DELETE CASCADE,"
                       "  time INTEGER NOT NULL, old_address TEXT NOT NULL, new_address TEXT NOT NULL);"
                       "CREATE INDEX history_by_node ON history(node_id, id);"
                       "CREATE TABLE dns_queue(name TEXT NOT NULL, type TEXT NOT NULL CHECK(type IN ('A', 'AAAA')),"
                       "  address TEXT NOT NULL, version INTEGER NOT NULL, published_address TEXT NOT NULL,"
                       "  state TEXT NOT NULL CHECK(state IN ('published', 'pending', 'failing')),"
                       "  reason TEXT NOT NULL, since_ms INTEGER NOT NULL, attempts INTEGER NOT NULL, due_ms INTEGER,"
                       "  PRIMARY KEY(name, type)) WITHOUT ROWID;"
                       "CREATE INDEX dns_queue_by_due ON dns_queue(due_ms) WHERE due_ms IS NOT NULL;"
                       "PRAGMA application_id = 1349349995; PRAGMA user_version = 2;"
                       "INSERT INTO accounts VALUES(1, 'alice', 'h', 1);"
                       "INSERT INTO nodes VALUES(1, 1, 'box', '2001:db8::2', 10, 40, 4, 'box.alice.zone.', '');"
                       "INSERT INTO nodes VALUES(2, 1, 'pc', '10.0.0.1', 10, 50, 1, '', '');"
                       "INSERT INTO history VALUES(1, 1, 20, '10.0.0.1', '10.0.0.2');"
                       "INSERT INTO history VALUES(2, 1, 30, '10.0.0.2', '2001:db8::1');"
                       "INSERT INTO history VALUES(3, 1, 40, '2001:db8::1', '2001:db8::2');"),
              SQLITE_OK);
  }
  TSqliteStore store(file);
  EXPECT_EQ(OtherConnection(file).Int("PRAGMA user_version"), TSqliteStore::SchemaVersion());
  std::vector<TNodeRecord> nodes = store.Nodes(1);
  ASSERT_EQ(nodes.size(), 2u);
  const TNodeRecord& box = nodes[0];
  EXPECT_EQ(box.Address, "2001:db8::2") << "what the address meant, it still means";
  EXPECT_EQ(box.LastCheckIn, 40);
  EXPECT_EQ(box.IPv6.Address, "2001:db8::2");
  EXPECT_EQ(box.IPv6.LastCheckIn, 40);
  EXPECT_EQ(box.IPv4.Address, "") << "when its IPv4 address was last seen is not known";
  EXPECT_EQ(box.PublishedName, "box.alice.zone.");
  ASSERT_EQ(box.History.size(), 3u);
  EXPECT_EQ(box.History[0].Family, TAddressFamily::IPv6);
  EXPECT_EQ(box.History[1].Family, TAddressFamily::IPv6);
  EXPECT_EQ(box.History[1].From, "") << "a move from IPv4 was the first IPv6 address";
  EXPECT_EQ(box.History[1].To, "2001:db8::1");
  EXPECT_EQ(box.History[2].Family, TAddressFamily::IPv4);
  EXPECT_EQ(box.History[2].From, "10.0.0.1");
  EXPECT_EQ(nodes[1].IPv4.Address, "10.0.0.1");
  EXPECT_EQ(nodes[1].IPv4.LastCheckIn, 50);

  // From here on each family changes alone and keeps its own history.
  const TCheckInRecord v4 = store.RecordCheckIn(1, "box", "10.0.0.3", 60, 10);
  EXPECT_TRUE(v4.AddressChanged) << "IPv4 is new to this node";
  EXPECT_EQ(v4.PreviousAddress, "");
  EXPECT_EQ(v4.Node.IPv6.Address, "2001:db8::2");
  for (int i = 0; i < 105; ++i) store.RecordCheckIn(1, "box", "10.0.1." + std::to_string(i), 100 + i, 10);
  const TCheckInRecord v6 = store.RecordCheckIn(1, "box", "2001:db8::2", 300, 10);
  EXPECT_FALSE(v6.AddressChanged);
  EXPECT_EQ(v6.PreviousFamilyCheckIn, 40);
  nodes = store.Nodes(1);
  std::size_t ipv4 = 0, ipv6 = 0;
  for (const THistoryEntry& e : nodes[0].History) ++(e.Family == TAddressFamily::IPv4 ? ipv4 : ipv6);
  EXPECT_EQ(ipv4, IServiceStore::HistoryKept) << "IPv4's changes drop only IPv4's oldest";
  EXPECT_EQ(ipv6, 2u);
  EXPECT_EQ(nodes[0].IPv4.Address, "10.0.1.104");
  EXPECT_EQ(nodes[0].IPv6.LastCheckIn, 300);
  EXPECT_EQ(nodes[0].Address, "2001:db8::2");
}

TEST(SqliteStore, TheVerificationKeyIsTheFirstCandidateOfAllForEveryProcessOnTheFile) {
  TempDir dir;
  const std::string file = dir.File("service.db");
  {
    TSqliteStore first(file), second(file, false);
    EXPECT_EQ(first.VerificationKey("key-1"), "key-1");
    EXPECT_EQ(second.VerificationKey("key-2"), "key-1");
    EXPECT_EQ(second.NodeKeySecret("secret"), "secret") << "a secret of its own";
  }
  EXPECT_EQ(TSqliteStore(file, false).VerificationKey("key-3"), "key-1");
}
