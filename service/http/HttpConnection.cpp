#include "service/http/HttpConnection.h"

#include <sys/socket.h>
#include <sys/uio.h>
#include <unistd.h>

#include <cerrno>

#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/post.hpp>
#include <boost/asio/ssl.hpp>
#include <boost/beast/http/write.hpp>

#include "service/http/FrontRequest.h"
#include "service/http/ServiceFront.h"

namespace asio = boost::asio;
namespace http = boost::beast::http;
using tcp = asio::ip::tcp;

namespace {
std::chrono::steady_clock::time_point Now() { return std::chrono::steady_clock::now(); }
}  // namespace

THttpConnection::THttpConnection(TServiceFront& front, int fd, tcp protocol, std::string address)
    : front_(front),
      fd_(fd),
      protocol_(protocol),
      plain_(front.io_),
      address_(std::move(address)),
      timer_(front.io_),
      requestStart_(Now()) {
  if (front_.tls_) {
    // TLS goes through Asio from its first byte.
    Adopt();
    tls_ = std::make_unique<asio::ssl::stream<tcp::socket>>(std::move(plain_), *front_.tls_);
  }
  opened_ = requestStart_.time_since_epoch().count();
}

THttpConnection::~THttpConnection() {
  if (fd_ >= 0) ::close(fd_);
  front_.Forget(this);
}

tcp::socket& THttpConnection::Socket() { return tls_ ? tls_->next_layer() : plain_; }

bool THttpConnection::Adopt() {
  if (fd_ < 0) return Socket().is_open();
  boost::system::error_code ec;
  plain_.assign(protocol_, fd_, ec);
  if (ec) ::close(fd_);
  fd_ = -1;
  return !ec;
}

void THttpConnection::Enter(TState state) { state_ = state; }

void THttpConnection::Start() {
  if (!tls_) return NextRequest();
  if (!Socket().is_open()) return Close();
  // The handshake counts against the first request's head.
  Deadline(requestStart_ + std::chrono::seconds(front_.limits_.HeadSeconds), nullptr);
  tls_->async_handshake(asio::ssl::stream_base::server, [self = shared_from_this()](boost::system::error_code ec) {
    if (ec || self->state_ == TState::Closed) return self->Close();
    self->Enter(TState::Idle);
    self->Deadline(self->requestStart_ + std::chrono::seconds(self->front_.limits_.IdleSeconds), nullptr);
    self->Take();
  });
}

void THttpConnection::Evict() {
  evicted_ = true;
  asio::post(timer_.get_executor(), [self = shared_from_this()] { self->Close(); });
}

void THttpConnection::Deadline(TTime when, const char* what) {
  deadline_ = when;
  deadlineWhat_ = what;
  // Deadlines mostly move later, request after request: a timer set for an
  // earlier one stays, and sets itself anew for the rest when it goes off.
  // So a kept-alive connection costs no timer call per request.
  if (!armed_ || armedFor_ > when) Arm(when);
}

void THttpConnection::NoDeadline() { deadline_ = TTime::max(); }

void THttpConnection::Arm(TTime when) {
  armed_ = true;
  armedFor_ = when;
  timer_.expires_at(when);
  timer_.async_wait([self = shared_from_this(), when](boost::system::error_code ec) {
    // Cancelled: by Close, or by a timer set for an earlier deadline.
    if (ec || self->armedFor_ != when || self->state_ == TState::Closed) return;
    self->armed_ = false;
    if (self->deadline_ == TTime::max()) return;
    if (Now() < self->deadline_) return self->Arm(self->deadline_);
    if (self->deadlineWhat_)
      self->front_.log_.Write(TLogPriority::Warning, "event=closed" + TRequestLog::Field("address", self->address_) +
                                                         TRequestLog::Field("reason", self->deadlineWhat_));
    self->Close();
  });
}

void THttpConnection::NextRequest() {
  requestStart_ = Now();
  head_.reset();
  headBytes_ = 0;
  scanned_ = 0;
  Enter(TState::Idle);
  // Waiting for a request costs nothing but the socket; past the idle limit
  // the connection goes without a word, as a client expects of keep-alive.
  Deadline(requestStart_ + std::chrono::seconds(front_.limits_.IdleSeconds), nullptr);
  Take();
}

void THttpConnection::Take() {
  if (state_ == TState::Closed) return;
  if (!head_) {
    std::size_t end = 0;
    try {
      end = TRequestCheck::HeadEnd(buffer_, scanned_);
      scanned_ = buffer_.size();
      if (end == 0) {
        if (!buffer_.empty() && state_ == TState::Idle) {
          Enter(TState::Head);
          Deadline(requestStart_ + std::chrono::seconds(front_.limits_.HeadSeconds),
                   "no complete request head in time");
        }
        return Read();
      }
      head_ = TRequestCheck::Parse(std::string_view(buffer_).substr(0, end));
    } catch (const ERequestRefused& refusal) {
      return Refuse(refusal);
    }
    headBytes_ = end;
    if (head_->ContentLength > 0) {
      Enter(TState::Body);
      Deadline(Now() + std::chrono::seconds(front_.limits_.BodySeconds), "no complete request body in time");
    }
  }
  const std::size_t whole = headBytes_ + head_->ContentLength;
  if (buffer_.size() < whole) return Read();
  std::string body = buffer_.substr(headBytes_, head_->ContentLength);
  buffer_.erase(0, whole);
  Enter(TState::Busy);
  NoDeadline();
  headRequest_ = head_->Method == "HEAD";
  const bool tls = tls_ != nullptr;
  front_.Handle(shared_from_this(), TFrontRequest::Make(*head_, std::move(body), address_, tls));
}

