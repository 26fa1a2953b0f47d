#include "service/store/PostgresSessions.h"

#include <openssl/evp.h>
#include <openssl/rand.h>

#include <algorithm>

#include "runtime/NoWaitScope.h"
#include "runtime/SysUtils.h"

namespace {
std::string NewToken() {
  unsigned char random[ISessionStore::TokenDigits / 2];
  if (RAND_bytes(random, sizeof random) != 1) throw EStoreError("OpenSSL could not draw a session token");
  return BytesToHex(std::string_view(reinterpret_cast<const char*>(random), sizeof random));
}

// What the table keeps of a token: its SHA-256, in hex.
std::string KeyOf(std::string_view token) {
  unsigned char digest[EVP_MAX_MD_SIZE];
  unsigned int size = 0;
  if (EVP_Digest(token.data(), token.size(), digest, &size, EVP_sha256(), nullptr) != 1)
    throw EStoreError("OpenSSL could not hash a session token");
  return BytesToHex(std::string_view(reinterpret_cast<const char*>(digest), size));
}
}  // namespace

TPostgresSessions::TPostgresSessions(TPostgresPool& pool, std::size_t capacity, std::size_t perAccount)
    : pool_(pool), capacity_(std::max<std::size_t>(1, capacity)), perAccount_(std::max<std::size_t>(1, perAccount)) {}

TPostgresPool::TLease TPostgresSessions::Take() {
  TNoWaitScope::MayWait("a PostgreSQL query");
  return pool_.Take();
}

std::string TPostgresSessions::Begin(const TAccountRecord& account, TServiceTime now) {
  const std::string token = NewToken();
  auto c = Take();
  TPostgresTransaction t(*c);
  c->Run("SELECT pg_advisory_xact_lock($1)", TPostgresParams(BeginLock));
  // The account's oldest go, so that with this one it holds perAccount.
  c->Run("DELETE FROM sessions WHERE account_id = $1 AND seq NOT IN"
         " (SELECT seq FROM sessions WHERE account_id = $1 ORDER BY seq DESC LIMIT $2)",
         TPostgresParams(account.Id, perAccount_ - 1));
  if (static_cast<std::size_t>(c->Run("SELECT count(*) FROM sessions").Int(0, 0)) >= capacity_) {
    c->Run("DELETE FROM sessions WHERE expires <= $1", TPostgresParams(now));
    // Still full: the oldest sessions of the accounts holding the most go,
    // one at a time, as many as it takes to make room for one.
    std::int64_t over = c->Run("SELECT count(*) FROM sessions").Int(0, 0) - static_cast<std::int64_t>(capacity_) + 1;
    for (; over > 0; --over)
      c->Run("DELETE FROM sessions WHERE seq = (SELECT min(seq) FROM sessions WHERE account_id ="
             " (SELECT account_id FROM sessions GROUP BY account_id ORDER BY count(*) DESC, account_id LIMIT 1))");
  }
  c->Run("INSERT INTO sessions(key, account_id, account_name, password_hash, created, keys_only, expires)"
         " VALUES($1, $2, $3, $4, $5, $6, $7)",
         TPostgresParams(KeyOf(token), account.Id, account.Name, account.PasswordHash, account.Created,
                         account.KeysOnly, now + Lifetime));
  t.Commit();
  return token;
}

std::optional<TAccountRecord> TPostgresSessions::Find(std::string_view token, TServiceTime now) {
  if (token.size() != TokenDigits) return std::nullopt;
  const std::string key = KeyOf(token);
  auto c = Take();
  const TPostgresResult r = c->Run(
      "SELECT account_id, account_name, password_hash, created, keys_only, expires FROM sessions WHERE key = $1",
      TPostgresParams(key));
  if (r.Rows() == 0) return std::nullopt;
  if (r.Int(0, 5) <= now) {
    c->Run("DELETE FROM sessions WHERE key = $1 AND expires <= $2", TPostgresParams(key, now));
    return std::nullopt;
  }
  return TAccountRecord{r.Int(0, 0), r.Text(0, 1), r.Text(0, 2), r.Int(0, 3), 0, r.Bool(0, 4)};
}

void TPostgresSessions::End(std::string_view token) {
  const std::string key = KeyOf(token);
  auto c = Take();
  c->Run("DELETE FROM sessions WHERE key = $1", TPostgresParams(key));
}

std::size_t TPostgresSessions::EndAll(std::int64_t accountId) {
  auto c = Take();
  return static_cast<std::size_t>(
      c->Run("DELETE FROM sessions WHERE account_id = $1", TPostgresParams(accountId)).Changed());
}

std::size_t TPostgresSessions::Size() {
  auto c = Take();
  return static_cast<std::size_t>(c->Run("SELECT count(*) FROM sessions").Int(0, 0));
}
