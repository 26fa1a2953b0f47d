#include "service/core/PasswordHash.h"

#include <openssl/core_names.h>
#include <openssl/crypto.h>
#include <openssl/kdf.h>
#include <openssl/params.h>
#include <openssl/rand.h>

#include <memory>
#include <vector>

#include "runtime/NoWaitScope.h"
#include "runtime/SysUtils.h"
#include "service/core/NameRules.h"

namespace {
const char kSlow[] = "pbkdf2-sha256$";
const char kPlain[] = "plain$";

std::string Hex(const unsigned char* data, std::size_t size) {
  return BytesToHex(std::string_view(reinterpret_cast<const char*>(data), size));
}

bool Unhex(std::string_view text, std::vector<unsigned char>& out) {
  if (text.size() % 2 != 0 || text.find_first_not_of("0123456789abcdef") != std::string_view::npos) return false;
  out.clear();
  for (std::size_t i = 0; i < text.size(); i += 2) {
    auto value = [](char c) { return c <= '9' ? c - '0' : c - 'a' + 10; };
    out.push_back(static_cast<unsigned char>(value(text[i]) * 16 + value(text[i + 1])));
  }
  return true;
}

// PBKDF2-HMAC-SHA256 of the digest's lower-case text; false when OpenSSL fails.
bool Derive(std::string_view digest, const std::vector<unsigned char>& salt, int iterations, unsigned char* out) {
  std::unique_ptr<EVP_KDF, decltype(&EVP_KDF_free)> kdf(EVP_KDF_fetch(nullptr, "PBKDF2", nullptr), EVP_KDF_free);
  if (!kdf) return false;
  std::unique_ptr<EVP_KDF_CTX, decltype(&EVP_KDF_CTX_free)> ctx(EVP_KDF_CTX_new(kdf.get()), EVP_KDF_CTX_free);
  if (!ctx) return false;
  std::string password = NormalDigest(digest);
  unsigned iter = static_cast<unsigned>(iterations);
  char sha256[] = "SHA256";
  OSSL_PARAM params[] = {
      OSSL_PARAM_construct_octet_string(OSSL_KDF_PARAM_PASSWORD, password.data(), password.size()),
      OSSL_PARAM_construct_octet_string(OSSL_KDF_PARAM_SALT, const_cast<unsigned char*>(salt.data()), salt.size()),
      OSSL_PARAM_construct_uint(OSSL_KDF_PARAM_ITER, &iter),
      OSSL_PARAM_construct_utf8_string(OSSL_KDF_PARAM_DIGEST, sha256, 0),
      OSSL_PARAM_construct_end(),
  };
  const bool ok = EVP_KDF_derive(ctx.get(), out, TPasswordHash::HashBytes, params) == 1;
  OPENSSL_cleanse(password.data(), password.size());
  return ok;
}

struct TSlowHash {
  int iterations = 0;
  std::vector<unsigned char> salt, hash;
};

bool ParseSlow(std::string_view stored, TSlowHash& h) {
  if (stored.rfind(kSlow, 0) != 0) return false;
  stored.remove_prefix(sizeof kSlow - 1);
  const std::size_t a = stored.find('$');
  const std::size_t b = a == std::string_view::npos ? a : stored.find('$', a + 1);
  if (b == std::string_view::npos) return false;
  const std::string_view iterations = stored.substr(0, a);
  if (iterations.empty() || iterations.size() > 9 ||
      iterations.find_first_not_of("0123456789") != std::string_view::npos)
    return false;
  h.iterations = std::stoi(std::string(iterations));
  return h.iterations >= 1 && h.iterations <= TPasswordHash::MaxIterations &&
         Unhex(stored.substr(a + 1, b - a - 1), h.salt) && !h.salt.empty() && h.salt.size() <= 64 &&
         Unhex(stored.substr(b + 1), h.hash) && h.hash.size() == TPasswordHash::HashBytes;
}
}  // namespace

std::string TPasswordHash::Make(std::string_view digest, int iterations) {
  TNoWaitScope::MayWait("the slow password hash");
  std::vector<unsigned char> salt(SaltBytes);
  unsigned char hash[HashBytes];
  if (RAND_bytes(salt.data(), static_cast<int>(salt.size())) != 1 || !Derive(digest, salt, iterations, hash))
    throw EPasswordHashError("OpenSSL could not make a password hash");
  return kSlow + std::to_string(iterations) + "$" + Hex(salt.data(), salt.size()) + "$" + Hex(hash, sizeof hash);
}

std::string TPasswordHash::Plain(std::string_view digest) { return kPlain + NormalDigest(digest); }

bool TPasswordHash::Verify(std::string_view stored, std::string_view digest) {
  if (!IsDigest(digest)) return false;
  if (stored.rfind(kPlain, 0) == 0) {
    const std::string_view kept = stored.substr(sizeof kPlain - 1);
    const std::string given = NormalDigest(digest);
    return kept.size() == given.size() && CRYPTO_memcmp(kept.data(), given.data(), given.size()) == 0;
  }
  TSlowHash h;
  unsigned char hash[HashBytes];
  if (!ParseSlow(stored, h)) return false;
  TNoWaitScope::MayWait("the slow password hash");
  if (!Derive(digest, h.salt, h.iterations, hash)) return false;
  return CRYPTO_memcmp(hash, h.hash.data(), HashBytes) == 0;
}

bool TPasswordHash::Slow(std::string_view stored) {
  TSlowHash h;
  return ParseSlow(stored, h);
}

bool TPasswordHash::Storable(std::string_view stored) { return Slow(stored); }
