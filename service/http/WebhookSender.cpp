#include "service/http/WebhookSender.h"

#include <boost/asio/connect.hpp>
#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/ssl.hpp>
#include <boost/beast/core.hpp>
#include <boost/beast/http.hpp>
#include <boost/beast/ssl.hpp>

#include <algorithm>

#include "runtime/SysUtils.h"
#include "runtime/ThreadName.h"
#include "service/http/NodePages.h"
#include "service/http/RequestLog.h"
#include "service/http/WebhookUrl.h"

namespace asio = boost::asio;
namespace beast = boost::beast;
namespace http = beast::http;
using tcp = asio::ip::tcp;

namespace {
std::string Seconds(std::chrono::milliseconds limit) {
  return std::to_string((limit.count() + 999) / 1000) + " s";
}

// Runs one asynchronous step to its end; the stream's expiry ends it in time.
template <class Start>
beast::error_code RunStep(asio::io_context& io, Start start) {
  beast::error_code result;
  start([&result](beast::error_code ec, auto&&...) { result = ec; });
  io.restart();
  io.run();
  return result;
}

[[noreturn]] void Fail(const char* doing, const beast::error_code& ec, std::chrono::milliseconds limit) {
  if (ec == beast::error::timeout) throw EWebhookDelivery(std::string(doing) + ": no answer within " + Seconds(limit));
  throw EWebhookDelivery(std::string(doing) + ": " + ec.message());
}

// Writes the request and reads the answer's head over stream, both within answerLimit.
template <class Stream>
void Exchange(asio::io_context& io, Stream& stream, beast::tcp_stream& tcp,
              const http::request<http::string_body>& request, std::chrono::milliseconds answerLimit) {
  beast::error_code ec = RunStep(io, [&](auto handler) { http::async_write(stream, request, handler); });
  if (ec) Fail("sending", ec, answerLimit);
  beast::flat_buffer buffer(TWebhookSender::MaxAnswerHead);
  http::response_parser<http::empty_body> parser;
  parser.header_limit(TWebhookSender::MaxAnswerHead);
  // The body is never read: an answer with one is delivered once its head says so.
  parser.skip(true);
  ec = RunStep(io, [&](auto handler) { http::async_read_header(stream, buffer, parser, handler); });
  tcp.close();
  if (ec) Fail("reading the answer", ec, answerLimit);
  const unsigned status = parser.get().result_int();
  if (status >= 200 && status < 300) return;
  throw EWebhookDelivery("answered " + std::to_string(status) +
                         (status >= 300 && status < 400 ? " (redirects are not followed; give the URL it points to)" : ""));
}
}  // namespace

TWebhookSender::TWebhookSender(IServiceStore& store, TWebhookOptions options, TLog log,
                               std::function<TServiceTime()> clock)
    : store_(store), options_(std::move(options)), log_(std::move(log)), clock_(std::move(clock)) {}

TWebhookSender::~TWebhookSender() { Stop(); }

void TWebhookSender::Start() {
  if (thread_.joinable()) return;
  stop_ = false;
  thread_ = std::thread([this] { Run(); });
}

void TWebhookSender::Stop() {
  if (!thread_.joinable()) return;
  {
    std::lock_guard<std::mutex> hold(lock_);
    stop_ = true;
  }
  wake_.notify_all();
  thread_.join();
}

void TWebhookSender::AddressChanged(const TAddressChange& change) {
  if (!change.Moved) return;
  const TWebhookEvent event = TWebhookEvent::AddressChanged(change.Account, change.Node, change.IPv4, change.IPv6,
                                                            change.Previous, change.Address, change.Time);
  {
    std::lock_guard<std::mutex> hold(lock_);
    if (moved_.size() >= MaxNoted) moved_.erase(moved_.begin());
    moved_.push_back({change.AccountId, change.Node, change.Account, event.Event, event.Body(), change.Time});
    woken_ = true;
  }
  wake_.notify_one();
}

void TWebhookSender::DnsChanged(const std::string& node, const std::string& account, const std::string& name,
                                bool failing, const std::string& reason) {
  {
    std::lock_guard<std::mutex> hold(lock_);
    if (noted_.size() >= MaxNoted) noted_.erase(noted_.begin());
    noted_.push_back({node, account, name, reason, failing});
    woken_ = true;
  }
  wake_.notify_one();
}

std::chrono::milliseconds TWebhookSender::Backoff(int attempts) const {
  std::chrono::milliseconds delay = options_.FirstRetry;
  for (int i = 1; i < attempts && delay < options_.MaxRetry; ++i) delay *= 2;
  return std::min(delay, options_.MaxRetry);
}

