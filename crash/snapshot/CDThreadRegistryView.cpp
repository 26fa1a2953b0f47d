#include "crash/snapshot/CDThreadRegistryView.h"

#include <algorithm>

#include "crash/capture/CDThreadRegistry.h"

TCDThreadRegistryView::TCDThreadRegistryView(std::vector<pid_t> suspended) : suspended_(std::move(suspended)) {}

bool TCDThreadRegistryView::Snapshot(std::chrono::milliseconds maxWait,
                                     std::vector<TCDThreadRegEntry>& entries) const {
  std::vector<TCDThreadInfo> threads;
  if (!TCDThreadRegistry::Instance().Snapshot(threads, static_cast<int>(maxWait.count()))) return false;
  entries.clear();
  for (const TCDThreadInfo& t : threads) {
    TCDThreadRegEntry e;
    e.ThreadId = t.ThreadId;
    // The crash reporter's own threads are no part of the program's story.
    e.Name = t.Own ? std::string("-") : std::string(t.Name);
    e.ClassName = t.ClassName;
    e.CreatorId = t.CreatorThreadId;
    e.CreationSite = t.CreatorAddress;
    e.Suspended = std::find(suspended_.begin(), suspended_.end(), t.ThreadId) != suspended_.end();
    entries.push_back(std::move(e));
  }
  return true;
}
