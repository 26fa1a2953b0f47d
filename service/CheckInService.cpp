#include "service/CheckInService.h"

#include <httplib.h>

#include <ctime>
#include <fstream>

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

const char kHomePage[] =
    "<!DOCTYPE html>\n<html><head><title>Pinmark check-in service</title></head>\n"
    "<body><h1>Pinmark check-in service</h1>\n"
    "<p>This service tells Pinmark the public address it is seen from. Pinmark checks in at "
    "<code>/includes/r_update.php?userid=NAME&amp;enc=MD5-OF-PASSWORD&amp;node=NODE</code> and gets the "
    "address back as plain text.</p>\n"
    "<p>Accounts are given to the service when it starts; ask its operator for one.</p>\n"
    "</body></html>\n";
}  // namespace

TCheckInService::TCheckInService() : server_(std::make_unique<httplib::Server>()) { Route(); }

TCheckInService::TCheckInService(const std::string& certFile, const std::string& keyFile)
    : tls_(true), server_(std::make_unique<httplib::SSLServer>(certFile.c_str(), keyFile.c_str())) {
  if (Valid()) SSL_CTX_set_min_proto_version(static_cast<httplib::SSLServer&>(*server_).ssl_context(), TLS1_2_VERSION);
  Route();
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
      if (OnLog) OnLog(Timestamp() + " refused user=" + name + " address=" + CallerAddress(req));
      return;
    }
    const std::string address = CallerAddress(req);
    ++checkIns_;
    if (OnLog) OnLog(Timestamp() + " node=" + node + " user=" + name + " address=" + address);
    res.status = 200;
    res.set_content(address, "text/plain");
  };
  server_->Get(kUpdatePath, update);
  server_->Post(kUpdatePath, update);
  server_->Get("/", [](const httplib::Request&, httplib::Response& res) { res.set_content(kHomePage, "text/html"); });
}

int TCheckInService::Bind(const std::string& host, int port) {
  if (port == 0) return server_->bind_to_any_port(host);
  return server_->bind_to_port(host, port) ? port : -1;
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
