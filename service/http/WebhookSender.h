// Tells account owners of their nodes' events through their webhooks:
// address-changed, node-stale, dns-failing and dns-recovered
// (TWebhookEvent), delivered as a signed JSON POST by a thread of its own.
//
// The deliveries live in the store: an event is queued there (AddDelivery)
// and the thread sends what is due, so what was not delivered yet is sent
// after a restart. A check-in's address change is queued right after the
// check-in is stored, on its thread, which costs one small write and no
// network; DNS state changes are only noted there (they are told under the
// DNS queue's lock) and queued by the thread, which also looks for nodes
// that went stale.
//
// Sending: the URL's host is resolved at each delivery, and only addresses
// that PublicAddress allows are connected to (all of them with
// AllowPrivate), so a name that points into the service's own network is
// refused however it resolves. Connecting is limited to ConnectTimeout, and
// the TLS handshake, the request and the answer's head together to
// AnswerTimeout; only the answer's status line and head are read (at most
// MaxAnswerHead bytes), never its body, so a receiver that answers garbage,
// without end or not at all costs a bounded time and memory. A 2xx status
// is delivered; anything else (redirects are not followed) is a failure.
// HTTPS checks the receiver's certificate against the system's authorities
// and its name.
//
// Failures are tried again after FirstRetry, doubling up to MaxRetry; a
// webhook that has failed for PauseAfter without a delivery in between is
// paused (the page says so, and nothing is queued for it) until its URL is
// set again. One log line when a webhook starts failing, one when it is
// paused and one when it delivers again, never one per retry.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "runtime/Exception.h"
#include "runtime/JournalLog.h"
#include "service/core/ServiceCore.h"
#include "service/http/WebhookEvent.h"

// A delivery did not arrive; the message says why, in words for the log and the account's page.
PINMARK_EXCEPTION_CLASS(EWebhookDelivery, Exception);

struct TWebhookOptions {
  // Send to loopback, private and link-local addresses too (tests, a receiver on the same network).
  bool AllowPrivate = false;
  std::chrono::milliseconds FirstRetry{5000};
  std::chrono::milliseconds MaxRetry{15 * 60 * 1000};
  std::chrono::milliseconds PauseAfter{24 * 60 * 60 * 1000};
  std::chrono::milliseconds ConnectTimeout{5000};
  std::chrono::milliseconds AnswerTimeout{10000};
  // A node is stale after this long without a check-in (the service's --stale-after).
  TServiceTime StaleAfter = TServiceRules{}.StaleAfter;
  std::string UserAgent = "pinmark-service";
};

class TWebhookSender {
 public:
  using TLog = std::function<void(TLogPriority, const std::string&)>;
  static constexpr std::size_t MaxAnswerHead = 8192;
  // DNS changes noted and not yet queued; beyond it the oldest are dropped (with a log line).
  static constexpr std::size_t MaxNoted = 10000;

  // store must outlive the sender; clock gives the time now.
  TWebhookSender(IServiceStore& store, TWebhookOptions options, TLog log, std::function<TServiceTime()> clock);
  ~TWebhookSender();
  TWebhookSender(const TWebhookSender&) = delete;
  TWebhookSender& operator=(const TWebhookSender&) = delete;

  void Start();
  // Stops the thread; a delivery on its way is given up after its time limits.
  void Stop();

  // After a check-in that created a node or moved it (change.Moved): notes
  // address-changed under a short lock and wakes the thread, which queues it
  // when the account has a webhook. Called by the front's event loop, which
  // must not wait for the database.
  void AddressChanged(const TAddressChange& change);
  // Address changes taken from the notes so far (queued or, for an account
  // without a webhook or a paused one, dropped).
  std::size_t ChangesTaken() const { return changesTaken_; }
  // The DNS update of the node's published name started failing, or
  // succeeded after failing; only noted, under a short lock.
  void DnsChanged(const std::string& node, const std::string& account, const std::string& name, bool failing,
                  const std::string& reason);

  // Sends one delivery now. Raises EWebhookDelivery with why it did not
  // arrive (a URL it does not take, a private address, no connection, no
  // answer in time, a failed TLS handshake, a status outside 2xx), or
  // OpenSSL's or Asio's own exception when the exchange cannot even be set up.
  void Send(const TDeliveryRecord& delivery);
  // The wait before attempt attempts + 1.
  std::chrono::milliseconds Backoff(int attempts) const;

 private:
  struct TNoted {
    std::string Node, Account, Name, Reason;
    bool Failing = false;
  };
  struct TMoved {
    std::int64_t AccountId = 0;
    std::string Node, Account, Event, Body;
    TServiceTime Time = 0;
  };
  void Run();
  // One turn: queues what was noted and what went stale, sends what is due;
  // returns how long to wait for the next one. Raises the store's exceptions.
  std::chrono::milliseconds Turn();
  void QueueNoted();
  void QueueStale(TServiceTime now);
  void Deliver(const TDeliveryRecord& delivery);

  IServiceStore& store_;
  TWebhookOptions options_;
  TLog log_;
  std::function<TServiceTime()> clock_;
  std::mutex lock_;
  std::condition_variable wake_;
  std::vector<TNoted> noted_;
  std::vector<TMoved> moved_;  // at most MaxNoted
  std::atomic<std::size_t> changesTaken_{0};
  bool stop_ = false, woken_ = false;
  TServiceTime nextStaleLook_ = 0;
  std::thread thread_;
};
