// One request to the name server and the wait for its answer, driven by a
// poll loop that runs many of them at once without blocking on any.
//
// The request goes out over UDP and is sent again every ResendInterval
// until an answer comes or the deadline passes; an answer with the
// truncation bit (or a request too large for a datagram) moves the exchange
// to TCP. Each datagram that carries the request's ID is handed to the
// checker; one the checker cannot believe (unsigned, forged, unreadable) is
// set aside and the wait goes on, so a stray or spoofed packet cannot cut it
// short. The UDP socket is connected, so the kernel drops datagrams from
// anyone but the server.
//
// Guarantees: nothing blocks (every socket is non-blocking); every
// exchange ends by its deadline with an outcome that says why; an answer is
// read whole over TCP up to its 2-byte length and never beyond.
#pragma once

#include <chrono>
#include <functional>
#include <string>
#include <string_view>

#include "service/dns/DnsServer.h"
#include "service/dns/DnsUpdate.h"

class TDnsExchange {
 public:
  using TClock = std::chrono::steady_clock;
  using TChecker = std::function<TDnsOutcome(std::string_view answer)>;
  static constexpr std::chrono::milliseconds ResendInterval{1000};

  // Sends request (its ID in the first two bytes) to server at once.
  TDnsExchange(const TDnsServer& server, std::string request, TChecker checker, TClock::time_point deadline);
  ~TDnsExchange();
  TDnsExchange(const TDnsExchange&) = delete;
  TDnsExchange& operator=(const TDnsExchange&) = delete;

  // The socket and the poll events to wait for; -1 once done.
  int Fd() const { return fd_; }
  short Events() const;
  // When OnTime should be called next (a resend or the deadline).
  TClock::time_point NextTime() const;

  // After poll: revents for Fd(). And when NextTime has come.
  void OnReady(short revents, TClock::time_point now);
  void OnTime(TClock::time_point now);

  bool Done() const { return done_; }
  const TDnsOutcome& Outcome() const { return outcome_; }

 private:
  enum class TStage { Udp, TcpConnecting, TcpSending, TcpReceiving, Finished };
  void StartUdp(TClock::time_point now);
  void StartTcp();
  void ReadDatagrams();
  void FinishTcpConnect();
  void SendTcp();
  void ReceiveTcp();
  void Finish(TDnsOutcome::TKind kind, std::string reason);
  void Fail(const std::string& what, int error);
  void CloseSocket();

  const TDnsServer& server_;
  std::string request_;
  TChecker checker_;
  TClock::time_point deadline_, resendAt_;
  TStage stage_ = TStage::Udp;
  int fd_ = -1;
  std::string tcpOut_;
  std::size_t tcpSent_ = 0;
  std::string tcpIn_;
  std::string lastDoubt_;  // why the last datagram was not believed
  bool done_ = false;
  TDnsOutcome outcome_;
};
