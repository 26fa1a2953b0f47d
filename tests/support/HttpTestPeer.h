// Scripted HTTP peers on the loopback peer (tests/support/LoopbackPeer.h)
// for the exchange tests and the benchmarks.
//
// hostile::Peer serves every connection, reads each request head (and a body
// of the announced Content-Length) and plays a script against the client:
// bytes, pauses, a close, a reset, or holding the connection silent. A
// script that ends without closing waits for the next request on the same
// connection. Scripts are values, so tests can write each case as one row of
// a table; "{port}" in the bytes of a step is replaced by the peer's port.
//
// HttpTestPeer is the plain case: each request is answered with the bytes the
// handler returns, and the connection is closed after them or kept. Both see
// every request raw, so tests can compare request bytes exactly.
#pragma once

#include <cstdint>
#include <functional>
#include <mutex>
#include <string>
#include <vector>

#include "tests/support/LoopbackPeer.h"

namespace hostile {

struct Step {
  enum Kind { kSend, kPause, kClose, kReset, kHold } kind = kSend;
  std::string bytes;   // kSend: sent `repeat` times
  int64_t repeat = 1;  // kSend
  int ms = 0;          // kPause
};
using Script = std::vector<Step>;

inline Step Send(std::string bytes, int64_t repeat = 1) { return Step{Step::kSend, std::move(bytes), repeat, 0}; }
inline Step Pause(int ms) { return Step{Step::kPause, {}, 1, ms}; }
// An orderly close (FIN; in a TLS session close_notify first).
inline Step Close() { return Step{Step::kClose, {}, 1, 0}; }
// An abortive close: the client sees "connection reset".
inline Step Reset() { return Step{Step::kReset, {}, 1, 0}; }
// Keeps the connection open and silent until the client goes or the peer stops.
inline Step Hold() { return Step{Step::kHold, {}, 1, 0}; }

// A peer that drips: head at once, then drop after each pause, count times.
inline Script Drip(std::string head, int count, int pauseMs, const std::string& drop) {
  Script script{Send(std::move(head))};
  for (int i = 0; i < count; ++i) {
    script.push_back(Pause(pauseMs));
    script.push_back(Send(drop));
  }
  return script;
}

// The script for the request with this index, counted over all connections.
using Scripter = std::function<Script(const std::string& request, int index)>;

class Peer {
 public:
  // Given a TLS server context, the same scripts are played inside TLS sessions.
  explicit Peer(Scripter scripter, testpeer::LoopbackPeer::Options options = {})
      : scripter_(std::move(scripter)), peer_([this](testpeer::Channel& channel) { Serve(channel); }, options) {}
  // The same script for every request.
  explicit Peer(Script script) : Peer([script](const std::string&, int) { return script; }) {}
  Peer(const Peer&) = delete;
  Peer& operator=(const Peer&) = delete;

  int Port() const { return peer_.Port(); }
  std::string Url(const std::string& path = "/") const { return "http://127.0.0.1:" + std::to_string(Port()) + path; }
  std::vector<std::string> Requests() {
    std::lock_guard<std::mutex> g(lock_);
    return requests_;
  }
  int Connections() const { return peer_.Connections(); }

 private:
  void Serve(testpeer::Channel& channel) {
    std::string pending;
    for (;;) {
      std::string request;
      if (!ReadRequest(channel, pending, request)) return;
      int index;
      {
        std::lock_guard<std::mutex> g(lock_);
        requests_.push_back(request);
        index = static_cast<int>(requests_.size()) - 1;
      }
      for (const Step& step : scripter_(request, index))
        if (!Play(channel, step)) return;
    }
  }

  // Answers false once the connection is gone (closed, reset, or the client left).
  bool Play(testpeer::Channel& channel, const Step& step) {
    switch (step.kind) {
      case Step::kSend: {
        std::string filled;
        const bool templated = step.bytes.find("{port}") != std::string::npos;
        if (templated) {
          filled = step.bytes;
          for (std::size_t at; (at = filled.find("{port}")) != std::string::npos;)
            filled.replace(at, 6, std::to_string(Port()));
        }
        const std::string& bytes = templated ? filled : step.bytes;
        for (int64_t i = 0; i < step.repeat; ++i)
          if (!channel.Send(bytes)) return false;
        return true;
      }
      case Step::kPause:
        for (int waited = 0; waited < step.ms && !channel.Stopping(); waited += 10) testpeer::Pause(10);
        return true;
      case Step::kClose:
        channel.Close();
        return false;
      case Step::kReset:
        channel.Reset();
        return false;
      case Step::kHold:
        channel.Drain();
        return false;
    }
    return false;
  }

  // A request head and a body of its announced Content-Length.
  static bool ReadRequest(testpeer::Channel& channel, std::string& pending, std::string& request) {
    std::size_t headEnd;
    while ((headEnd = pending.find("\r\n\r\n")) == std::string::npos)
      if (!channel.Receive(pending)) return false;
    std::size_t total = headEnd + 4 + ContentLength(pending.substr(0, headEnd));
    while (pending.size() < total)
      if (!channel.Receive(pending)) return false;
    request = pending.substr(0, total);
    pending.erase(0, total);
    return true;
  }

  static std::size_t ContentLength(const std::string& head) {
    std::size_t p = head.find("\r\nContent-Length:");
    return p == std::string::npos ? 0 : std::stoul(head.substr(p + 17));
  }

  Scripter scripter_;
  std::mutex lock_;
  std::vector<std::string> requests_;
  testpeer::LoopbackPeer peer_;  // last: it serves until it is destroyed
};

}  // namespace hostile

class HttpTestPeer {
 public:
  struct Reply {
    std::string bytes;
    bool close = true;  // close the connection after sending
  };
  // Gets the raw request (head and body) and the index of the request.
  using Handler = std::function<Reply(const std::string& request, int index)>;

  explicit HttpTestPeer(Handler handler)
      : peer_([handler = std::move(handler)](const std::string& request, int index) {
          Reply reply = handler(request, index);
          hostile::Script script{hostile::Send(reply.bytes)};
          if (reply.close) script.push_back(hostile::Close());
          return script;
        }) {}

  int Port() const { return peer_.Port(); }
  std::string Url(const std::string& path = "/") const { return peer_.Url(path); }
  std::vector<std::string> Requests() { return peer_.Requests(); }
  int Connections() const { return peer_.Connections(); }

 private:
  hostile::Peer peer_;
};
