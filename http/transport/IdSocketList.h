// A lockable set of at most 64 sockets that can be waited on for readability.
#pragma once

#include <array>
#include <cstdint>
#include <memory>
#include <mutex>

#include "http/transport/IdStackRegistry.h"

// The whole set as one value, for copying in and out.
struct TIdFDSet {
  static constexpr int32_t Capacity = 64;
  int32_t fd_count = 0;
  std::array<TIdStackSocketHandle, Capacity> fd_array{};
};

class TIdSocketList {
 public:
  TIdSocketList() = default;
  TIdSocketList(const TIdSocketList&) = delete;
  TIdSocketList& operator=(const TIdSocketList&) = delete;

  // A 65th socket raises EIdStackSetSizeExceeded; adding one already held does nothing.
  void Add(TIdStackSocketHandle socket);
  // The last entry takes the removed one's place.
  void Remove(TIdStackSocketHandle socket);
  int32_t Count() const;
  // Raises EIdStackSetSizeExceeded for an index outside 0 .. Count()-1.
  TIdStackSocketHandle Items(int32_t index) const;
  bool Contains(TIdStackSocketHandle socket) const;
  void Clear();
  TIdFDSet GetFDSet() const;
  // Raises EIdStackSetSizeExceeded for a count outside 0 .. 64.
  void SetFDSet(const TIdFDSet& set);
  std::unique_ptr<TIdSocketList> Clone() const;

  // Waits until one of the sockets is readable (or closed by its peer):
  // timeout in ms, negative waits without limit, 0 polls. With ready given,
  // it receives the readable sockets.
  bool PollReadable(int32_t timeout, TIdSocketList* ready = nullptr) const;
  // The same for room to write (or an error to report).
  bool PollWritable(int32_t timeout, TIdSocketList* ready = nullptr) const;

 private:
  bool Poll(short events, int32_t timeout, TIdSocketList* ready) const;

  TIdStackUser stackUser_;
  mutable std::mutex lock_;
  TIdFDSet set_;
};
