#include "service/http/Sessions.h"

#include <openssl/evp.h>
#include <openssl/rand.h>

#include <algorithm>

#include "service/core/PasswordHash.h"

std::string TSessions::Key(std::string_view token) {
  unsigned char digest[EVP_MAX_MD_SIZE];
  unsigned int size = 0;
  EVP_Digest(token.data(), token.size(), digest, &size, EVP_sha256(), nullptr);
  return std::string(reinterpret_cast<const char*>(digest), size);
}

std::string TSessions::Begin(const TAccountRecord& account, TServiceTime now) {
  unsigned char random[32];
  if (RAND_bytes(random, sizeof random) != 1) throw EPasswordHashError("OpenSSL could not draw a session token");
  static const char digits[] = "0123456789abcdef";
  std::string token;
  for (unsigned char b : random) {
    token += digits[b >> 4];
    token += digits[b & 15];
  }
  std::lock_guard<std::mutex> guard(lock_);
  if (sessions_.size() >= Capacity) {
    std::erase_if(sessions_, [now](const auto& s) { return s.second.Expires <= now; });
    if (sessions_.size() >= Capacity)
      sessions_.erase(std::min_element(sessions_.begin(), sessions_.end(), [](const auto& a, const auto& b) {
        return a.second.Expires < b.second.Expires;
      }));
  }
  sessions_[Key(token)] = {account, now + Lifetime};
  return token;
}

std::optional<TAccountRecord> TSessions::Find(std::string_view token, TServiceTime now) {
  if (token.size() != 64) return std::nullopt;
  const std::string key = Key(token);
  std::lock_guard<std::mutex> guard(lock_);
  auto it = sessions_.find(key);
  if (it == sessions_.end()) return std::nullopt;
  if (it->second.Expires <= now) {
    sessions_.erase(it);
    return std::nullopt;
  }
  return it->second.Account;
}

void TSessions::End(std::string_view token) {
  const std::string key = Key(token);
  std::lock_guard<std::mutex> guard(lock_);
  sessions_.erase(key);
}

std::size_t TSessions::Size() {
  std::lock_guard<std::mutex> guard(lock_);
  return sessions_.size();
}
