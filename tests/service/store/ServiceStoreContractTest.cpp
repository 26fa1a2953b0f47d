// The store contract on the memory store and on the SQLite store (each on a
// file of its own in a fresh folder).
#include "tests/service/store/ServiceStoreContract.h"

#include "service/store/MemoryStore.h"
#include "service/store/SqliteStore.h"
#include "tests/support/TempDir.h"

namespace {
std::shared_ptr<IServiceStore> MakeSqlite() {
  struct TOwned {
    TempDir dir;
    TSqliteStore store{dir.File("service.db")};
  };
  auto owned = std::make_shared<TOwned>();
  return std::shared_ptr<IServiceStore>(owned, &owned->store);
}
}  // namespace

INSTANTIATE_TEST_SUITE_P(Stores, ServiceStoreContract,
                         ::testing::Values(TStoreFactory{"Memory", [] { return std::make_shared<TMemoryStore>(); }},
                                           TStoreFactory{"Sqlite", MakeSqlite}),
                         StoreName);
