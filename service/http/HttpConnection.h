// One connection of the front, plain or TLS: reads each request's head and
// body within their deadlines, has the head checked (TRequestCheck), hands
// the request to the front's workers, and writes the answer. Requests on a
// kept-alive connection are answered in order, one at a time.
//
// A plain connection starts as a bare descriptor: while its request is there
// whole when looked for and its answer goes out at once, it is read and
// written with calls that do not wait (MSG_DONTWAIT) and closed, and the
// loop never hears of it. Only one that must wait is handed to Asio (and
// registered with the loop) for the rest of its life.
//
// Everything of a connection runs on the loop's thread; the front reads
// State and Opened from other threads (to choose whom to close when it is
// full) and closes a connection through Evict.
#pragma once

#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/ssl/stream.hpp>
#include <boost/asio/steady_timer.hpp>
#include <boost/beast/http/message.hpp>
#include <boost/beast/http/serializer.hpp>
#include <boost/beast/http/string_body.hpp>

#include <array>
#include <atomic>
#include <chrono>
#include <memory>
#include <optional>
#include <string>

#include "service/http/Answers.h"
#include "service/http/RequestCheck.h"

class TServiceFront;

class THttpConnection : public std::enable_shared_from_this<THttpConnection> {
 public:
  enum class TState { Handshake, Idle, Head, Body, Busy, Closed };

  // fd: just accepted, of protocol.
  THttpConnection(TServiceFront& front, int fd, boost::asio::ip::tcp protocol, std::string address);
  ~THttpConnection();
  THttpConnection(const THttpConnection&) = delete;
  THttpConnection& operator=(const THttpConnection&) = delete;

  void Start();
  // Closes the connection soon; from any thread.
  void Evict();
  // Hands the answer to a request back; from any thread.
  void Answered(TFrontAnswer answer);
  // Writes the answer to the request just taken; on the loop only (where
  // the front was handed the request).
  void AnswerNow(TFrontAnswer answer) { Write(std::move(answer)); }

  const std::string& Address() const { return address_; }
  TState State() const { return state_; }
  // Evict was called: it is closing, and makes no more room.
  bool Evicted() const { return evicted_; }
  // When it was opened, in steady-clock ticks.
  std::chrono::steady_clock::rep Opened() const { return opened_; }

 private:
  using TTime = std::chrono::steady_clock::time_point;
  using TResponse = boost::beast::http::response<boost::beast::http::string_body>;

  boost::asio::ip::tcp::socket& Socket();
  // Hands the bare descriptor to Asio; false when it could not be.
  bool Adopt();
  // Writes the answer without waiting: false when some of it is left.
  bool WriteNow();
  void Enter(TState state);
  // Closes the connection at when (logging what, unless null), unless the
  // deadline is moved first.
  void Deadline(TTime when, const char* what);
  // No deadline until the next one is set (while the request is answered).
  void NoDeadline();
  // Sets the timer for when.
  void Arm(TTime when);
  void NextRequest();
  void Read();
  void Take();
  void Refuse(const ERequestRefused& refusal);
  void Write(TFrontAnswer answer);
  void Close();

  TServiceFront& front_;
  int fd_ = -1;  // the bare descriptor, until adopted
  boost::asio::ip::tcp protocol_;
  boost::asio::ip::tcp::socket plain_;
  std::unique_ptr<boost::asio::ssl::stream<boost::asio::ip::tcp::socket>> tls_;
  std::string address_;
  boost::asio::steady_timer timer_;
  TTime deadline_ = TTime::max();
  const char* deadlineWhat_ = nullptr;
  bool armed_ = false;
  TTime armedFor_{};  // while armed_
  std::atomic<TState> state_{TState::Handshake};
  std::atomic<bool> evicted_{false};
  std::chrono::steady_clock::rep opened_ = 0;

  std::string buffer_;  // what was read and not yet taken
  std::array<char, 2048> chunk_{};
  std::size_t scanned_ = 0;   // of buffer_, by the search for the head's end
  TTime requestStart_;        // the connection's start or the previous answer
  std::optional<TRequestHead> head_;
  std::size_t headBytes_ = 0;
  std::size_t requests_ = 0;
  bool headRequest_ = false;  // a HEAD: the answer goes without its body
  TResponse response_;
  std::optional<boost::beast::http::response_serializer<boost::beast::http::string_body>> serializer_;
};
