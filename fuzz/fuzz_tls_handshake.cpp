// Arbitrary bytes from an HTTPS server. The first byte picks where they go:
//   0  in place of the server's side of the handshake, in clear on the socket;
//   1  on the socket in clear after a real handshake, where records belong;
//   2  as the answer inside a real session (then 3: the same, ended by close_notify).
// Whatever arrives, the exchange must end in an exception of ours within its
// read time-out, and it can only succeed when the bytes came inside a session.
#include <openssl/ssl.h>
#include <sys/socket.h>

#include <cstdint>
#include <cstdlib>
#include <mutex>
#include <string>
#include <utility>

#include "http/exchange/IdHTTP.h"
#include "http/tls/IdTlsIOHandler.h"
#include "tests/support/LoopbackPeer.h"
#include "tests/support/TlsTestAuthority.h"
#include "tests/support/TlsTestPeer.h"

namespace {

using testpeer::Channel;
using testpeer::LoopbackPeer;
using testpeer::RecvExactly;
using testpeer::SendAll;

// Two loopback peers, one speaking clear text and one completing a real
// handshake first; each sends the current input where its mode says.
class HostilePeer {
 public:
  void Set(uint8_t mode, std::string bytes) {
    std::lock_guard<std::mutex> g(lock_);
    mode_ = mode;
    bytes_ = std::move(bytes);
  }
  int Port(uint8_t mode) const { return mode == 0 ? clear_.Port() : session_.Port(); }
  const std::string& CaFile() const { return authority_.CertFile(); }

 private:
  std::pair<uint8_t, std::string> Current() {
    std::lock_guard<std::mutex> g(lock_);
    return {mode_, bytes_};
  }

  // In place of the server's side of the handshake: after the client's first record.
  void ServeClear(Channel& channel) {
    const std::string bytes = Current().second;
    const std::string header = RecvExactly(channel.Fd(), 5, 2000);
    if (header.size() == 5) RecvExactly(channel.Fd(), (uint8_t(header[3]) << 8) | uint8_t(header[4]), 2000);
    SendAll(channel.Fd(), bytes);
    EndStream(channel);
  }

  // After a real handshake and the request head: in clear where records
  // belong (mode 1), or as the answer inside the session (2; 3 ends it with
  // close_notify).
  void ServeSession(Channel& channel) {
    const auto [mode, bytes] = Current();
    std::string head;
    while (head.find("\r\n\r\n") == std::string::npos)
      if (!channel.Receive(head)) break;
    if (mode == 1) {
      SendAll(channel.Fd(), bytes);
    } else {
      SSL_write(channel.Ssl(), bytes.data(), static_cast<int>(bytes.size()));
      if (mode == 3) SSL_shutdown(channel.Ssl());
    }
    EndStream(channel);
  }

  // The end of the stream, whatever the client still has to say.
  static void EndStream(Channel& channel) {
    ::shutdown(channel.Fd(), SHUT_WR);
    testpeer::RecvUntilClosed(channel.Fd(), 500);
  }

  TlsTestAuthority authority_;
  tlspeer::ContextPtr context_ = tlspeer::ServerContext(authority_.Localhost());
  std::mutex lock_;
  uint8_t mode_ = 0;
  std::string bytes_;
  LoopbackPeer clear_{[this](Channel& c) { ServeClear(c); }, LoopbackPeer::Options{.oneAtATime = true}};
  LoopbackPeer session_{[this](Channel& c) { ServeSession(c); },
                        LoopbackPeer::Options{.tls = context_.get(), .oneAtATime = true}};
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static HostilePeer* peer = new HostilePeer();
  if (size == 0) return 0;
  const uint8_t mode = data[0] % 4;
  peer->Set(mode, std::string(reinterpret_cast<const char*>(data + 1), size - 1));
  bool succeeded = false;
  try {
    TIdHTTP http;
    auto handler = std::make_unique<TIdTlsIOHandler>();
    handler->CACertFile = peer->CaFile();
    http.SetIOHandler(std::move(handler));
    http.SetReadTimeout(1000);
    TStringStream out;
    http.Get("https://localhost:" + std::to_string(peer->Port(mode)) + "/x", out);
    succeeded = true;
  } catch (const Exception&) {
    // Every refusal and broken stream is one of ours.
  }
  // Bytes outside a session can never make an exchange succeed.
  if (succeeded && mode < 2) std::abort();
  return 0;
}
