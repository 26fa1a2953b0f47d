// The reference check-in service for end-to-end tests: on 127.0.0.1 (or the
// host given) at a port the system picks (or the one given), with one
// account, serving on a thread of its own until it goes.
#pragma once

#include <string>

#include "service/http/CheckInService.h"

class ReferenceService : public TCheckInService {
 public:
  ReferenceService(const std::string& name, const std::string& digest, const std::string& host = "127.0.0.1",
                   int port = 0)
      : host_(host) {
    AddAccount(name, digest);
    port_ = Bind(host, port);
    if (port_ > 0) Start();
  }
  // -1 when no port could be had.
  int Port() const { return port_; }
  std::string Url() const {
    const std::string authority = host_.find(':') != std::string::npos ? "[" + host_ + "]" : host_;
    return "http://" + authority + ":" + std::to_string(port_) + "/includes/r_update.php";
  }

 private:
  std::string host_;
  int port_ = -1;
};
