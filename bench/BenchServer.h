// The loopback server both clients talk to in the benchmarks: the tests'
// scripted HTTP peer (tests/support/HttpTestPeer.h), serving one connection
// at a time with answers chosen by path, sent from blocks prepared once so
// that the server costs as little as possible. Given a TLS server context it
// serves the same answers over HTTPS.
//
// Every answer ends with the server waiting for the client to close first,
// as a server does after its answer, so both clients end each exchange
// alike.
#pragma once

#include <openssl/ssl.h>

#include <cstdint>
#include <string>

#include "tests/support/HttpTestPeer.h"

class BenchServer {
 public:
  static constexpr int64_t kBigBody = 256ll << 20;
  static constexpr int kTinyChunks = 1000000;
  static constexpr int64_t kBlock = 1 << 20;

  explicit BenchServer(SSL_CTX* tls = nullptr)
      : block_(kBlock, 'x'),
        chunk_("100000\r\n" + block_ + "\r\n"),  // 1 MiB in hexadecimal
        tinyChunks_(TinyChunks()),
        tls_(tls),
        peer_([this](const std::string& request, int) { return Answer(request); },
              testpeer::LoopbackPeer::Options{.tls = tls, .oneAtATime = true}) {}

  bool Tls() const { return tls_ != nullptr; }
  std::string Url(const std::string& path) const {
    return (tls_ ? "https://localhost:" : "http://127.0.0.1:") + std::to_string(peer_.Port()) + path;
  }

 private:
  static constexpr int64_t kBlocks = kBigBody / kBlock;

  static std::string TinyChunks() {
    std::string chunks;
    chunks.reserve(kTinyChunks * 6 + 5);
    for (int i = 0; i < kTinyChunks; ++i) chunks += "1\r\nx\r\n";
    return chunks + "0\r\n\r\n";
  }

  hostile::Script Answer(const std::string& request) const {
    using hostile::Hold;
    using hostile::Send;
    const std::size_t sp = request.find(' ');
    const std::string path = request.substr(sp + 1, request.find(' ', sp + 1) - sp - 1);
    const std::string chunkedHead =
        "HTTP/1.1 200 OK\r\nContent-Type: application/octet-stream\r\nTransfer-Encoding: chunked\r\n"
        "Connection: close\r\n\r\n";
    if (path.starts_with("/big"))
      return {Send("HTTP/1.1 200 OK\r\nContent-Type: application/octet-stream\r\nContent-Length: " +
                   std::to_string(kBigBody) + "\r\nConnection: close\r\n\r\n"),
              Send(block_, kBlocks), Hold()};
    if (path.starts_with("/chunked")) return {Send(chunkedHead), Send(chunk_, kBlocks), Send("0\r\n\r\n"), Hold()};
    // One million chunks of one byte each: the framing costs far more than the data.
    if (path.starts_with("/tinychunks")) return {Send(chunkedHead), Send(tinyChunks_), Hold()};
    // A refusal with a body as large as a download: what the client keeps of it must stay small.
    if (path.starts_with("/refused"))
      return {Send("HTTP/1.1 500 Internal Server Error\r\nContent-Length: " + std::to_string(2 * kBigBody) +
                   "\r\nConnection: close\r\n\r\n"),
              Send(block_, 2 * kBlocks), Hold()};
    if (path.starts_with("/small"))
      return {Send("HTTP/1.1 200 OK\r\nContent-Length: 5\r\nConnection: close\r\n\r\nsmall"), Hold()};
    return {Send("HTTP/1.1 200 OK\r\nContent-Type: text/plain\r\nContent-Length: 9\r\n\r\n127.0.0.1"), Hold()};
  }

  // All made before the peer starts serving.
  std::string block_;
  std::string chunk_;
  std::string tinyChunks_;
  SSL_CTX* tls_;
  hostile::Peer peer_;  // last: it serves until it is destroyed
};
