// The accounts this instance last saw sign in, by name: what a repeated
// check-in expects its account to be, so that the store can read the
// account and record the check-in in one call (RecordCheckInAs).
//
// Only a hint, never trusted: another instance on the same store may have
// changed the password, set keys only or removed the account since. The
// store compares the hint with the account as it is when it records, and
// records nothing when they differ; the hint then goes.
//
// At most Capacity entries: a full table drops one entry for a new one, which
// only costs that account a read of its own next time. Safe to call from
// several threads.
#pragma once

#include <cstddef>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>

#include "service/model/ServiceStore.h"

class TAccountHints {
 public:
  explicit TAccountHints(std::size_t capacity);

  std::optional<TAccountRecord> Find(std::string_view name);
  void Keep(const TAccountRecord& account);
  void Forget(std::string_view name);
  std::size_t Size();

 private:
  std::size_t capacity_;
  std::mutex lock_;
  std::unordered_map<std::string, TAccountRecord> accounts_;  // by lower-case name
};
