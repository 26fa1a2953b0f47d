// Where the web page's sign-in sessions are kept: in the process
// (TSessions), or in a database that several instances of the service
// share, so that a sign-in on one is honoured by the others and ending an
// account's sessions ends them on all.
//
// Rules every session store keeps:
// - A session is a random token of 32 bytes (64 hex digits) that the browser
//   keeps in a cookie. The store keeps only a SHA-256 of each token, so what
//   it holds could not be replayed as a cookie; a token of another length is
//   never found.
// - A session ends Lifetime after it began, on End, on EndAll of its
//   account, when its account begins its PerAccount+1st session (the
//   account's oldest goes), or when the store holds Capacity sessions: then
//   expired ones go first, and if none has expired an oldest session of an
//   account holding the most goes. So one account's sign-ins never sign
//   another account out.
// - Find answers the account as it was when the session began; whether it is
//   still the same account with the same password is the caller's to check.
// - Time is passed in. Safe to call from several threads. A store that
//   cannot reach its data raises EStoreUnavailable.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "service/model/ServiceStore.h"

class ISessionStore {
 public:
  static constexpr TServiceTime Lifetime = 60 * 60 * 1000;
  static constexpr std::size_t Capacity = 10000;
  static constexpr std::size_t PerAccount = 5;
  static constexpr std::size_t TokenDigits = 64;

  virtual ~ISessionStore() = default;

  // A new session for the account; answers its token.
  virtual std::string Begin(const TAccountRecord& account, TServiceTime now) = 0;
  // The account of a live session, or nothing.
  virtual std::optional<TAccountRecord> Find(std::string_view token, TServiceTime now) = 0;
  virtual void End(std::string_view token) = 0;
  // Ends every session of the account (a password changed, the account
  // gone, its owner signing out everywhere); answers how many there were.
  virtual std::size_t EndAll(std::int64_t accountId) = 0;
  // Sessions held, expired ones not yet dropped included.
  virtual std::size_t Size() = 0;
};
