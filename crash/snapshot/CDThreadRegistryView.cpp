#include "crash/snapshot/CDThreadRegistryView.h"

#include <algorithm>

#include "crash/capture/CDThreadRegistry.h"
#include "crash/sys/CDProcFile.h"

namespace {

// The kernel's name of a thread (its "comm"), without the line break.
std::string CommOf(const std::string& path) {
  std::string comm = ReadProcFile(path, 64);
  while (!comm.empty() && (comm.back() == '\n' || comm.back() == '\0')) comm.pop_back();
  return comm;
}

std::string ThreadNameFromComm(std::string_view comm, std::string_view processComm) {
  // A thread starts with the name of the process; only a name someone gave
  // it (prctl, pthread_setname_np) tells anything.
  if (comm.empty() || comm == processComm) return std::string();
  return std::string(comm);
}

}  // namespace

TCDThreadRegistryView::TCDThreadRegistryView(std::vector<pid_t> suspended) : suspended_(std::move(suspended)) {}

bool TCDThreadRegistryView::Snapshot(std::chrono::milliseconds maxWait,
                                     std::vector<TCDThreadRegEntry>& entries) const {
  std::vector<TCDThreadInfo> threads;
  if (!TCDThreadRegistry::Instance().Snapshot(threads, static_cast<int>(maxWait.count()))) return false;
  entries.clear();
  const std::string processComm = CommOf("/proc/self/comm");
  for (const TCDThreadInfo& t : threads) {
    TCDThreadRegEntry e;
    e.ThreadId = t.ThreadId;
    // The crash reporter's own threads are no part of the program's story.
    e.Name = t.Own ? std::string("-") : std::string(t.Name);
    // Libraries name their threads with the system (Qt's event queue, D-Bus)
    // rather than through us.
    if (e.Name.empty())
      e.Name = ThreadNameFromComm(CommOf("/proc/self/task/" + std::to_string(t.ThreadId) + "/comm"), processComm);
    e.ClassName = t.ClassName;
    e.CreatorId = t.CreatorThreadId;
    e.CreationSite = t.CreatorAddress;
    e.Suspended = std::find(suspended_.begin(), suspended_.end(), t.ThreadId) != suspended_.end();
    entries.push_back(std::move(e));
  }
  return true;
}
