// Verifications of an account's password digest remembered for a few
// minutes, so that a node checking in again does not pay the slow hash each
// time.
//
// Nothing here can give the digest back: an entry is an HMAC-SHA256 of the
// account name, the account's stored hash and the digest, under a key drawn
// at random when the cache is made, or the one the store keeps for every
// instance on it (UseKey), which is never the digest's either. A changed password changes
// the stored hash, so what was remembered for the old one no longer matches;
// nothing has to be told to forget.
//
// At most Capacity entries: a full cache first drops what has expired and
// otherwise remembers nothing more until something does, which only costs
// slow hashes. Safe to call from several threads.
#pragma once

#include <openssl/types.h>

#include <cstddef>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <unordered_map>

#include "service/model/ServiceStore.h"

class TVerificationCache {
 public:
  TVerificationCache(TServiceTime keepFor, std::size_t capacity);

  // A random key of 32 bytes as 64 hex digits, a store's first candidate.
  static std::string MakeKey();
  // Keys the entries with key from now on and forgets those made under the
  // old one.
  void UseKey(std::string_view key);

  bool Remembered(std::string_view account, std::string_view storedHash, std::string_view digest, TServiceTime now);
  void Remember(std::string_view account, std::string_view storedHash, std::string_view digest, TServiceTime now);
  std::size_t Size();

 private:
  struct TMacFree {
    void operator()(EVP_MAC_CTX* mac) const;
  };
  // Under lock_, which also guards the key and its HMAC.
  std::string Key(std::string_view account, std::string_view storedHash, std::string_view digest);
  // The HMAC-SHA256 keyed with key_, made once: OpenSSL would look the
  // algorithm up again for each check-in otherwise.
  void KeyMac();

  TServiceTime keepFor_;
  std::size_t capacity_;
  std::string key_;
  std::unique_ptr<EVP_MAC_CTX, TMacFree> mac_;
  std::mutex lock_;
  std::unordered_map<std::string, TServiceTime> expires_;
};
