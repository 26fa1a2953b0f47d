// The reference check-in service for end-to-end tests: on 127.0.0.1 at a port
// the system picks, with one account, serving on a thread of its own until it
// goes.
#pragma once

#include <string>

#include "service/http/CheckInService.h"

class ReferenceService : public TCheckInService {
 public:
  ReferenceService(const std::string& name, const std::string& digest) {
    AddAccount(name, digest);
    port_ = Bind("127.0.0.1", 0);
    if (port_ > 0) Start();
  }
  // -1 when no port could be had.
  int Port() const { return port_; }
  std::string Url() const { return "http://127.0.0.1:" + std::to_string(port_) + "/includes/r_update.php"; }

 private:
  int port_ = -1;
};
