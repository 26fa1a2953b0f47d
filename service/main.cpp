// pinmark-service: the reference check-in service for the demo and tests.
//
//   pinmark-service [--host H] [--port P] [--account NAME:DIGEST]... [--accounts FILE]
//                   [--tls-cert FILE --tls-key FILE]
//
// Prints "listening on H:P" once it accepts connections and logs every
// check-in to standard output. With a certificate and key it serves HTTPS.
#include <csignal>
#include <cstdio>
#include <cstring>
#include <iostream>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "service/CheckInService.h"

namespace {
TCheckInService* running = nullptr;

void OnSignal(int) {
  if (running) running->Stop();
}

int Usage() {
  std::cerr << "usage: pinmark-service [--host HOST] [--port PORT] [--account NAME:DIGEST]... [--accounts FILE]\n"
               "                       [--tls-cert FILE --tls-key FILE]\n";
  return 2;
}
}  // namespace

int main(int argc, char** argv) {
  std::string host = "127.0.0.1";
  int port = 0;
  // Accounts and account files, applied in the order given.
  struct AccountSource {
    std::string name, digest, file;
  };
  std::vector<AccountSource> accounts;
  std::string certFile, keyFile;
  for (int i = 1; i < argc; ++i) {
    std::string arg = argv[i];
    auto value = [&](std::string& out) {
      if (i + 1 >= argc) return false;
      out = argv[++i];
      return true;
    };
    std::string v;
    if (arg == "--host" && value(v)) {
      host = v;
    } else if (arg == "--port" && value(v)) {
      port = std::atoi(v.c_str());
    } else if (arg == "--account" && value(v)) {
      std::size_t colon = v.find(':');
      if (colon == std::string::npos || v.size() - colon - 1 != 32) return Usage();
      accounts.push_back({v.substr(0, colon), v.substr(colon + 1), ""});
    } else if (arg == "--accounts" && value(v)) {
      accounts.push_back({"", "", v});
    } else if (arg == "--tls-cert" && value(v)) {
      certFile = v;
    } else if (arg == "--tls-key" && value(v)) {
      keyFile = v;
    } else {
      return Usage();
    }
  }
  if (certFile.empty() != keyFile.empty()) return Usage();

  // The server is made once the options are known: plain, or TLS with its certificate.
  std::unique_ptr<TCheckInService> made =
      certFile.empty() ? std::make_unique<TCheckInService>() : std::make_unique<TCheckInService>(certFile, keyFile);
  TCheckInService& service = *made;
  if (!service.Valid()) {
    std::cerr << "pinmark-service: cannot use the certificate " << certFile << " with the key " << keyFile << "\n";
    return 1;
  }
  for (const AccountSource& account : accounts) {
    std::string error;
    if (account.file.empty()) {
      service.AddAccount(account.name, account.digest);
    } else if (!service.LoadAccounts(account.file, error)) {
      std::cerr << "pinmark-service: " << error << "\n";
      return 1;
    }
  }
  // Workers log from their own threads; one line must never break into another.
  std::mutex logLock;
  service.OnLog = [&logLock](const std::string& line) {
    std::lock_guard<std::mutex> guard(logLock);
    std::cout << line << std::endl;
  };
  int bound = service.Bind(host, port);
  if (bound < 0) {
    std::cerr << "pinmark-service: cannot listen on " << host << ":" << port << "\n";
    return 1;
  }
  running = &service;
  std::signal(SIGINT, OnSignal);
  std::signal(SIGTERM, OnSignal);
  std::cout << "listening on " << host << ":" << bound << std::endl;
  service.Serve();
  return 0;
}
