// Moving an SQLite file into PostgreSQL: what goes in reads back through the
// PostgreSQL store as the SQLite store read it, and a target that is not
// empty or a source that is no database is refused with nothing changed.
#include "service/store/StoreMigration.h"

#include <gtest/gtest.h>

#include <fstream>
#include <sstream>

#include "service/core/NodeKey.h"
#include "service/store/PostgresDnsQueueStore.h"
#include "service/store/PostgresStore.h"
#include "service/store/SqliteDnsQueueStore.h"
#include "service/store/SqliteStore.h"
#include "tests/support/PostgresCluster.h"
#include "tests/support/TempDir.h"

namespace {
// Everything a store reads back, one line per record, ids included.
std::string Everything(IServiceStore& store) {
  std::ostringstream out;
  for (const TAccountRecord& a : store.Accounts()) {
    out << "account " << a.Id << " " << a.Name << " " << a.PasswordHash << " " << a.Created << " " << a.KeysOnly
        << " nodes " << a.Nodes << "\n";
    if (auto w = store.Webhook(a.Id))
      out << " webhook " << w->Url << " " << w->Secret << " " << w->FailingSince << " " << w->Paused << " "
          << w->LastError << "\n";
    for (const TNodeKeyRecord& k : store.NodeKeys(a.Id))
      out << " key " << k.Node << " " << k.KeyHash << " " << k.Made << "\n";
    for (const TNodeRecord& n : store.Nodes(a.Id)) {
      out << " node " << n.Id << " " << n.Name << " " << n.Address << " " << n.FirstCheckIn << "-" << n.LastCheckIn
          << " x" << n.CheckIns << " v4 " << n.IPv4.Address << "@" << n.IPv4.LastCheckIn << " v6 " << n.IPv6.Address
          << "@" << n.IPv6.LastCheckIn << " dns " << n.PublishedName << " " << n.DnsState << "\n";
      for (const THistoryEntry& h : n.History) out << "  " << h.Time << " " << h.From << ">" << h.To << "\n";
    }
  }
  if (auto d = store.NextDelivery())
    out << "delivery " << d->Id << " " << d->Account << " " << d->Event << " " << d->Body << " " << d->Created << " "
        << d->Due << " " << d->Attempts << "\n";
  return out.str();
}

std::string Queue(IDnsQueueStore& queue) {
  std::ostringstream out;
  out << "published to " << queue.PublishedTo() << "\n";
  for (const TDnsQueueEntry& e : queue.After("", TDnsRecordType::A, 100))
    out << e.Name << " " << (e.Type == TDnsRecordType::A ? "A " : "AAAA ") << e.Address << " v" << e.Version << " "
        << e.PublishedAddress << " " << static_cast<int>(e.State) << " " << e.Reason << " " << e.Since << " "
        << e.Attempts << " " << (e.Due ? std::to_string(*e.Due) : "-") << "\n";
  return out.str();
}
}  // namespace

