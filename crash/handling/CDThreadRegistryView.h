// The bug report's view of the crash reporter's thread registry: each
// registered thread with its name, class, creator and creation site, the
// crash reporter's own threads hidden (named "-"), and the threads that the
// handling paused marked as suspended.
//
// Not for signal handlers.
#pragma once

#include <sys/types.h>

#include <vector>

#include "crash/report/CDReportInput.h"

class TCDThreadRegistryView : public ICDThreadRegistryView {
 public:
  // suspended: the threads paused for the handling of this exception.
  explicit TCDThreadRegistryView(std::vector<pid_t> suspended = {});

  bool Snapshot(std::chrono::milliseconds maxWait, std::vector<TCDThreadRegEntry>& entries) const override;

 private:
  std::vector<pid_t> suspended_;
};