void TWebhookSender::Send(const TDeliveryRecord& delivery) {
  TWebhookUrl url;
  try {
    url = TWebhookUrl::Parse(delivery.Webhook.Url);
  } catch (const EWebhookUrl& e) {
    throw EWebhookDelivery(e.Message());
  }
  asio::io_context io;
  tcp::resolver resolver(io);
  beast::error_code ec;
  // Resolved here, by the system's resolver, within its own time limits:
  // this thread is the senders' alone.
  const tcp::resolver::results_type found = resolver.resolve(url.Host, std::to_string(url.Port), ec);
  if (ec) throw EWebhookDelivery("cannot resolve " + url.Host + ": " + ec.message());
  std::vector<tcp::endpoint> allowed;
  std::string refused;
  for (const auto& entry : found) {
    const tcp::endpoint endpoint = entry.endpoint();
    if (options_.AllowPrivate || PublicAddress(endpoint.address()))
      allowed.push_back(endpoint);
    else if (refused.empty())
      refused = endpoint.address().to_string();
  }
  if (allowed.empty())
    throw EWebhookDelivery(url.Host + " is at " + refused +
                           ", a loopback, private or link-local address, which webhooks are not sent to"
                           " (unless the service runs with --webhook-allow-private)");

  http::request<http::string_body> request{http::verb::post, url.Target, 11};
  request.set(http::field::host, url.HostField());
  request.set(http::field::user_agent, options_.UserAgent);
  request.set(http::field::content_type, "application/json");
  request.set(http::field::connection, "close");
  request.set("X-Pinmark-Event", delivery.Event);
  request.set("X-Pinmark-Delivery", std::to_string(delivery.Id));
  request.set("X-Pinmark-Signature", WebhookSignature(delivery.Webhook.Secret, delivery.Body));
  request.body() = delivery.Body;
  request.prepare_payload();

  beast::tcp_stream tcp(io);
  tcp.expires_after(options_.ConnectTimeout);
  ec = RunStep(io, [&](auto handler) { tcp.async_connect(allowed, handler); });
  if (ec) Fail(("connecting to " + url.HostField()).c_str(), ec, options_.ConnectTimeout);
  tcp.expires_after(options_.AnswerTimeout);
  if (!url.Https) return Exchange(io, tcp, tcp, request, options_.AnswerTimeout);

  asio::ssl::context context(asio::ssl::context::tls_client);
  context.set_default_verify_paths();
  context.set_verify_mode(asio::ssl::verify_peer);
  context.set_options(asio::ssl::context::no_tlsv1 | asio::ssl::context::no_tlsv1_1);
  beast::ssl_stream<beast::tcp_stream&> tls(tcp, context);
  const bool named = url.Host.find_first_not_of("0123456789.:") != std::string::npos;
  if (named && !SSL_set_tlsext_host_name(tls.native_handle(), url.Host.c_str())) throw EWebhookDelivery("cannot set the TLS name");
  tls.set_verify_callback(asio::ssl::host_name_verification(url.Host));
  ec = RunStep(io, [&](auto handler) { tls.async_handshake(asio::ssl::stream_base::client, handler); });
  if (ec) Fail("TLS handshake", ec, options_.AnswerTimeout);
  return Exchange(io, tls, tcp, request, options_.AnswerTimeout);
}

void TWebhookSender::QueueNoted() {
  std::vector<TMoved> moved;
  std::vector<TNoted> noted;
  {
    std::lock_guard<std::mutex> hold(lock_);
    moved.swap(moved_);
    noted.swap(noted_);
  }
  for (const TMoved& m : moved) {
    try {
      store_.AddDelivery(m.AccountId, m.Event, m.Body, m.Time);
    } catch (const std::exception& e) {
      if (log_)
        log_(TLogPriority::Error, "event=webhook" + TRequestLog::Field("account", m.Account) +
                                      TRequestLog::Field("node", m.Node) + " state=unqueued" +
                                      TRequestLog::Field("reason", e.what()));
    }
    ++changesTaken_;
  }
  for (auto it = noted.begin(); it != noted.end(); ++it) {
    try {
      const std::optional<TAccountRecord> account = store_.FindAccount(it->Account);
      if (!account) continue;
      TNodeRecord node;
      node.Name = it->Node;
      for (const TNodeRecord& n : store_.Nodes(account->Id))
        if (SameText(n.Name, it->Node)) node = n;
      const TWebhookEvent event =
          TWebhookEvent::DnsChanged(account->Name, node, it->Name, it->Failing, it->Reason, clock_());
      store_.AddDelivery(account->Id, event.Event, event.Body(), event.Time);
    } catch (...) {
      // What was not queued waits for the next turn, before anything noted since.
      std::lock_guard<std::mutex> hold(lock_);
      noted_.insert(noted_.begin(), it, noted.end());
      throw;
    }
  }
}

