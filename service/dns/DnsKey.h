// The shared secret that signs the service's DNS updates (TSIG).
//
// The key is read from a file in one of the forms name servers and their
// tools already use, so an operator can hand the service the same file the
// name server reads:
//   - a key statement, as in named.conf or knot's include files made by
//     tsig-keygen:  key "name" { algorithm hmac-sha256; secret "BASE64"; };
//   - knot's YAML key section, as keymgr -t writes it:
//       key:
//         - id: name
//           algorithm: hmac-sha256
//           secret: BASE64
//   - the one-line form of knsupdate -k / -y:  [algorithm:]name:BASE64
//     (hmac-sha256 when no algorithm is given).
// Comments ("#", "//" and "/* */" in the key statement, "#" elsewhere) are
// skipped. A file must hold exactly one key; hmac-sha256 and hmac-sha512 are
// the algorithms taken.
//
// Guarantees: a file that others may read is refused before a byte of it is
// read, with the file's mode and the command that mends it in the message;
// files are read up to MaxFileSize, so a wrong path to something large or
// endless costs nothing; every refusal is an EDnsKey naming the file and
// what is wrong, and never quotes the secret.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

#include "runtime/Exception.h"

// A key file that cannot be used: missing, unreadable, readable by others,
// or not a key the service can sign with.
PINMARK_EXCEPTION_CLASS(EDnsKey, Exception);

enum class TDnsKeyAlgorithm { HmacSha256, HmacSha512 };

class TDnsKey {
 public:
  static constexpr std::size_t MaxFileSize = 64 * 1024;

  // The key's name as a fully qualified domain name in lower case
  // ("update-key."): the form in which it is signed and sent.
  std::string Name;
  TDnsKeyAlgorithm Algorithm = TDnsKeyAlgorithm::HmacSha256;
  // The secret's bytes (never empty in a key that Parse or Load returned).
  std::string Secret;

  // The algorithm's name as a domain name, as TSIG carries it ("hmac-sha256.").
  std::string AlgorithmName() const;
  // The secret as base64, the form key files and ldns take.
  std::string SecretBase64() const;

  // Reads the key file at path. Throws EDnsKey when the file is readable by
  // others, is not a regular file, cannot be read, or holds no usable key.
  static TDnsKey Load(const std::string& path);
  // Reads the text of a key file; origin names it in messages.
  static TDnsKey Parse(std::string_view text, const std::string& origin = "the key file");
};
