#include "service/store/OpenedStore.h"

#include "service/store/PostgresDnsQueueStore.h"
#include "service/store/PostgresStore.h"
#include "service/store/SqliteDnsQueueStore.h"
#include "service/store/SqliteStore.h"

std::unique_ptr<IDnsQueueStore> TOpenedStore::DnsQueue() const {
  if (Postgres) return std::make_unique<TPostgresDnsQueueStore>(*Postgres);
  return std::make_unique<TSqliteDnsQueueStore>(*Sqlite);
}

bool IsDatabaseUri(const std::string& db) { return TPostgresStore::IsUri(db); }

TOpenedStore OpenDatabase(const std::string& db, bool create) {
  TOpenedStore opened;
  if (IsDatabaseUri(db)) {
    auto postgres = std::make_unique<TPostgresStore>(db);
    opened.Postgres = postgres.get();
    opened.Store = std::move(postgres);
  } else {
    auto sqlite = std::make_unique<TSqliteStore>(db, create);
    opened.Sqlite = sqlite.get();
    opened.Store = std::move(sqlite);
  }
  return opened;
}

std::string UnavailableHint(const std::string& db) {
  return IsDatabaseUri(db) ? " (try again; is the database server up?)" : " (try again; is the file writable?)";
}
