#include "crash/capture/CDThreadRegistry.h"

#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstring>

namespace {
void CopyText(char (&to)[CDThreadTextSize], std::string_view from) {
  const std::size_t n = std::min(from.size(), CDThreadTextSize - 1);
  if (n > 0) std::memcpy(to, from.data(), n);
  to[n] = '\0';
}

bool LockFor(std::timed_mutex& lock, int waitMs) {
  if (waitMs < 0) {
    lock.lock();
    return true;
  }
  return lock.try_lock_for(std::chrono::milliseconds(waitMs));
}
}  // namespace

TCDThreadRegistry& TCDThreadRegistry::Instance() {
  static TCDThreadRegistry registry;
  return registry;
}

bool TCDThreadRegistry::IsMainThread(pid_t threadId) { return threadId == getpid(); }

TCDThreadRegistry::TSlot* TCDThreadRegistry::FindSlot(pid_t threadId) {
  if (threadId <= 0) return nullptr;
  for (TSlot& s : slots_)
    if (s.ThreadId.load(std::memory_order_acquire) == threadId) return &s;
  return nullptr;
}

const TCDThreadRegistry::TSlot* TCDThreadRegistry::FindSlot(pid_t threadId) const {
  return const_cast<TCDThreadRegistry*>(this)->FindSlot(threadId);
}

TCDThreadRegistry::TSlot* TCDThreadRegistry::ClaimSlot(pid_t threadId) {
  if (TSlot* s = FindSlot(threadId)) return s;
  for (TSlot& s : slots_) {
    if (s.ThreadId.load(std::memory_order_relaxed) != 0) continue;
    s.Info = TCDThreadInfo{};
    s.Info.ThreadId = threadId;
    s.Own.store(false, std::memory_order_relaxed);
    s.Handle.store(0, std::memory_order_relaxed);
    s.StackLow.store(0, std::memory_order_relaxed);
    s.StackHigh.store(0, std::memory_order_relaxed);
    s.ThreadId.store(threadId, std::memory_order_release);
    return &s;
  }
  return nullptr;  // full: the thread stays unnamed in reports
}

void TCDThreadRegistry::Register(const TCDThreadInfo& info) {
  std::lock_guard<std::timed_mutex> guard(lock_);
  TSlot* s = FindSlot(info.ThreadId);
  if (s == nullptr) {
    for (TSlot& free : slots_)
      if (free.ThreadId.load(std::memory_order_relaxed) == 0) {
        s = &free;
        break;
      }
    if (s == nullptr) return;
  }
  s->Info = info;
  s->Own.store(info.Own, std::memory_order_relaxed);
  s->Handle.store(info.Handle, std::memory_order_relaxed);
  s->StackLow.store(info.StackLow, std::memory_order_relaxed);
  s->StackHigh.store(info.StackHigh, std::memory_order_relaxed);
  s->ThreadId.store(info.ThreadId, std::memory_order_release);
}

void TCDThreadRegistry::Unregister(pid_t threadId) {
  std::lock_guard<std::timed_mutex> guard(lock_);
  if (TSlot* s = FindSlot(threadId)) s->ThreadId.store(0, std::memory_order_release);
}

void TCDThreadRegistry::SetName(pid_t threadId, std::string_view name) {
  std::lock_guard<std::timed_mutex> guard(lock_);
  if (TSlot* s = ClaimSlot(threadId)) CopyText(s->Info.Name, name);
}

void TCDThreadRegistry::SetClassName(pid_t threadId, std::string_view className) {
  std::lock_guard<std::timed_mutex> guard(lock_);
  if (TSlot* s = ClaimSlot(threadId)) CopyText(s->Info.ClassName, className);
}

void TCDThreadRegistry::MarkOwn(pid_t threadId) {
  std::lock_guard<std::timed_mutex> guard(lock_);
  if (TSlot* s = ClaimSlot(threadId)) {
    s->Info.Own = true;
    s->Own.store(true, std::memory_order_release);
  }
}

TCDRegistryLookup TCDThreadRegistry::Find(pid_t threadId, TCDThreadInfo& info, int waitMs) const {
  if (!LockFor(lock_, waitMs)) return TCDRegistryLookup::Busy;
  std::lock_guard<std::timed_mutex> guard(lock_, std::adopt_lock);
  const TSlot* s = FindSlot(threadId);
  if (s == nullptr) return TCDRegistryLookup::NotRegistered;
  info = s->Info;
  return TCDRegistryLookup::Found;
}

bool TCDThreadRegistry::Snapshot(std::vector<TCDThreadInfo>& entries, int waitMs) const {
  if (!LockFor(lock_, waitMs)) return false;
  std::lock_guard<std::timed_mutex> guard(lock_, std::adopt_lock);
  entries.clear();
  for (const TSlot& s : slots_)
    if (s.ThreadId.load(std::memory_order_acquire) != 0) entries.push_back(s.Info);
  return true;
}

bool TCDThreadRegistry::IsOwn(pid_t threadId) const {
  const TSlot* s = FindSlot(threadId);
  return s != nullptr && s->Own.load(std::memory_order_acquire);
}

bool TCDThreadRegistry::StackOf(pid_t threadId, uintptr_t& low, uintptr_t& high) const {
  const TSlot* s = FindSlot(threadId);
  if (s == nullptr) return false;
  low = s->StackLow.load(std::memory_order_relaxed);
  high = s->StackHigh.load(std::memory_order_relaxed);
  return high > low;
}

bool TCDThreadRegistry::IsRegistered(pid_t threadId) const { return FindSlot(threadId) != nullptr; }

pid_t TCDThreadRegistry::ThreadIdOf(pthread_t handle) const {
  if (handle == 0) return 0;
  for (const TSlot& s : slots_) {
    const pid_t id = s.ThreadId.load(std::memory_order_acquire);
    if (id != 0 && s.Handle.load(std::memory_order_relaxed) == handle) return id;
  }
  return 0;
}
