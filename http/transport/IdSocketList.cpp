#include "http/transport/IdSocketList.h"

#include <poll.h>

#include <cerrno>
#include <chrono>

#include "http/transport/IdStackRegistry.h"

using namespace IdStackStrings;

void TIdSocketList::Add(TIdStackSocketHandle socket) {
  std::lock_guard<std::mutex> guard(lock_);
  for (int32_t i = 0; i < set_.fd_count; ++i)
    if (set_.fd_array[i] == socket) return;
  if (set_.fd_count >= TIdFDSet::Capacity) throw EIdStackSetSizeExceeded(RSSetSizeExceeded);
  set_.fd_array[set_.fd_count++] = socket;
}

void TIdSocketList::Remove(TIdStackSocketHandle socket) {
  std::lock_guard<std::mutex> guard(lock_);
  for (int32_t i = 0; i < set_.fd_count; ++i) {
    if (set_.fd_array[i] != socket) continue;
    --set_.fd_count;
    set_.fd_array[i] = set_.fd_array[set_.fd_count];
    set_.fd_array[set_.fd_count] = 0;
    return;
  }
}

int32_t TIdSocketList::Count() const {
  std::lock_guard<std::mutex> guard(lock_);
  return set_.fd_count;
}

TIdStackSocketHandle TIdSocketList::Items(int32_t index) const {
  std::lock_guard<std::mutex> guard(lock_);
  if (index < 0 || index >= set_.fd_count) throw EIdStackSetSizeExceeded(RSSetSizeExceeded);
  return set_.fd_array[index];
}

bool TIdSocketList::Contains(TIdStackSocketHandle socket) const {
  std::lock_guard<std::mutex> guard(lock_);
  for (int32_t i = 0; i < set_.fd_count; ++i)
    if (set_.fd_array[i] == socket) return true;
  return false;
}

void TIdSocketList::Clear() {
  std::lock_guard<std::mutex> guard(lock_);
  set_ = TIdFDSet{};
}

TIdFDSet TIdSocketList::GetFDSet() const {
  std::lock_guard<std::mutex> guard(lock_);
  return set_;
}

void TIdSocketList::SetFDSet(const TIdFDSet& set) {
  if (set.fd_count < 0 || set.fd_count > TIdFDSet::Capacity) throw EIdStackSetSizeExceeded(RSSetSizeExceeded);
  std::lock_guard<std::mutex> guard(lock_);
  set_ = set;
}

std::unique_ptr<TIdSocketList> TIdSocketList::Clone() const {
  auto copy = std::make_unique<TIdSocketList>();
  copy->SetFDSet(GetFDSet());
  return copy;
}

bool TIdSocketList::PollReadable(int32_t timeout, TIdSocketList* ready) const { return Poll(POLLIN, timeout, ready); }

bool TIdSocketList::PollWritable(int32_t timeout, TIdSocketList* ready) const { return Poll(POLLOUT, timeout, ready); }

bool TIdSocketList::Poll(short events, int32_t timeout, TIdSocketList* ready) const {
  TIdFDSet set = GetFDSet();
  std::array<pollfd, TIdFDSet::Capacity> fds{};
  for (int32_t i = 0; i < set.fd_count; ++i) fds[i] = pollfd{set.fd_array[i], events, 0};
  using Clock = std::chrono::steady_clock;
  const auto deadline = Clock::now() + std::chrono::milliseconds(timeout > 0 ? timeout : 0);
  int waitMs = timeout < 0 ? -1 : timeout;
  int n;
  for (;;) {
    n = ::poll(fds.data(), static_cast<nfds_t>(set.fd_count), waitMs);
    if (n >= 0 || errno != EINTR) break;
    // A signal (the crash reporter samples threads with one) is no reason to stop waiting early.
    if (timeout > 0) {
      auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
      waitMs = left > 0 ? static_cast<int>(left) : 0;
    }
  }
  TIdStack* stack = GStack();
  if (n < 0) stack->RaiseLastSocketError();
  TIdFDSet readySet;
  for (int32_t i = 0; i < set.fd_count; ++i) {
    if (fds[i].revents & POLLNVAL) stack->RaiseSocketError(Id_WSAENOTSOCK);
    if (fds[i].revents != 0) readySet.fd_array[readySet.fd_count++] = fds[i].fd;
  }
  if (ready) ready->SetFDSet(readySet);
  return readySet.fd_count > 0;
}
