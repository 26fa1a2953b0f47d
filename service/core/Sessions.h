// The web page's sign-in sessions kept in this process's memory, under the
// rules of every session store (service/model/SessionStore.h): hashed
// tokens, a Lifetime, PerAccount sessions per account and a Capacity that
// takes from the accounts holding the most. Each instance of the service
// has its own unless its store shares them.
#pragma once

#include <cstddef>
#include <cstdint>
#include <deque>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>

#include "service/model/SessionStore.h"

class TSessions : public ISessionStore {
 public:
  explicit TSessions(std::size_t capacity = Capacity, std::size_t perAccount = PerAccount);

  std::string Begin(const TAccountRecord& account, TServiceTime now) override;
  std::optional<TAccountRecord> Find(std::string_view token, TServiceTime now) override;
  void End(std::string_view token) override;
  std::size_t EndAll(std::int64_t accountId) override;
  std::size_t Size() override;

  // A new random token, and what a store keeps of one (its SHA-256).
  static std::string NewToken();
  static std::string Key(std::string_view token);

 private:
  struct TSession {
    TAccountRecord Account;
    TServiceTime Expires = 0;
  };
  using TTable = std::map<std::string, TSession>;
  void Drop(TTable::iterator it);

  std::size_t capacity_, perAccount_;
  std::mutex lock_;
  TTable sessions_;
  // Each account's sessions (keys of sessions_), oldest first.
  std::map<std::int64_t, std::deque<std::string>> byAccount_;
};
