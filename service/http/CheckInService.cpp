#include "service/http/CheckInService.h"

#include <httplib.h>
#include <sys/socket.h>

#include <chrono>
#include <ctime>
#include <fstream>
#include <sstream>

#include "runtime/SysUtils.h"
#include "service/core/AccountList.h"
#include "service/core/PasswordHash.h"
#include "service/http/GuardedServer.h"
#include "service/http/NodePages.h"
#include "service/http/NodePublisher.h"
#include "service/http/RequestText.h"
#include "service/store/MemoryStore.h"
#include "settings/md5.h"

namespace {
const char kUpdatePath[] = "/includes/r_update.php";
// The pages hold no script and load nothing from elsewhere.
const char kPagePolicy[] =
    "default-src 'none'; style-src 'self'; img-src 'self'; form-action 'self'; frame-ancestors 'none'; "
    "base-uri 'none'";

std::string Timestamp() {
  std::time_t now = std::time(nullptr);
  std::tm tm{};
  localtime_r(&now, &tm);
  char buf[32];
  std::strftime(buf, sizeof buf, "%Y-%m-%d %H:%M:%S", &tm);
  return buf;
}

// Answers with the status and text and then drops the connection, so that
// the unread body that follows is never taken for a request. The provider
// writes the whole text and then reports failure: that is how the library
// learns to close the connection after an answer.
void AnswerAndClose(httplib::Response& res, int status, const char* text) {
  res.status = status;
  res.set_header("Connection", "close");
  const std::string body = text;
  res.set_content_provider(body.size(), "text/plain", [body](size_t offset, size_t, httplib::DataSink& sink) {
    sink.write(body.data() + offset, body.size() - offset);
    return false;
  });
}

// Refuses a body the service will not read, before any of it is read.
httplib::Server::HandlerResponse RefuseUnwantedBody(const httplib::Request& req, httplib::Response& res) {
  using Handled = httplib::Server::HandlerResponse;
  // Reading stopped at the limit: what was read is not the whole request.
  if (TGuardedServer::RefusedForSize() == 431) {
    AnswerAndClose(res, 431, "request head too large\n");
    return Handled::Handled;
  }
  // A chunked body has no size to judge before reading it; no request here needs one.
  if (req.has_header("Transfer-Encoding")) {
    AnswerAndClose(res, 413, "request bodies are not accepted in chunks\n");
    return Handled::Handled;
  }
  const std::string length = req.get_header_value("Content-Length");
  if (length.empty() || length == "0") return Handled::Unhandled;
  if (length.find_first_not_of("0123456789") != std::string::npos) {
    AnswerAndClose(res, 400, "invalid Content-Length\n");
    return Handled::Handled;
  }
  if (length.size() > 9 || std::stoul(length) > TCheckInService::MaxRequestBody) {
    AnswerAndClose(res, 413, "request body too large\n");
    return Handled::Handled;
  }
  // The library reads no body for these methods, so one would be taken for the next request.
  if (req.method == "GET" || req.method == "HEAD" || req.method == "OPTIONS") {
    AnswerAndClose(res, 400, "this request carries no body\n");
    return Handled::Handled;
  }
  return Handled::Unhandled;
}

void Page(httplib::Response& res, int status, const std::string& html, bool personal) {
  res.status = status;
  res.set_header("Content-Security-Policy", kPagePolicy);
  res.set_header("X-Content-Type-Options", "nosniff");
  res.set_header("Referrer-Policy", "no-referrer");
  res.set_header("X-Frame-Options", "DENY");
  if (personal) res.set_header("Cache-Control", "no-store");
  res.set_content(html, "text/html; charset=utf-8");
}

void Json(httplib::Response& res, int status, const std::string& json) {
  res.status = status;
  res.set_header("Cache-Control", "no-store");
  res.set_header("X-Content-Type-Options", "nosniff");
  res.set_content(json, "application/json");
}

void SeeNodes(httplib::Response& res) {
  res.status = 303;
  res.set_header("Location", "/nodes");
  res.set_content("see /nodes\n", "text/plain");
}

std::string RetryAfter(TServiceTime milliseconds) { return std::to_string((milliseconds + 999) / 1000); }

std::string Minutes(TServiceTime milliseconds) {
  const TServiceTime minutes = (milliseconds + 59999) / 60000;
  return std::to_string(minutes) + (minutes == 1 ? " minute" : " minutes");
}

std::string Digest(const std::string& password) { return DigestToHex(MD5OfString(password)); }

std::string StatusText(int status) {
  const char* reason = status == 400   ? "bad request"
                       : status == 404 ? "not found"
                       : status == 405 ? "method not allowed"
                       : status == 413 ? "request too large"
                       : status == 414 ? "request URI too long"
                                       : "the request was not answered";
  return std::to_string(status) + " " + reason + "\n";
}

std::string Param(const httplib::Request& req, const char* name) {
  return req.has_param(name) ? req.get_param_value(name) : std::string();
}
}  // namespace

