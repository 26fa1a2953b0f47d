#include "service/core/VerificationCache.h"

#include <openssl/core_names.h>
#include <openssl/crypto.h>
#include <openssl/evp.h>
#include <openssl/params.h>
#include <openssl/rand.h>

#include "runtime/SysUtils.h"
#include "service/core/PasswordHash.h"

TVerificationCache::TVerificationCache(TServiceTime keepFor, std::size_t capacity)
    : keepFor_(keepFor), capacity_(capacity), key_(MakeKey()) {
  KeyMac();
}

void TVerificationCache::TMacFree::operator()(EVP_MAC_CTX* mac) const { EVP_MAC_CTX_free(mac); }

void TVerificationCache::KeyMac() {
  EVP_MAC* hmac = EVP_MAC_fetch(nullptr, "HMAC", nullptr);
  mac_.reset(hmac ? EVP_MAC_CTX_new(hmac) : nullptr);
  EVP_MAC_free(hmac);
  char digest[] = "SHA256";
  const OSSL_PARAM params[] = {OSSL_PARAM_construct_utf8_string(OSSL_MAC_PARAM_DIGEST, digest, 0),
                               OSSL_PARAM_construct_end()};
  if (!mac_ ||
      EVP_MAC_init(mac_.get(), reinterpret_cast<const unsigned char*>(key_.data()), key_.size(), params) != 1)
    throw EPasswordHashError("OpenSSL could not make an HMAC for remembered verifications");
}

std::string TVerificationCache::MakeKey() {
  unsigned char random[32];
  if (RAND_bytes(random, sizeof random) != 1)
    throw EPasswordHashError("OpenSSL could not draw a key for remembered verifications");
  return BytesToHex(std::string_view(reinterpret_cast<const char*>(random), sizeof random));
}

void TVerificationCache::UseKey(std::string_view key) {
  std::lock_guard<std::mutex> guard(lock_);
  key_ = key;
  KeyMac();
  expires_.clear();
}

std::string TVerificationCache::Key(std::string_view account, std::string_view storedHash,
                                    std::string_view digest) {
  // Each part is preceded by its length, so no two different triples share a text.
  std::string data;
  for (const std::string& part : {LowerCase(account), std::string(storedHash), LowerCase(digest)}) {
    data += std::to_string(part.size()) + ":" + part;
  }
  unsigned char mac[EVP_MAX_MD_SIZE];
  std::size_t size = 0;
  // Started again with the key it holds.
  const bool made = EVP_MAC_init(mac_.get(), nullptr, 0, nullptr) == 1 &&
                    EVP_MAC_update(mac_.get(), reinterpret_cast<const unsigned char*>(data.data()), data.size()) == 1 &&
                    EVP_MAC_final(mac_.get(), mac, &size, sizeof mac) == 1;
  OPENSSL_cleanse(data.data(), data.size());
  if (!made) throw EPasswordHashError("OpenSSL could not make an HMAC for remembered verifications");
  return std::string(reinterpret_cast<const char*>(mac), size);
}

bool TVerificationCache::Remembered(std::string_view account, std::string_view storedHash, std::string_view digest,
                                    TServiceTime now) {
  std::lock_guard<std::mutex> guard(lock_);
  const std::string key = Key(account, storedHash, digest);
  auto it = expires_.find(key);
  if (it == expires_.end()) return false;
  if (now < it->second) return true;
  expires_.erase(it);
  return false;
}

void TVerificationCache::Remember(std::string_view account, std::string_view storedHash, std::string_view digest,
                                  TServiceTime now) {
  std::lock_guard<std::mutex> guard(lock_);
  const std::string key = Key(account, storedHash, digest);
  if (expires_.size() >= capacity_ && !expires_.count(key)) {
    std::erase_if(expires_, [now](const auto& entry) { return entry.second <= now; });
    if (expires_.size() >= capacity_) return;
  }
  expires_[key] = now + keepFor_;
}

std::size_t TVerificationCache::Size() {
  std::lock_guard<std::mutex> guard(lock_);
  return expires_.size();
}
