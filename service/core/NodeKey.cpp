#include "service/core/NodeKey.h"

#include <openssl/crypto.h>
#include <openssl/evp.h>
#include <openssl/hmac.h>
#include <openssl/rand.h>

#include "runtime/SysUtils.h"
#include "service/core/PasswordHash.h"

namespace {
const char kPrefix[] = "hmac-sha256$";

std::string Random(std::size_t bytes) {
  std::string out(bytes, '\0');
  if (RAND_bytes(reinterpret_cast<unsigned char*>(out.data()), static_cast<int>(bytes)) != 1)
    throw EPasswordHashError("OpenSSL could not draw a node key");
  return out;
}

std::string Hex(std::string_view bytes) { return BytesToHex(bytes); }
}  // namespace

std::string TNodeKey::Make() {
  static const char alphabet[] = "abcdefghijklmnopqrstuvwxyz234567";
  std::string bits = Random(KeyBits / 8);
  std::string key;
  // Five bits a letter, most significant first; 160 bits are 32 letters.
  for (std::size_t bit = 0; bit < KeyBits; bit += 5) {
    unsigned value = 0;
    for (std::size_t k = bit; k < bit + 5; ++k)
      value = value << 1 | ((static_cast<unsigned char>(bits[k / 8]) >> (7 - k % 8)) & 1u);
    if (bit > 0 && bit % 20 == 0) key += '-';
    key += alphabet[value];
  }
  OPENSSL_cleanse(bits.data(), bits.size());
  return key;
}

std::string TNodeKey::Digest(std::string_view key) {
  unsigned char md[EVP_MAX_MD_SIZE];
  unsigned int size = 0;
  if (!EVP_Digest(key.data(), key.size(), md, &size, EVP_md5(), nullptr))
    throw EPasswordHashError("OpenSSL could not make an MD5 digest");
  return Hex(std::string_view(reinterpret_cast<const char*>(md), size));
}

std::string TNodeKey::MakeSecret() { return Hex(Random(SecretBytes)); }

std::string TNodeKey::Hash(std::string_view secret, std::int64_t accountId, std::string_view node,
                           std::string_view digest) {
  // Each part is preceded by its length, so no two different triples share a text.
  std::string data;
  for (const std::string& part : {std::to_string(accountId), LowerCase(node), LowerCase(digest)})
    data += std::to_string(part.size()) + ":" + part;
  unsigned char mac[EVP_MAX_MD_SIZE];
  unsigned int size = 0;
  if (!HMAC(EVP_sha256(), secret.data(), static_cast<int>(secret.size()),
            reinterpret_cast<const unsigned char*>(data.data()), data.size(), mac, &size))
    throw EPasswordHashError("OpenSSL could not make an HMAC");
  return kPrefix + Hex(std::string_view(reinterpret_cast<const char*>(mac), size));
}

bool TNodeKey::Verify(std::string_view stored, std::string_view secret, std::int64_t accountId, std::string_view node,
                      std::string_view digest) {
  if (stored.substr(0, sizeof kPrefix - 1) != kPrefix || secret.empty()) return false;
  const std::string mine = Hash(secret, accountId, node, digest);
  return mine.size() == stored.size() && CRYPTO_memcmp(mine.data(), stored.data(), mine.size()) == 0;
}
