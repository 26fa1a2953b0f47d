// Sign-in sessions of the web page. A session is a random token of 32 bytes
// (64 hex digits) that the browser keeps in a cookie; the table keeps only a
// SHA-256 of each token, so what it holds could not be replayed as a cookie.
// A session ends Lifetime after it began, on sign-out, or when the table is
// full and it is the oldest. Time is passed in. Safe to call from several
// threads.
#pragma once

#include <cstddef>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>

#include "service/store/ServiceStore.h"

class TSessions {
 public:
  static constexpr TServiceTime Lifetime = 60 * 60 * 1000;
  static constexpr std::size_t Capacity = 10000;

  // A new session for the account; answers its token.
  std::string Begin(const TAccountRecord& account, TServiceTime now);
  // The account of a live session, or nothing.
  std::optional<TAccountRecord> Find(std::string_view token, TServiceTime now);
  void End(std::string_view token);
  std::size_t Size();

 private:
  static std::string Key(std::string_view token);
  struct TSession {
    TAccountRecord Account;
    TServiceTime Expires = 0;
  };
  std::mutex lock_;
  std::map<std::string, TSession> sessions_;
};
