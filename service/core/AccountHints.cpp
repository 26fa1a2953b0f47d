#include "service/core/AccountHints.h"

#include "runtime/SysUtils.h"

TAccountHints::TAccountHints(std::size_t capacity) : capacity_(capacity) {}

std::optional<TAccountRecord> TAccountHints::Find(std::string_view name) {
  const std::string key = LowerCase(name);
  std::lock_guard<std::mutex> guard(lock_);
  const auto it = accounts_.find(key);
  if (it == accounts_.end()) return std::nullopt;
  return it->second;
}

void TAccountHints::Keep(const TAccountRecord& account) {
  if (capacity_ == 0) return;
  std::string key = LowerCase(account.Name);
  std::lock_guard<std::mutex> guard(lock_);
  auto it = accounts_.find(key);
  if (it != accounts_.end()) {
    it->second = account;
    return;
  }
  if (accounts_.size() >= capacity_) accounts_.erase(accounts_.begin());
  accounts_.emplace(std::move(key), account);
}

void TAccountHints::Forget(std::string_view name) {
  const std::string key = LowerCase(name);
  std::lock_guard<std::mutex> guard(lock_);
  accounts_.erase(key);
}

std::size_t TAccountHints::Size() {
  std::lock_guard<std::mutex> guard(lock_);
  return accounts_.size();
}