TEST(StoreMigration, EverythingReadsBackThroughThePostgresStore) {
  PINMARK_NEED_POSTGRES(cluster);
  TempDir dir;
  const std::string file = dir.File("pinmark.db");
  std::string secret, key, before, queueBefore;
  std::int64_t aliceId = 0;
  {
    TSqliteStore sqlite(file);
    ASSERT_TRUE(sqlite.AddAccount("bob", "hash-b", 1000));  // made first, so ids differ from a fresh count
    ASSERT_TRUE(sqlite.AddAccount("Alice", "hash-a", 2000));
    ASSERT_TRUE(sqlite.RemoveAccount("bob"));
    ASSERT_TRUE(sqlite.AddAccount("carol", "hash-c", 3000));
    ASSERT_TRUE(sqlite.SetKeysOnly("carol", true));
    aliceId = sqlite.FindAccount("alice")->Id;
    // Both families, with changes of each in order, and a second node.
    for (const auto& [address, time] : std::vector<std::pair<std::string, TServiceTime>>{
             {"192.0.2.1", 10}, {"2001:db8::1", 11}, {"192.0.2.2", 12}, {"2001:db8::2", 13}, {"192.0.2.3", 14}})
      sqlite.RecordCheckIn(aliceId, "laptop", address, time, 10);
    const std::int64_t desk = sqlite.RecordCheckIn(aliceId, "desk", "198.51.100.7", 20, 10).Node.Id;
    ASSERT_TRUE(sqlite.SetNodeDns(desk, "desk.alice.zone.", ""));
    secret = sqlite.NodeKeySecret(TNodeKey::MakeSecret());
    key = TNodeKey::Make();
    ASSERT_TRUE(
        sqlite.SetNodeKey(aliceId, "laptop", TNodeKey::Hash(secret, aliceId, "laptop", TNodeKey::Digest(key)), 30));
    ASSERT_TRUE(sqlite.SetWebhook("alice", "https://hooks.example/a", "ab12"));
    ASSERT_TRUE(sqlite.AddDelivery(aliceId, "changed", "{\"x\":1}", 40));
    TSqliteDnsQueueStore queue(sqlite);
    queue.SetPublishedTo("127.0.0.1:53");
    TDnsQueueEntry entry;
    entry.Name = "desk.alice.zone.";
    entry.Address = "198.51.100.7";
    entry.Version = 3;
    entry.Reason = "refused";
    entry.State = TDnsState::Failing;
    entry.Due = 50;
    queue.Save(entry);
    entry.Name = "laptop.alice.zone.";
    entry.Due.reset();
    entry.State = TDnsState::Published;
    queue.Save(entry);
    before = Everything(sqlite);
    queueBefore = Queue(queue);
  }
  const std::string uri = cluster.NewDatabase();
  const TStoreMigrationCounts counts = TStoreMigration::Copy(file, uri);
  // The first IPv6 address counts as a change of that family: four history entries.
  EXPECT_EQ(std::to_string(counts.Accounts) + " " + std::to_string(counts.Nodes) + " " +
                std::to_string(counts.History) + " " + std::to_string(counts.NodeKeys) + " " +
                std::to_string(counts.Deliveries) + " " + std::to_string(counts.DnsQueue),
            "2 2 4 1 1 2");

  TPostgresStore postgres(uri);
  EXPECT_EQ(Everything(postgres), before);
  TPostgresDnsQueueStore queue(postgres);
  EXPECT_EQ(Queue(queue), queueBefore);
  // The old key verifies under the moved secret, and new rows continue after the moved ids.
  EXPECT_EQ(postgres.NodeKeySecret(TNodeKey::MakeSecret()), secret);
  const auto stored = postgres.FindNodeKey(aliceId, "LAPTOP");
  ASSERT_TRUE(stored);
  EXPECT_TRUE(TNodeKey::Verify(stored->KeyHash, secret, aliceId, "laptop", TNodeKey::Digest(key)));
  EXPECT_TRUE(postgres.AddAccount("dave", "hash-d", 4000));
  EXPECT_GT(postgres.FindAccount("dave")->Id, postgres.FindAccount("carol")->Id);
  const TCheckInRecord moved = postgres.RecordCheckIn(aliceId, "laptop", "192.0.2.9", 60, 10);
  EXPECT_EQ(moved.PreviousAddress, "192.0.2.3");
  EXPECT_EQ(postgres.RecordCheckIn(aliceId, "phone", "192.0.2.10", 61, 10).Outcome, TCheckInRecord::Recorded);
}

TEST(StoreMigration, RefusesATargetWithAccountsOrASourceThatIsNoDatabase) {
  PINMARK_NEED_POSTGRES(cluster);
  TempDir dir;
  const std::string good = dir.File("good.db"), garbage = dir.File("garbage.db"), empty = dir.File("empty.db");
  {
    TSqliteStore sqlite(good);
    sqlite.AddAccount("alice", "hash-a", 1);
  }
  std::ofstream(garbage) << std::string(8192, 'x');
  { TSqliteDatabase(empty, true).Exec("CREATE TABLE t(x)"); }
  const std::string taken = cluster.NewDatabase();
  {
    TPostgresStore target(taken);
    target.AddAccount("zed", "hash-z", 5);
  }
  const std::string fresh = cluster.NewDatabase();
  struct TCase {
    std::string from, to, problem;
  };
  for (const TCase& c : std::vector<TCase>{{good, taken, "has accounts already"},
                                           {garbage, fresh, "not a database"},
                                           {empty, fresh, "holds no service database"},
                                           {dir.File("absent.db"), fresh, "unable to open"}}) {
    SCOPED_TRACE(c.from);
    try {
      TStoreMigration::Copy(c.from, c.to);
      ADD_FAILURE() << "copied";
    } catch (const EStoreError& e) {
      EXPECT_NE(e.Message().find(c.problem), std::string::npos) << e.Message();
    }
  }
  TPostgresStore target(taken);
  ASSERT_EQ(target.Accounts().size(), 1u);
  EXPECT_EQ(target.Accounts()[0].Name, "zed");
  EXPECT_TRUE(TPostgresStore(fresh).Accounts().empty());
  // The source was only read.
  EXPECT_EQ(TSqliteStore(good).Accounts().size(), 1u);
}
