// The reference check-in service: answers a check-in whose account matches
// with the caller's IPv4 address as plain text. It serves the demo and the
// end-to-end tests, and people host it themselves; it is not part of the
// program.
//
// Facing the open internet it holds its ground: values that reach the log are
// escaped, so no request can write a line of its own there; idle and slow
// connections time out after a few seconds and a pool of workers much larger
// than such a crowd keeps a check-in answered at once; a connection carries a
// limited number of requests; a request body over MaxRequestBody (or one sent
// in chunks) is refused with 413 before any of it is read, and the
// connection is closed.
#pragma once

#include <atomic>
#include <cstddef>
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
  static constexpr std::size_t MaxRequestBody = 4096;
  static constexpr int TimeoutSeconds = 5;  // reading and writing, and the idle keep-alive wait
  static constexpr std::size_t KeepAliveRequests = 20;
  static constexpr std::size_t Workers = 256;
  static constexpr int ListenBacklog = 1024;

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

  // Where each check-in is logged ("<time> node=<node> user=<name>
  // address=<address>"), with the values escaped by LogValue. Called from
  // the worker threads, one call per line.
  std::function<void(const std::string&)> OnLog;

  // A value as it goes into the log: every byte outside printable ASCII, and
  // the blank and "%" that would make a line ambiguous, as %XX.
  static std::string LogValue(const std::string& value);
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
  // Limits, workers, socket options and routes, the same for plain and TLS.
  void Configure();
  void Route();
  bool tls_ = false;
  std::unique_ptr<httplib::Server> server_;
  std::map<std::string, std::string> accounts_;
  std::mutex lock_;
  std::thread thread_;
  std::atomic<int> checkIns_{0};
  int listenFd_ = -1;  // owned by the server; kept to lengthen its queue
};
