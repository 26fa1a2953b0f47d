#include "service/core/Sessions.h"

#include <openssl/evp.h>
#include <openssl/rand.h>

#include <algorithm>

#include "runtime/SysUtils.h"
#include "service/core/PasswordHash.h"

TSessions::TSessions(std::size_t capacity, std::size_t perAccount)
    : capacity_(std::max<std::size_t>(1, capacity)), perAccount_(std::max<std::size_t>(1, perAccount)) {}

std::string TSessions::Key(std::string_view token) {
  unsigned char digest[EVP_MAX_MD_SIZE];
  unsigned int size = 0;
  EVP_Digest(token.data(), token.size(), digest, &size, EVP_sha256(), nullptr);
  return std::string(reinterpret_cast<const char*>(digest), size);
}

void TSessions::Drop(TTable::iterator it) {
  auto account = byAccount_.find(it->second.Account.Id);
  if (account != byAccount_.end()) {
    std::erase(account->second, it->first);
    if (account->second.empty()) byAccount_.erase(account);
  }
  sessions_.erase(it);
}

std::string TSessions::NewToken() {
  unsigned char random[TokenDigits / 2];
  if (RAND_bytes(random, sizeof random) != 1) throw EPasswordHashError("OpenSSL could not draw a session token");
  return BytesToHex(std::string_view(reinterpret_cast<const char*>(random), sizeof random));
}

std::string TSessions::Begin(const TAccountRecord& account, TServiceTime now) {
  const std::string token = NewToken();
  std::string key = Key(token);
  std::lock_guard<std::mutex> guard(lock_);
  if (auto own = byAccount_.find(account.Id); own != byAccount_.end() && own->second.size() >= perAccount_)
    Drop(sessions_.find(own->second.front()));
  if (sessions_.size() >= capacity_) {
    for (auto it = sessions_.begin(); it != sessions_.end();) {
      auto next = std::next(it);
      if (it->second.Expires <= now) Drop(it);
      it = next;
    }
  }
  if (sessions_.size() >= capacity_) {
    const auto most = std::max_element(byAccount_.begin(), byAccount_.end(),
                                       [](const auto& a, const auto& b) { return a.second.size() < b.second.size(); });
    Drop(sessions_.find(most->second.front()));
  }
  byAccount_[account.Id].push_back(key);
  sessions_[std::move(key)] = {account, now + Lifetime};
  return token;
}

std::optional<TAccountRecord> TSessions::Find(std::string_view token, TServiceTime now) {
  if (token.size() != TokenDigits) return std::nullopt;
  const std::string key = Key(token);
  std::lock_guard<std::mutex> guard(lock_);
  auto it = sessions_.find(key);
  if (it == sessions_.end()) return std::nullopt;
  if (it->second.Expires <= now) {
    Drop(it);
    return std::nullopt;
  }
  return it->second.Account;
}

void TSessions::End(std::string_view token) {
  const std::string key = Key(token);
  std::lock_guard<std::mutex> guard(lock_);
  if (auto it = sessions_.find(key); it != sessions_.end()) Drop(it);
}

std::size_t TSessions::EndAll(std::int64_t accountId) {
  std::lock_guard<std::mutex> guard(lock_);
  auto account = byAccount_.find(accountId);
  if (account == byAccount_.end()) return 0;
  const std::size_t ended = account->second.size();
  for (const std::string& key : account->second) sessions_.erase(key);
  byAccount_.erase(account);
  return ended;
}

std::size_t TSessions::Size() {
  std::lock_guard<std::mutex> guard(lock_);
  return sessions_.size();
}