void THttpConnection::Read() {
  // Never more than the head's limit (and one byte to tell it was passed),
  // or than the rest of the body: bytes of a pipelined request stay unread.
  const std::size_t limit =
      head_ ? headBytes_ + head_->ContentLength - buffer_.size() : TRequestCheck::MaxHeadBytes + 1 - buffer_.size();
  const std::size_t want = std::min(chunk_.size(), limit);
  if (fd_ >= 0) {
    ssize_t got;
    do got = ::recv(fd_, chunk_.data(), want, MSG_DONTWAIT);
    while (got < 0 && errno == EINTR);
    if (got > 0) {
      buffer_.append(chunk_.data(), static_cast<std::size_t>(got));
      return Take();
    }
    if (got == 0 || (errno != EAGAIN && errno != EWOULDBLOCK) || !Adopt()) return Close();
  }
  auto done = [self = shared_from_this()](boost::system::error_code ec, std::size_t got) {
    if (ec || self->state_ == TState::Closed) return self->Close();
    self->buffer_.append(self->chunk_.data(), got);
    self->Take();
  };
  const auto into = asio::buffer(chunk_.data(), want);
  if (tls_)
    tls_->async_read_some(into, std::move(done));
  else
    plain_.async_read_some(into, std::move(done));
}

void THttpConnection::Refuse(const ERequestRefused& refusal) {
  front_.log_.Write(TLogPriority::Warning, "event=refused_request" + TRequestLog::Field("address", address_) +
                                               " status=" + std::to_string(refusal.Status()) +
                                               TRequestLog::Field("reason", refusal.Message()));
  head_.reset();
  headRequest_ = false;
  Write(TAnswers::Refused(refusal.Status(), refusal.Message()));
}

void THttpConnection::Answered(TFrontAnswer answer) {
  // On the loop's one thread (a commit group ending), the connection is this
  // thread's already: written now instead of a turn later.
  if (front_.OnTheLoop()) return Write(std::move(answer));
  asio::post(timer_.get_executor(),
             [self = shared_from_this(), answer = std::move(answer)]() mutable { self->Write(std::move(answer)); });
}

void THttpConnection::Write(TFrontAnswer answer) {
  if (state_ == TState::Closed) return;
  Enter(TState::Busy);
  Deadline(Now() + std::chrono::seconds(front_.limits_.WriteSeconds), nullptr);
  const bool close = answer.Close || !head_ || !head_->KeepAlive ||
                     ++requests_ >= front_.limits_.KeepAliveRequests || front_.stopping_;
  response_ = {};
  response_.version(11);
  response_.result(static_cast<unsigned>(answer.Status));
  response_.set(http::field::content_type, answer.ContentType);
  for (const auto& [name, value] : answer.Headers) response_.insert(name, value);
  response_.body() = std::move(answer.Body);
  response_.prepare_payload();
  response_.keep_alive(!close);
  if (headRequest_) response_.body().clear();  // the length stays that of the body not sent
  auto done = [self = shared_from_this(), close](boost::system::error_code ec, std::size_t) {
    if (ec || close) return self->Close();
    self->NextRequest();
  };
  if (tls_) return http::async_write(*tls_, response_, std::move(done));
  serializer_.emplace(response_);
  if (fd_ >= 0) {
    if (WriteNow()) {
      if (close) return Close();
      // Answers are written where a commit group ends, which must not be
      // used again from there: the next request is read a step later. It is
      // idle meanwhile (one to close first should the front be full).
      Enter(TState::Idle);
      return asio::post(timer_.get_executor(), [self = shared_from_this()] {
        if (self->state_ != TState::Closed) self->NextRequest();
      });
    }
    if (!Adopt()) return Close();
  }
  http::async_write(plain_, *serializer_, std::move(done));
}

bool THttpConnection::WriteNow() {
  boost::system::error_code ec;
  while (!serializer_->is_done()) {
    // The head's pieces and the body, in one call.
    std::array<iovec, 128> parts{};
    std::size_t count = 0;
    serializer_->next(ec, [&](boost::system::error_code&, const auto& buffers) {
      for (auto it = asio::buffer_sequence_begin(buffers); it != asio::buffer_sequence_end(buffers); ++it) {
        const asio::const_buffer piece = *it;
        if (piece.size() == 0) continue;
        if (count == parts.size()) break;
        parts[count++] = {const_cast<void*>(piece.data()), piece.size()};
      }
    });
    if (ec) return false;
    msghdr message{};
    message.msg_iov = parts.data();
    message.msg_iovlen = count;
    ssize_t sent;
    do sent = ::sendmsg(fd_, &message, MSG_DONTWAIT | MSG_NOSIGNAL);
    while (sent < 0 && errno == EINTR);
    // What is left (or the failure) is Asio's to write (or to tell).
    if (sent < 0) return false;
    serializer_->consume(static_cast<std::size_t>(sent));
  }
  return true;
}

void THttpConnection::Close() {
  if (state_ == TState::Closed) return;
  Enter(TState::Closed);
  armed_ = false;
  timer_.cancel();
  if (fd_ >= 0) {
    ::close(fd_);
    fd_ = -1;
    return;
  }
  boost::system::error_code ec;
  Socket().close(ec);
}
