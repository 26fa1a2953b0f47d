// Sign-in sessions of the web page. A session is a random token of 32 bytes
// (64 hex digits) that the browser keeps in a cookie; the table keeps only a
// SHA-256 of each token, so what it holds could not be replayed as a cookie.
// A session ends Lifetime after it began, on sign-out, when its account
// begins its PerAccount+1st session (the account's oldest goes), or when the
// table is full: then an oldest session of an account holding the most goes.
// So one account's sign-ins never sign another account out. Time is passed
// in. Safe to call from several threads.
#pragma once

#include <cstddef>
#include <cstdint>
#include <deque>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>

#include "service/model/ServiceStore.h"

class TSessions {
 public:
  static constexpr TServiceTime Lifetime = 60 * 60 * 1000;
  static constexpr std::size_t Capacity = 10000;
  static constexpr std::size_t PerAccount = 5;

  explicit TSessions(std::size_t capacity = Capacity, std::size_t perAccount = PerAccount);

  // A new session for the account; answers its token.
  std::string Begin(const TAccountRecord& account, TServiceTime now);
  // The account of a live session, or nothing.
  std::optional<TAccountRecord> Find(std::string_view token, TServiceTime now);
  void End(std::string_view token);
  // Ends every session of the account (a password changed, the account
  // gone, its owner signing out everywhere); answers how many there were.
  std::size_t EndAll(std::int64_t accountId);
  std::size_t Size();

 private:
  static std::string Key(std::string_view token);
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
