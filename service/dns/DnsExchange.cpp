#include "service/dns/DnsExchange.h"

#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace {
// Requests longer than this go over TCP from the start.
constexpr std::size_t MaxDatagram = 512;
constexpr std::size_t MaxAnswer = 65535;

bool Transient(int error) { return error == EAGAIN || error == EWOULDBLOCK || error == EINTR; }
}  // namespace

TDnsExchange::TDnsExchange(const TDnsServer& server, std::string request, TChecker checker, TClock::time_point deadline)
    : server_(server), request_(std::move(request)), checker_(std::move(checker)), deadline_(deadline) {
  if (request_.size() > MaxDatagram) {
    StartTcp();
  } else {
    StartUdp(TClock::now());
  }
}

TDnsExchange::~TDnsExchange() { CloseSocket(); }

void TDnsExchange::CloseSocket() {
  if (fd_ >= 0) ::close(fd_);
  fd_ = -1;
}

short TDnsExchange::Events() const {
  switch (stage_) {
    case TStage::TcpConnecting:
    case TStage::TcpSending:
      return POLLOUT;
    case TStage::Udp:
    case TStage::TcpReceiving:
      return POLLIN;
    case TStage::Finished:
      break;
  }
  return 0;
}

TDnsExchange::TClock::time_point TDnsExchange::NextTime() const {
  return stage_ == TStage::Udp && resendAt_ < deadline_ ? resendAt_ : deadline_;
}

void TDnsExchange::Finish(TDnsOutcome::TKind kind, std::string reason) {
  CloseSocket();
  stage_ = TStage::Finished;
  done_ = true;
  outcome_ = {kind, std::move(reason)};
}

void TDnsExchange::Fail(const std::string& what, int error) {
  // A closed UDP port is reported back as ECONNREFUSED on the next receive.
  const std::string text = error == ECONNREFUSED ? "nothing listens there (connection refused)" : std::strerror(error);
  Finish(TDnsOutcome::Failed, "no answer from " + server_.Text() + ": " + what + ": " + text);
}