TCheckInService::TCheckInService()
    : TCheckInService(std::make_unique<TMemoryStore>(), TServiceRules{}, TTrustedProxies{}) {}

TCheckInService::TCheckInService(const std::string& certFile, const std::string& keyFile)
    : TCheckInService(std::make_unique<TMemoryStore>(), TServiceRules{}, TTrustedProxies{}, certFile, keyFile) {}

TCheckInService::TCheckInService(std::unique_ptr<IServiceStore> store, TServiceRules rules, TTrustedProxies proxies,
                                 const std::string& certFile, const std::string& keyFile)
    : tls_(!certFile.empty()),
      store_(std::move(store)),
      core_(std::make_unique<TServiceCore>(*store_, std::move(rules))),
      proxies_(std::move(proxies)),
      server_(tls_ ? std::make_unique<TGuardedServer>(certFile, keyFile) : std::make_unique<TGuardedServer>()) {
  Clock = [] {
    return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::system_clock::now().time_since_epoch())
        .count();
  };
  Configure();
}

void TCheckInService::Configure() {
  // The library's pool has as many workers as the machine has cores, and a
  // connection that sends nothing holds one for the whole keep-alive wait: a
  // few dozen idle connections would stall every check-in behind them.
  server_->new_task_queue = [] { return new httplib::ThreadPool(Workers); };
  server_->set_read_timeout(TimeoutSeconds, 0);
  server_->set_write_timeout(TimeoutSeconds, 0);
  server_->set_keep_alive_timeout(TimeoutSeconds);
  server_->set_keep_alive_max_count(KeepAliveRequests);
  server_->set_payload_max_length(MaxRequestBody);
  server_->SetMaxBodyBytes(MaxRequestBody);
  server_->set_pre_routing_handler(RefuseUnwantedBody);
  // Called once, for the listening socket before it is bound. Plain address
  // reuse lets the service restart while old connections linger; the
  // library's default would also let another process bind the same port.
  server_->set_socket_options([this](int sock) {
    int yes = 1;
    ::setsockopt(sock, SOL_SOCKET, SO_REUSEADDR, &yes, sizeof yes);
    if (listenFd_ < 0) listenFd_ = sock;
  });
  // Refusals the library makes itself (a URI too long, an unknown path) get a text saying so.
  server_->set_error_handler(httplib::Server::HandlerWithResponse([](const httplib::Request&, httplib::Response& res) {
    // A head cut off at its limit may have failed to parse; the limit is the reason to give.
    if (TGuardedServer::RefusedForSize() == 431 && !res.content_provider_) {
      res.status = 431;
      res.set_header("Connection", "close");
      res.set_content("request head too large\n", "text/plain");
      return httplib::Server::HandlerResponse::Handled;
    }
    if (!res.body.empty() || res.content_provider_) return httplib::Server::HandlerResponse::Unhandled;
    res.set_content(StatusText(res.status), "text/plain");
    return httplib::Server::HandlerResponse::Handled;
  }));
  server_->set_exception_handler([this](const httplib::Request& req, httplib::Response& res, std::exception_ptr e) {
    std::string what = "unknown exception";
    try {
      std::rethrow_exception(e);
    } catch (const std::exception& error) {
      what = error.what();
    } catch (...) {
    }
    Log(TLogPriority::Error, Timestamp() + " failed path=" + LogValue(req.path) + ": " + what);
    res.status = 500;
    res.set_content("the service failed to answer this request\n", "text/plain");
  });
  Route();
}

