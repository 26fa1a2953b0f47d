// A node's own key: a random secret that updates one node of an account
// where the account's password would update any of them, so that a machine
// holds only what moves itself.
//
// A key is 160 random bits written in lower-case base32 (a-z, 2-7), in eight
// groups of four joined by hyphens ("k3bq-7xma-..."): no letters that read
// alike in either case, nothing a shell or a URL needs quoted. The program
// sends the MD5 digest of its password, so the key is used exactly as
// written, and every door works on that digest.
//
// Stored is only "hmac-sha256$HEX": an HMAC-SHA-256, under a secret kept once
// per store, of the account's id, the node's name (lower case) and the
// key's digest. A key is random and as long as a strong password is strong,
// so a fast hash is enough: nobody can try enough keys against a stolen hash
// for slowness to matter, and the secret keeps a copy of the keys' table
// alone from being tried at all. A check-in by key therefore costs one HMAC
// rather than a slow hash. The account and node are part of what is hashed,
// so a hash copied onto another node's row verifies nothing there.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

class TNodeKey {
 public:
  static constexpr std::size_t KeyBits = 160;
  static constexpr std::size_t SecretBytes = 32;

  // A new key, as it is shown to the owner (once).
  static std::string Make();
  // The MD5 digest of a key in lower-case hex: what the program sends for it.
  static std::string Digest(std::string_view key);
  // A new secret for the store to key the hashes with (hex).
  static std::string MakeSecret();
  // The stored form of a key given as its MD5 digest (32 hex digits, either case).
  static std::string Hash(std::string_view secret, std::int64_t accountId, std::string_view node,
                          std::string_view digest);
  // Whether digest is the digest of the key stored is the hash of; in
  // constant time. A stored text in no known form never verifies.
  static bool Verify(std::string_view stored, std::string_view secret, std::int64_t accountId, std::string_view node,
                     std::string_view digest);
};