void TDnsExchange::StartUdp(TClock::time_point now) {
  fd_ = ::socket(server_.Family(), SOCK_DGRAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
  if (fd_ < 0) return Fail("cannot open a socket", errno);
  if (::connect(fd_, server_.Address(), server_.AddressLength()) != 0) return Fail("cannot reach it", errno);
  resendAt_ = now;
  OnTime(now);
}

void TDnsExchange::StartTcp() {
  CloseSocket();
  stage_ = TStage::TcpConnecting;
  tcpOut_.clear();
  tcpOut_ += static_cast<char>(request_.size() >> 8);
  tcpOut_ += static_cast<char>(request_.size() & 0xff);
  tcpOut_ += request_;
  tcpSent_ = 0;
  tcpIn_.clear();
  fd_ = ::socket(server_.Family(), SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
  if (fd_ < 0) return Fail("cannot open a socket", errno);
  if (::connect(fd_, server_.Address(), server_.AddressLength()) == 0) {
    stage_ = TStage::TcpSending;
  } else if (errno != EINPROGRESS) {
    Fail("cannot connect over TCP", errno);
  }
}

void TDnsExchange::OnTime(TClock::time_point now) {
  if (done_) return;
  if (now >= deadline_) {
    const std::string base = "no answer from " + server_.Text();
    Finish(TDnsOutcome::Failed,
           lastDoubt_.empty() ? base + " in time" : base + " that could be believed: " + lastDoubt_);
    return;
  }
  if (stage_ != TStage::Udp || now < resendAt_) return;
  const ssize_t n = ::send(fd_, request_.data(), request_.size(), MSG_NOSIGNAL);
  if (n < 0 && !Transient(errno)) return Fail("cannot send", errno);
  resendAt_ = now + ResendInterval;
}

void TDnsExchange::OnReady(short revents, TClock::time_point now) {
  if (done_ || revents == 0) return;
  switch (stage_) {
    case TStage::Udp:
      ReadDatagrams();
      break;
    case TStage::TcpConnecting:
      FinishTcpConnect();
      break;
    case TStage::TcpSending:
      SendTcp();
      break;
    case TStage::TcpReceiving:
      ReceiveTcp();
      break;
    case TStage::Finished:
      break;
  }
  if (!done_) OnTime(now);
}

void TDnsExchange::ReadDatagrams() {
  char buffer[MaxAnswer];
  for (;;) {
    const ssize_t n = ::recv(fd_, buffer, sizeof buffer, MSG_DONTWAIT);
    if (n < 0) {
      if (Transient(errno)) return;
      return Fail("cannot receive", errno);
    }
    const std::string_view answer(buffer, static_cast<std::size_t>(n));
    // Only an answer to this request may move the exchange to TCP.
    if (answer.size() >= 12 && answer.substr(0, 2) == std::string_view(request_).substr(0, 2) &&
        (static_cast<uint8_t>(answer[2]) & 0x80) != 0 && (static_cast<uint8_t>(answer[2]) & 0x02) != 0) {
      StartTcp();
      return;
    }
    TDnsOutcome outcome = checker_(answer);
    if (outcome.Kind != TDnsOutcome::Unverified) {
      Finish(outcome.Kind, std::move(outcome.Reason));
      return;
    }
    lastDoubt_ = std::move(outcome.Reason);
  }
}

void TDnsExchange::FinishTcpConnect() {
  int error = 0;
  socklen_t length = sizeof error;
  if (::getsockopt(fd_, SOL_SOCKET, SO_ERROR, &error, &length) != 0) error = errno;
  if (error != 0) return Fail("cannot connect over TCP", error);
  stage_ = TStage::TcpSending;
  SendTcp();
}

void TDnsExchange::SendTcp() {
  while (tcpSent_ < tcpOut_.size()) {
    const ssize_t n = ::send(fd_, tcpOut_.data() + tcpSent_, tcpOut_.size() - tcpSent_, MSG_NOSIGNAL);
    if (n < 0) {
      if (Transient(errno)) return;
      return Fail("cannot send over TCP", errno);
    }
    tcpSent_ += static_cast<std::size_t>(n);
  }
  stage_ = TStage::TcpReceiving;
}

void TDnsExchange::ReceiveTcp() {
  char buffer[4096];
  for (;;) {
    // Never more than the answer's length says: the rest is none of ours.
    std::size_t want = sizeof buffer;
    if (tcpIn_.size() >= 2) {
      const std::size_t total = 2 + ((static_cast<uint8_t>(tcpIn_[0]) << 8) | static_cast<uint8_t>(tcpIn_[1]));
      want = std::min(want, total - tcpIn_.size());
    } else {
      want = 2 - tcpIn_.size();
    }
    const ssize_t n = ::recv(fd_, buffer, want, MSG_DONTWAIT);
    if (n < 0) {
      if (Transient(errno)) return;
      return Fail("cannot receive over TCP", errno);
    }
    if (n == 0)
      return Finish(TDnsOutcome::Failed,
                    "the name server " + server_.Text() + " closed the TCP connection before it answered");
    tcpIn_.append(buffer, static_cast<std::size_t>(n));
    if (tcpIn_.size() < 2) continue;
    const std::size_t total = 2 + ((static_cast<uint8_t>(tcpIn_[0]) << 8) | static_cast<uint8_t>(tcpIn_[1]));
    if (tcpIn_.size() < total) continue;
    TDnsOutcome outcome = checker_(std::string_view(tcpIn_).substr(2));
    // Over TCP nobody else can slip an answer in, so a doubtful one is the answer.
    if (outcome.Kind == TDnsOutcome::Unverified)
      return Finish(TDnsOutcome::Failed,
                    "no answer from " + server_.Text() + " that could be believed (over TCP): " + outcome.Reason);
    Finish(outcome.Kind, std::move(outcome.Reason));
    return;
  }
}