std::string TCheckInService::LogValue(const std::string& value) {
  return PercentEncode(value, [](unsigned char c) { return c > ' ' && c < 0x7F && c != '%'; });
}

bool TCheckInService::Valid() const { return server_->is_valid(); }

TCheckInService::~TCheckInService() { Stop(); }

void TCheckInService::AddAccount(const std::string& name, const std::string& digest) {
  const std::string hash = TPasswordHash::Plain(digest);
  if (!store_->AddAccount(name, hash, Now())) store_->SetPasswordHash(name, hash);
}

void TCheckInService::PublishInDns(const TDnsSettings& settings, std::unique_ptr<IDnsQueueStore> queueStore,
                                   TDnsQueueOptions queueOptions, TDnsWorkerOptions workerOptions) {
  auto log = [this](TLogPriority priority, const std::string& line) { Log(priority, Timestamp() + " " + line); };
  auto dns = std::make_unique<TDnsPublisher>(settings, *queueStore, queueOptions, workerOptions, log);
  dnsStore_ = std::move(queueStore);
  dns_ = std::move(dns);
  nodePublisher_ = std::make_unique<TNodePublisher>(*store_, *dns_, log);
  core_->OnAddressChanged = [this](const TAddressChange& change) { nodePublisher_->Changed(change); };
  dns_->Start();
  nodePublisher_->Start();
}

std::vector<TNodeView> TCheckInService::Nodes(const TAccountRecord& account, TServiceTime now) {
  std::vector<TNodeView> nodes = core_->Nodes(account, now);
  if (nodePublisher_)
    for (TNodeView& node : nodes) node.Dns = nodePublisher_->View(node, account.Name);
  return nodes;
}

bool TCheckInService::LoadAccounts(const std::string& file, std::string& error) {
  std::ifstream in(file, std::ios::binary);
  std::stringstream text;
  if (!in || !(text << in.rdbuf())) {
    error = "cannot read " + file;
    return false;
  }
  std::vector<TListedAccount> accounts;
  if (!ReadAccountList(text.str(), file, accounts, error)) return false;
  for (const TListedAccount& account : accounts) AddAccount(account.Name, account.Digest);
  return true;
}

void TCheckInService::Log(TLogPriority priority, const std::string& text) const {
  if (OnLog) OnLog(priority, text);
}

TServiceTime TCheckInService::Now() const { return Clock(); }

std::string TCheckInService::Caller(const httplib::Request& req) const {
  std::vector<std::string> forwarded;
  if (!proxies_.Empty())
    for (std::size_t i = 0, n = req.get_header_value_count("X-Forwarded-For"); i < n; ++i)
      forwarded.push_back(req.get_header_value("X-Forwarded-For", i));
  return proxies_.Caller(req.remote_addr, forwarded);
}

bool TCheckInService::Https(const httplib::Request& req) const {
  if (tls_) return true;
  // A trusted proxy that took the request over TLS says so.
  return SameText(req.get_header_value("X-Forwarded-Proto"), "https") && proxies_.Trusted(req.remote_addr);
}

