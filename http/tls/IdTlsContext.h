// The client side of OpenSSL, set up once per trust configuration and shared
// by every TLS connection that uses it.
//
// A context speaks TLS 1.2 or newer, refuses renegotiation and verifies the
// peer against OpenSSL's default trust store (so SSL_CERT_FILE and
// SSL_CERT_DIR apply as users expect) plus an optional PEM file of further
// trust anchors. Loading a trust store costs milliseconds, so contexts are
// kept; one is made again as soon as a trust file or folder it was loaded
// from changes, or the environment names other ones. Safe to use from any thread.
#pragma once

#include <memory>
#include <string>

#include "http/IdException.h"

struct ssl_ctx_st;

namespace IdTlsStrings {
inline constexpr const char* RSTlsSetupFailed = "Cannot set up TLS: %s";
inline constexpr const char* RSTlsCannotReadAnchors = "cannot read trust anchors from %s (%s)";

// The reason of the oldest error in this thread's OpenSSL error queue, or
// fallback when the queue is empty. The queue is emptied.
std::string OpenSSLReason(const char* fallback);
}  // namespace IdTlsStrings

class TIdTlsContext {
 public:
  using Handle = std::shared_ptr<ssl_ctx_st>;

  // The context for the default trust store plus caFile (empty: none). Raises
  // EIdTlsSetupError when caFile cannot be read or holds no certificate.
  static Handle ClientContext(const std::string& caFile = std::string());
};