void TWebhookSender::QueueStale(TServiceTime now) {
  if (now < nextStaleLook_) return;
  // A node is told stale once per silence; a look every quarter of the
  // stale time (at most a minute apart) tells it soon after.
  const TServiceTime every = std::clamp<TServiceTime>(options_.StaleAfter / 4, 1000, 60000);
  // Instances sharing the store look one at a time, so each node is told
  // once; one that finds another looking leaves this look to it.
  store_.RunAlone("webhook-stale", [&] {
    for (const TStaleNode& stale : store_.UntoldStaleNodes(now - options_.StaleAfter, 1000)) {
      const TWebhookEvent event = TWebhookEvent::NodeStale(stale.Account, stale.Node, now);
      store_.AddDelivery(stale.AccountId, event.Event, event.Body(), now, stale.Node.Id, stale.Node.LastCheckIn);
    }
  });
  nextStaleLook_ = now + every;
}

void TWebhookSender::Deliver(const TDeliveryRecord& delivery) {
  std::string error;
  try {
    Send(delivery);
  } catch (const EWebhookDelivery& e) {
    error = e.Message();
  } catch (const std::exception& e) {
    // OpenSSL or Asio could not even set the exchange up: a failure of this delivery, tried again like any.
    error = e.what();
  }
  const TServiceTime now = clock_();
  const std::string who = "event=webhook" + TRequestLog::Field("account", delivery.Account);
  if (error.empty()) {
    store_.DeliveryDone(delivery.Id);
    if (delivery.Webhook.FailingSince != 0 && log_)
      log_(TLogPriority::Info, who + " state=delivering" + TRequestLog::Field("delivered", delivery.Event) +
                                   TRequestLog::Field("failing_since", ReadableTime(delivery.Webhook.FailingSince)));
    return;
  }
  const TServiceTime failingSince = delivery.Webhook.FailingSince != 0 ? delivery.Webhook.FailingSince : now;
  const bool pause = now - failingSince >= options_.PauseAfter.count();
  const TServiceTime due = now + Backoff(delivery.Attempts + 1).count();
  store_.DeliveryFailed(delivery.Id, due, error, now, pause);
  if (!log_) return;
  if (pause)
    log_(TLogPriority::Error, who + " state=paused" + TRequestLog::Field("failing_since", ReadableTime(failingSince)) +
                                  TRequestLog::Field("reason", error + " (setting its URL again resumes it)"));
  else if (delivery.Webhook.FailingSince == 0)
    log_(TLogPriority::Warning, who + " state=failing" +
                                    TRequestLog::Field("reason", error + " (trying again, without a line per attempt)"));
}

std::chrono::milliseconds TWebhookSender::Turn() {
  QueueNoted();
  TServiceTime now = clock_();
  QueueStale(now);
  // Every delivery that is due, one after the other, each taken for longer
  // than a delivery may last; what is not due yet sets the wait.
  const TServiceTime lease = 4 * (options_.ConnectTimeout + options_.AnswerTimeout).count();
  while (true) {
    {
      std::lock_guard<std::mutex> hold(lock_);
      if (stop_) return std::chrono::milliseconds(0);
    }
    now = clock_();
    if (const std::optional<TDeliveryRecord> due = store_.ClaimDelivery(now, now + lease)) {
      Deliver(*due);
      continue;
    }
    const std::optional<TDeliveryRecord> next = store_.NextDelivery();
    TServiceTime wait = nextStaleLook_ - now;
    if (next) wait = std::min(wait, next->Due - now);
    return std::chrono::milliseconds(std::max<TServiceTime>(wait, 1));
  }
}

void TWebhookSender::Run() {
  NameThreadForDebugging("webhooks");
  bool failing = false;
  while (true) {
    std::chrono::milliseconds wait(1000);
    std::string error;
    try {
      wait = Turn();
    } catch (const std::exception& e) {
      error = e.what();
    }
    if (error.empty() == failing && log_) {
      failing = !error.empty();
      log_(failing ? TLogPriority::Error : TLogPriority::Info,
           failing ? "event=webhook state=store_failing" + TRequestLog::Field("reason", error + " (trying again every second)")
                   : std::string("event=webhook state=store_working"));
    }
    std::unique_lock<std::mutex> hold(lock_);
    if (stop_) return;
    wake_.wait_for(hold, wait, [this] { return stop_ || woken_; });
    woken_ = false;
    if (stop_) return;
  }
}