void TCheckInService::CheckIn(const httplib::Request& req, httplib::Response& res) {
  if (!req.has_param("userid") || !req.has_param("enc")) {
    res.status = 400;
    res.set_content("missing userid or enc\n", "text/plain");
    return;
  }
  const std::string name = req.get_param_value("userid");
  const std::string node = Param(req, "node");
  const std::string caller = Caller(req);
  const TCheckInResult r = core_->CheckIn(name, req.get_param_value("enc"), node, caller, Now());
  const std::string who = " node=" + LogValue(node) + " user=" + LogValue(name) + " address=" + LogValue(caller);
  switch (r.Answer) {
    case TAnswer::Ok:
      ++checkIns_;
      Log(TLogPriority::Info, Timestamp() + who);
      res.status = 200;
      res.set_content(r.Address, "text/plain");
      return;
    case TAnswer::BadRequest:
      Log(TLogPriority::Warning, Timestamp() + " refused" + who + ": " + r.Problem);
      res.status = 400;
      res.set_content(r.Problem + "\n", "text/plain");
      return;
    case TAnswer::Limited:
      Log(TLogPriority::Warning, Timestamp() + " limited" + who + ": too many failed attempts");
      res.status = 429;
      res.set_header("Retry-After", RetryAfter(r.RetryAfter));
      res.set_content("too many failed check-ins; try again later\n", "text/plain");
      return;
    case TAnswer::TooManyNodes:
      Log(TLogPriority::Warning, Timestamp() + " refused" + who + ": too many nodes");
      res.status = 403;
      res.set_content("this account has as many nodes as it may have\n", "text/plain");
      return;
    case TAnswer::Unavailable:
      Log(TLogPriority::Error, Timestamp() + " unrecorded" + who + ": " + r.Problem);
      res.status = 503;
      res.set_header("Retry-After", std::to_string(RetryAfterSeconds));
      res.set_content("the service cannot record check-ins right now; try again later\n", "text/plain");
      return;
    case TAnswer::BadAuth:
      break;
  }
  Log(TLogPriority::Warning, Timestamp() + " refused" + who);
  res.status = 403;
  res.set_content("unknown account or wrong password\n", "text/plain");
}

void TCheckInService::DynDns2(const httplib::Request& req, httplib::Response& res) {
  const std::optional<TBasicCredentials> credentials = ParseBasicAuthorization(req.get_header_value("Authorization"));
  const std::string caller = Caller(req);
  if (!credentials) {
    res.status = 401;
    res.set_header("WWW-Authenticate", "Basic realm=\"pinmark-service\", charset=\"UTF-8\"");
    res.set_content("badauth\n", "text/plain");
    return;
  }
  TSignIn signIn;
  const std::vector<TDynDns2Line> lines =
      core_->DynDns2Update(credentials->User, Digest(credentials->Password), Param(req, "hostname"), Param(req, "myip"),
                           caller, Now(), &signIn);
  std::string body;
  const std::string who = " user=" + LogValue(credentials->User) + " address=" + LogValue(caller);
  for (const TDynDns2Line& line : lines) {
    body += line.Answer + "\n";
    const std::size_t blank = line.Answer.find(' ');
    const std::string word = line.Answer.substr(0, blank);
    const TLogPriority priority = word == "good" || word == "nochg" ? TLogPriority::Info
                                  : word == "911"                   ? TLogPriority::Error
                                                                    : TLogPriority::Warning;
    std::string text =
        Timestamp() + " dyndns2" + (line.Host.empty() ? "" : " host=" + LogValue(line.Host)) + who + " answer=" + word;
    if (blank != std::string::npos) text += " ip=" + LogValue(line.Answer.substr(blank + 1));
    if (!signIn.Problem.empty()) text += ": " + signIn.Problem;
    Log(priority, text);
  }
  res.status = 200;
  res.set_header("Cache-Control", "no-store");
  res.set_content(body, "text/plain");
}

std::optional<TAccountRecord> TCheckInService::Session(const httplib::Request& req) {
  const std::optional<std::string> token = CookieValue(req.get_header_value("Cookie"), SessionCookie);
  if (!token) return std::nullopt;
  std::optional<TAccountRecord> account = sessions_.Find(*token, Now());
  // An account removed or given a new password since takes its sessions with it.
  if (account && !core_->StillValid(*account)) {
    sessions_.End(*token);
    return std::nullopt;
  }
  return account;
}

