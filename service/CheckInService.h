// The reference check-in service: answers a check-in whose account matches
// with the caller's IPv4 address as plain text. It serves the demo and the
// end-to-end tests; it is not part of the program.
#pragma once

#include <atomic>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

namespace httplib {
class Server;
}

class TCheckInService {
 public:
  TCheckInService();
  // Serves HTTPS (TLS 1.2 or newer) with the certificate chain and private
  // key of these PEM files; Valid() says whether they could be used.
  TCheckInService(const std::string& certFile, const std::string& keyFile);
  ~TCheckInService();
  TCheckInService(const TCheckInService&) = delete;
  TCheckInService& operator=(const TCheckInService&) = delete;

  // Account name -> MD5 hex digest of its password (compared ignoring case).
  void AddAccount(const std::string& name, const std::string& digest);
  // Reads "name digest" or "name:digest" lines; blank lines and lines
  // starting with '#' are skipped. Returns false when the file cannot be read
  // or a line is malformed (message in error).
  bool LoadAccounts(const std::string& file, std::string& error);

  // Where each check-in is logged ("<time> node=<node> user=<name> address=<address>").
  std::function<void(const std::string&)> OnLog;

  // False when a TLS certificate or key could not be read, or do not belong together.
  bool Valid() const;
  bool Tls() const { return tls_; }

  // Binds to host:port (port 0 picks a free one) and returns the port, or -1.
  int Bind(const std::string& host, int port);
  // Serves until Stop; blocks.
  void Serve();
  // Serves on a thread of its own.
  void Start();
  void Stop();
  int CheckIns() const { return checkIns_; }

 private:
  void Route();
  bool tls_ = false;
  std::unique_ptr<httplib::Server> server_;
  std::map<std::string, std::string> accounts_;
  std::mutex lock_;
  std::thread thread_;
  std::atomic<int> checkIns_{0};
};
