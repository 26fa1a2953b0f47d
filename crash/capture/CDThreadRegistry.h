// The thread registry: what the crash reporter knows of each thread beyond
// its id (its name, the class it belongs to, who created it and from where,
// its stack, whether it is one of the crash reporter's own threads).
//
// Entries live in fixed storage, so that a signal handler can ask whether a
// thread is one of ours and where its stack lies without allocating or
// locking. Names and other texts change under the registry's mutex; readers
// of texts wait for it at most a given time (50 ms by default) and report
// "busy" rather than block a crash report behind a thread that died while
// holding it. A thread named "-" is hidden from reports.
#pragma once

#include <pthread.h>
#include <sys/types.h>

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <mutex>
#include <string_view>
#include <vector>

inline constexpr std::size_t CDMaxThreads = 1024;
inline constexpr std::size_t CDThreadTextSize = 64;

struct TCDThreadInfo {
  pid_t ThreadId = 0;
  pthread_t Handle = 0;                   // 0: not known
  char Name[CDThreadTextSize] = {};       // empty: no name given
  char ClassName[CDThreadTextSize] = {};  // empty: not known
  uintptr_t StartAddress = 0;             // the thread function
  uintptr_t CreatorAddress = 0;           // where the creating call was made
  pid_t CreatorThreadId = 0;
  uintptr_t StackLow = 0, StackHigh = 0;  // 0, 0: not known
  bool Own = false;                       // one of the crash reporter's threads
};

enum class TCDRegistryLookup { Found, NotRegistered, Busy };

class TCDThreadRegistry {
 public:
  // The registry of the process. Signal-safe once it exists: the crash
  // reporter makes it at start-up.
  static TCDThreadRegistry& Instance();

  // Enters (or replaces) a thread. Not signal-safe.
  void Register(const TCDThreadInfo& info);
  // Not signal-safe.
  void Unregister(pid_t threadId);
  // Gives a thread a name, entering it first when it is not registered yet
  // (a thread started before the crash reporter). Not signal-safe.
  void SetName(pid_t threadId, std::string_view name);
  // Not signal-safe.
  void SetClassName(pid_t threadId, std::string_view className);
  // Marks a thread as one of the crash reporter's own. Not signal-safe.
  void MarkOwn(pid_t threadId);

  // A copy of the entry; waits for the mutex at most waitMs. Not
  // signal-safe (it may wait on the mutex).
  TCDRegistryLookup Find(pid_t threadId, TCDThreadInfo& info, int waitMs = 50) const;
  // Every entry; false when the mutex was not free within waitMs.
  bool Snapshot(std::vector<TCDThreadInfo>& entries, int waitMs = 50) const;

  // Signal-safe: lock-free reads of what never changes after registration.
  bool IsOwn(pid_t threadId) const;
  bool StackOf(pid_t threadId, uintptr_t& low, uintptr_t& high) const;
  bool IsRegistered(pid_t threadId) const;
  // The id of a registered thread by its handle, or 0.
  pid_t ThreadIdOf(pthread_t handle) const;

  // The process's main thread (its id is the process id). Signal-safe.
  static bool IsMainThread(pid_t threadId);

 private:
  TCDThreadRegistry() = default;
  struct TSlot {
    std::atomic<pid_t> ThreadId{0};
    std::atomic<bool> Own{false};
    std::atomic<pthread_t> Handle{0};
    std::atomic<uintptr_t> StackLow{0}, StackHigh{0};
    TCDThreadInfo Info;  // texts and the rest, under the mutex
  };
  TSlot* FindSlot(pid_t threadId);
  const TSlot* FindSlot(pid_t threadId) const;
  TSlot* ClaimSlot(pid_t threadId);  // mutex held

  mutable std::timed_mutex lock_;
  TSlot slots_[CDMaxThreads];
};
