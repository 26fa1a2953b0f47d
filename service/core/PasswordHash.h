// How an account's password is kept: never the password, never the MD5
// digest that the program sends, but a salted slow hash of that digest with
// the parameters it was made with, so that they can be raised for new hashes
// while old ones still verify.
//
//   pbkdf2-sha256$ITERATIONS$SALT$HASH     (salt and hash in lower-case hex)
//
// Accounts given on the command line (--account, --accounts) live in memory
// only and are kept as "plain$DIGEST": they were given as digests, so a slow
// hash would guard nothing. A store on disk never holds that form.
//
// Verification compares in constant time. A stored text that is in no known
// form, or whose parameters are out of bounds (a damaged or hostile database
// must not make one check-in run for hours), never verifies.
#pragma once

#include <string>
#include <string_view>

#include "runtime/Exception.h"

// OpenSSL could not make a hash (no randomness, no PBKDF2).
PINMARK_EXCEPTION_CLASS(EPasswordHashError, Exception);

class TPasswordHash {
 public:
  static constexpr int Iterations = 600000;
  static constexpr int MaxIterations = 10000000;
  static constexpr std::size_t SaltBytes = 16;
  static constexpr std::size_t HashBytes = 32;

  // The slow hash of a digest (32 hex digits, either case) with a fresh
  // random salt.
  static std::string Make(std::string_view digest, int iterations = Iterations);
  static std::string Plain(std::string_view digest);
  static bool Verify(std::string_view stored, std::string_view digest);
  // Whether stored is a slow hash (a verification worth remembering).
  static bool Slow(std::string_view stored);
  // Whether stored is a form that may be written to a store on disk.
  static bool Storable(std::string_view stored);
};