void TCheckInService::NodesPage(const httplib::Request& req, httplib::Response& res) {
  try {
    const std::optional<TAccountRecord> account = Session(req);
    if (!account) return Page(res, 200, SignInPage("", ""), true);
    const TServiceTime now = Now();
    Page(res, 200, ::NodesPage(*account, Nodes(*account, now), now, core_->Rules().StaleAfter), true);
  } catch (const EStoreError& e) {
    Log(TLogPriority::Error, Timestamp() + " unavailable page=/nodes: " + e.Message());
    res.set_header("Retry-After", std::to_string(RetryAfterSeconds));
    Page(res, 503, MessagePage("Unavailable", "The service cannot read its nodes right now; try again shortly."), true);
  }
}

void TCheckInService::SignIn(const httplib::Request& req, httplib::Response& res) {
  const std::string name = Param(req, "name");
  const std::string caller = Caller(req);
  if (!req.has_param("name") || !req.has_param("password"))
    return Page(res, 400, SignInPage("", "Give an account name and a password."), true);
  const TSignIn r = core_->SignIn(name, Digest(Param(req, "password")), caller, Now());
  const std::string who = " user=" + LogValue(name) + " address=" + LogValue(caller);
  switch (r.Answer) {
    case TAnswer::Ok: {
      const std::string token = sessions_.Begin(r.Account, Now());
      std::string cookie = std::string(SessionCookie) + "=" + token +
                           "; Path=/; Max-Age=" + std::to_string(TSessions::Lifetime / 1000) +
                           "; HttpOnly; SameSite=Strict";
      if (Https(req)) cookie += "; Secure";
      res.set_header("Set-Cookie", cookie);
      res.set_header("Cache-Control", "no-store");
      Log(TLogPriority::Info, Timestamp() + " signed in" + who);
      return SeeNodes(res);
    }
    case TAnswer::BadRequest:
      Log(TLogPriority::Warning, Timestamp() + " sign-in refused" + who + ": " + r.Problem);
      return Page(res, 400, SignInPage("", "That is no account name: " + r.Problem + "."), true);
    case TAnswer::Limited:
      Log(TLogPriority::Warning, Timestamp() + " sign-in limited" + who + ": too many failed attempts");
      res.set_header("Retry-After", RetryAfter(r.RetryAfter));
      return Page(res, 429, SignInPage(name, "Too many failed sign-ins. Try again in " + Minutes(r.RetryAfter) + "."),
                  true);
    case TAnswer::Unavailable:
      Log(TLogPriority::Error, Timestamp() + " sign-in unavailable" + who + ": " + r.Problem);
      res.set_header("Retry-After", std::to_string(RetryAfterSeconds));
      return Page(res, 503, SignInPage(name, "The service cannot sign you in right now; try again shortly."), true);
    default:
      Log(TLogPriority::Warning, Timestamp() + " sign-in refused" + who);
      return Page(res, 403, SignInPage(name, "Wrong account name or password."), true);
  }
}

void TCheckInService::SignOut(const httplib::Request& req, httplib::Response& res) {
  if (const std::optional<std::string> token = CookieValue(req.get_header_value("Cookie"), SessionCookie))
    sessions_.End(*token);
  std::string cookie = std::string(SessionCookie) + "=; Path=/; Max-Age=0; HttpOnly; SameSite=Strict";
  if (Https(req)) cookie += "; Secure";
  res.set_header("Set-Cookie", cookie);
  SeeNodes(res);
}

