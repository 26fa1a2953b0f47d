#include "service/CheckInService.h"

#include <httplib.h>
#include <sys/socket.h>

#include <ctime>
#include <fstream>

#include "runtime/SysUtils.h"

namespace {
const char kUpdatePath[] = "/includes/r_update.php";

std::string Lower(std::string s) {
  for (char& c : s)
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c + 32);
  return s;
}

std::string Timestamp() {
  std::time_t now = std::time(nullptr);
  std::tm tm{};
  localtime_r(&now, &tm);
  char buf[32];
  std::strftime(buf, sizeof buf, "%Y-%m-%d %H:%M:%S", &tm);
  return buf;
}

// The caller's IPv4 address, also when it reached us through an IPv6 socket.
std::string CallerAddress(const httplib::Request& req) {
  std::string a = req.remote_addr;
  const std::string mapped = "::ffff:";
  if (a.compare(0, mapped.size(), mapped) == 0) a = a.substr(mapped.size());
  return a;
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
  // A chunked body has no size to judge before reading it; the check-in needs no body at all.
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

const char kHomePage[] =
    "<!DOCTYPE html>\n<html><head><title>Pinmark check-in service</title></head>\n"
    "<body><h1>Pinmark check-in service</h1>\n"
    "<p>This service tells Pinmark the public address it is seen from. Pinmark checks in at "
    "<code>/includes/r_update.php?userid=NAME&amp;enc=MD5-OF-PASSWORD&amp;node=NODE</code> and gets the "
    "address back as plain text.</p>\n"
    "<p>Accounts are given to the service when it starts; ask its operator for one.</p>\n"
    "</body></html>\n";
}  // namespace

TCheckInService::TCheckInService() : server_(std::make_unique<httplib::Server>()) { Configure(); }

TCheckInService::TCheckInService(const std::string& certFile, const std::string& keyFile)
    : tls_(true), server_(std::make_unique<httplib::SSLServer>(certFile.c_str(), keyFile.c_str())) {
  if (Valid()) SSL_CTX_set_min_proto_version(static_cast<httplib::SSLServer&>(*server_).ssl_context(), TLS1_2_VERSION);
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
  server_->set_pre_routing_handler(RefuseUnwantedBody);
  // Called once, for the listening socket before it is bound. Plain address
  // reuse lets the service restart while old connections linger; the
  // library's default would also let another process bind the same port.
  server_->set_socket_options([this](int sock) {
    int yes = 1;
    ::setsockopt(sock, SOL_SOCKET, SO_REUSEADDR, &yes, sizeof yes);
    if (listenFd_ < 0) listenFd_ = sock;
  });
  Route();
}

std::string TCheckInService::LogValue(const std::string& value) {
  return PercentEncode(value, [](unsigned char c) { return c > ' ' && c < 0x7F && c != '%'; });
}

bool TCheckInService::Valid() const {
  if (!tls_) return true;
  auto& tls = static_cast<httplib::SSLServer&>(*server_);
  return tls.is_valid() && SSL_CTX_check_private_key(tls.ssl_context()) == 1;
}

TCheckInService::~TCheckInService() { Stop(); }

void TCheckInService::AddAccount(const std::string& name, const std::string& digest) {
  std::lock_guard<std::mutex> guard(lock_);
  accounts_[name] = Lower(digest);
}

bool TCheckInService::LoadAccounts(const std::string& file, std::string& error) {
  std::ifstream in(file);
  if (!in) {
    error = "cannot read " + file;
    return false;
  }
  std::string line;
  int number = 0;
  while (std::getline(in, line)) {
    ++number;
    if (!line.empty() && line.back() == '\r') line.pop_back();
    std::size_t b = line.find_first_not_of(" \t");
    if (b == std::string::npos || line[b] == '#') continue;
    line = line.substr(b);
    std::size_t sep = line.find_first_of(": \t");
    std::string name = line.substr(0, sep);
    std::string digest = sep == std::string::npos ? "" : line.substr(line.find_first_not_of(": \t", sep));
    while (!digest.empty() && (digest.back() == ' ' || digest.back() == '\t')) digest.pop_back();
    if (name.empty() || digest.size() != 32 || digest.find_first_not_of("0123456789abcdefABCDEF") != std::string::npos) {
      error = file + ":" + std::to_string(number) + ": expected a name and a 32-digit MD5 hex digest";
      return false;
    }
    AddAccount(name, digest);
  }
  return true;
}

void TCheckInService::Route() {
  auto update = [this](const httplib::Request& req, httplib::Response& res) {
    if (!req.has_param("userid") || !req.has_param("enc")) {
      res.status = 400;
      res.set_content("missing userid or enc\n", "text/plain");
      return;
    }
    const std::string name = req.get_param_value("userid");
    const std::string digest = Lower(req.get_param_value("enc"));
    const std::string node = req.get_param_value("node");
    bool known = false;
    {
      std::lock_guard<std::mutex> guard(lock_);
      auto it = accounts_.find(name);
      known = it != accounts_.end() && it->second == digest;
    }
    if (!known) {
      res.status = 403;
      res.set_content("unknown account or wrong password\n", "text/plain");
      if (OnLog) OnLog(Timestamp() + " refused user=" + LogValue(name) + " address=" + CallerAddress(req));
      return;
    }
    const std::string address = CallerAddress(req);
    ++checkIns_;
    if (OnLog) OnLog(Timestamp() + " node=" + LogValue(node) + " user=" + LogValue(name) + " address=" + address);
    res.status = 200;
    res.set_content(address, "text/plain");
  };
  server_->Get(kUpdatePath, update);
  server_->Post(kUpdatePath, update);
  server_->Get("/", [](const httplib::Request&, httplib::Response& res) { res.set_content(kHomePage, "text/html"); });
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
