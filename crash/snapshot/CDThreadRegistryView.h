// What a snapshot of the process learns of its threads from the crash
// reporter's thread registry: each registered thread with its name (the one
// the system knows when the registry has none), class,
// creator and creation site, the crash reporter's own threads hidden (named
// "-"), and the threads that the handling paused marked as suspended.
// ICDThreadRegistryView is what the snapshot asks, so that tests can hand it
// a registry of their own; TCDThreadRegistryView answers from the real one.
//
// Not for signal handlers.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <cstdint>
#include <string>
#include <vector>

// One thread as the thread registry knows it.
struct TCDThreadRegEntry {
  pid_t ThreadId = 0;
  std::string Name;       // "main thread", a name the program gave, "-" (hidden), or empty
  std::string ClassName;  // of the thread object that runs it, or empty
  pid_t CreatorId = 0;    // 0: unknown
  uint64_t CreationSite = 0;  // code address that created it; 0: unknown
  bool Suspended = false;     // paused for the handling of the exception
};

class ICDThreadRegistryView {
 public:
  virtual ~ICDThreadRegistryView() = default;
  // Copies the registry, waiting at most maxWait for its lock; false when the
  // lock could not be had in time.
  virtual bool Snapshot(std::chrono::milliseconds maxWait, std::vector<TCDThreadRegEntry>& entries) const = 0;
};

class TCDThreadRegistryView : public ICDThreadRegistryView {
 public:
  // suspended: the threads paused for the handling of this exception.
  explicit TCDThreadRegistryView(std::vector<pid_t> suspended = {});

  bool Snapshot(std::chrono::milliseconds maxWait, std::vector<TCDThreadRegEntry>& entries) const override;

 private:
  std::vector<pid_t> suspended_;
};