void TCheckInService::NodesJson(const httplib::Request& req, httplib::Response& res) {
  const std::optional<TBasicCredentials> credentials = ParseBasicAuthorization(req.get_header_value("Authorization"));
  auto refuse = [&](int status, const char* error) {
    if (status == 401) res.set_header("WWW-Authenticate", "Basic realm=\"pinmark-service\", charset=\"UTF-8\"");
    Json(res, status, std::string("{\"error\":") + JsonString(error) + "}\n");
  };
  if (!credentials) return refuse(401, "sign in with the account's name and password (Basic)");
  const std::string caller = Caller(req);
  const std::string who = " user=" + LogValue(credentials->User) + " address=" + LogValue(caller);
  const TSignIn r = core_->SignIn(credentials->User, Digest(credentials->Password), caller, Now());
  switch (r.Answer) {
    case TAnswer::Ok:
      break;
    case TAnswer::Limited:
      Log(TLogPriority::Warning, Timestamp() + " api limited" + who + ": too many failed attempts");
      res.set_header("Retry-After", RetryAfter(r.RetryAfter));
      return refuse(429, "too many failed sign-ins; try again later");
    case TAnswer::Unavailable:
      Log(TLogPriority::Error, Timestamp() + " api unavailable" + who + ": " + r.Problem);
      res.set_header("Retry-After", std::to_string(RetryAfterSeconds));
      return refuse(503, "the service cannot answer right now; try again shortly");
    case TAnswer::BadRequest:
      Log(TLogPriority::Warning, Timestamp() + " api refused" + who + ": " + r.Problem);
      return refuse(400, r.Problem.c_str());
    default:
      Log(TLogPriority::Warning, Timestamp() + " api refused" + who);
      return refuse(401, "unknown account or wrong password");
  }
  try {
    Json(res, 200, ::NodesJson(r.Account, Nodes(r.Account, Now()), core_->Rules().StaleAfter));
  } catch (const EStoreError& e) {
    Log(TLogPriority::Error, Timestamp() + " api unavailable" + who + ": " + e.Message());
    res.set_header("Retry-After", std::to_string(RetryAfterSeconds));
    refuse(503, "the service cannot answer right now; try again shortly");
  }
}

void TCheckInService::Route() {
  auto checkIn = [this](const httplib::Request& req, httplib::Response& res) { CheckIn(req, res); };
  server_->Get(kUpdatePath, checkIn);
  server_->Post(kUpdatePath, checkIn);
  server_->Get("/nic/update", [this](const httplib::Request& req, httplib::Response& res) { DynDns2(req, res); });
  server_->Get("/", [this](const httplib::Request&, httplib::Response& res) {
    Page(res, 200, HomePage(core_->Rules().Zone, dns_ != nullptr), false);
  });
  server_->Get("/style.css", [](const httplib::Request&, httplib::Response& res) {
    res.set_header("Cache-Control", "max-age=3600");
    res.set_header("X-Content-Type-Options", "nosniff");
    res.set_content(StyleSheet, "text/css; charset=utf-8");
  });
  server_->Get("/nodes", [this](const httplib::Request& req, httplib::Response& res) { NodesPage(req, res); });
  server_->Post("/signin", [this](const httplib::Request& req, httplib::Response& res) { SignIn(req, res); });
  server_->Post("/signout", [this](const httplib::Request& req, httplib::Response& res) { SignOut(req, res); });
  server_->Get("/api/nodes", [this](const httplib::Request& req, httplib::Response& res) { NodesJson(req, res); });
}

int TCheckInService::Bind(const std::string& host, int port) {
  const int bound = port == 0 ? server_->bind_to_any_port(host) : server_->bind_to_port(host, port) ? port : -1;
  // The library listens with a queue of 5: a burst of connections (a crowd
  // of idle ones, say) then has its connects dropped and retried a second
  // later, a check-in among them. Listening again only lengthens the queue.
  if (bound > 0 && listenFd_ >= 0) ::listen(listenFd_, ListenBacklog);
  return bound;
}

void TCheckInService::Serve() { server_->listen_after_bind(); }

void TCheckInService::Start() {
  thread_ = std::thread([this] { Serve(); });
  // The socket is already listening after Bind, so connections queue until
  // the loop runs; waiting for it only makes Stop safe to call at once.
  while (!server_->is_running()) std::this_thread::yield();
}

void TCheckInService::Stop() {
  server_->stop();
  if (thread_.joinable()) thread_.join();
}
