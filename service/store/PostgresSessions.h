// The web page's sign-in sessions in a PostgreSQL database that several
// instances of the service share (table sessions), under the rules of every
// session store (service/model/SessionStore.h): a sign-in on one instance is
// found by the others, and EndAll on one ends the account's sessions on all.
//
// Only a SHA-256 of each token is stored, with the account as it was at
// sign-in. Each call is one transaction; Begin takes a transaction advisory
// lock (BeginLock) so that instances signing in at once cannot both see room
// and overfill an account or the table. Sign-ins are rare, so serialising
// them costs nothing a user would notice.
#pragma once

#include <cstddef>
#include <cstdint>

#include "service/model/SessionStore.h"
#include "service/store/PostgresConnection.h"

class TPostgresSessions : public ISessionStore {
 public:
  // pg_advisory_xact_lock's key while beginning a session: "PmSn".
  static constexpr std::int64_t BeginLock = 0x506d536e;

  explicit TPostgresSessions(TPostgresPool& pool, std::size_t capacity = Capacity,
                             std::size_t perAccount = PerAccount);

  std::string Begin(const TAccountRecord& account, TServiceTime now) override;
  std::optional<TAccountRecord> Find(std::string_view token, TServiceTime now) override;
  void End(std::string_view token) override;
  std::size_t EndAll(std::int64_t accountId) override;
  std::size_t Size() override;

 private:
  TPostgresPool::TLease Take();

  TPostgresPool& pool_;
  const std::size_t capacity_, perAccount_;
};
