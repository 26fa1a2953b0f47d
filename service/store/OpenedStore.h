// The store --db names: a PostgreSQL database for a postgresql:// or
// postgres:// URI (any libpq URI, which several service instances may
// share), else an SQLite file; with the DNS update queue kept beside its
// nodes in the same database.
#pragma once

#include <memory>
#include <string>

#include "service/model/DnsQueueStore.h"
#include "service/model/ServiceStore.h"

class TSqliteStore;
class TPostgresStore;

struct TOpenedStore {
  std::unique_ptr<IServiceStore> Store;
  // What only one kind has (the file's checks and checkpoints; the server's
  // pool); the one that was opened, the other nullptr. They stay valid when
  // Store is handed on.
  TSqliteStore* Sqlite = nullptr;
  TPostgresStore* Postgres = nullptr;

  // The DNS update queue in the same database.
  std::unique_ptr<IDnsQueueStore> DnsQueue() const;
};

// True for a PostgreSQL URI.
bool IsDatabaseUri(const std::string& db);
// Opens db; an SQLite file is made when create and it is absent. Raises the
// store's exceptions.
TOpenedStore OpenDatabase(const std::string& db, bool create);
// What to try when the store cannot work right now, for an error message.
std::string UnavailableHint(const std::string& db);
