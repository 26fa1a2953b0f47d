#include "crash/handling/CDHandlers.h"

#include <mutex>
#include <vector>

namespace {

enum class TKind { Exception, Hidden, Action };

struct TEntry {
  TCDHandlerId Id;
  TKind Kind;
  TCDExceptionHandler Exception;
  TCDActionHandler Action;
};

struct TRegistry {
  std::mutex Lock;
  std::vector<TEntry> Entries;
  TCDHandlerId NextId = 1;

  TCDHandlerId Add(TEntry entry) {
    std::lock_guard<std::mutex> guard(Lock);
    entry.Id = NextId++;
    Entries.push_back(std::move(entry));
    return Entries.back().Id;
  }
  std::vector<TEntry> Copy(TKind kind) {
    std::lock_guard<std::mutex> guard(Lock);
    std::vector<TEntry> out;
    for (const TEntry& e : Entries)
      if (e.Kind == kind) out.push_back(e);
    return out;
  }
};

TRegistry& Registry() {
  static TRegistry registry;
  return registry;
}

bool CallPhase(TKind kind, ICDException& exception, int phase, bool handled) {
  for (const TEntry& e : Registry().Copy(kind)) {
    e.Exception(exception, phase, handled);
    if (handled && kind == TKind::Exception) break;
  }
  return handled;
}

}  // namespace

TCDHandlerId RegisterExceptionHandler(TCDExceptionHandler handler) {
  return Registry().Add(TEntry{0, TKind::Exception, std::move(handler), {}});
}

TCDHandlerId RegisterHiddenExceptionHandler(TCDExceptionHandler handler) {
  return Registry().Add(TEntry{0, TKind::Hidden, std::move(handler), {}});
}

TCDHandlerId RegisterActionHandler(TCDActionHandler handler) {
  return Registry().Add(TEntry{0, TKind::Action, {}, std::move(handler)});
}

void UnregisterHandler(TCDHandlerId id) {
  std::lock_guard<std::mutex> guard(Registry().Lock);
  std::erase_if(Registry().Entries, [id](const TEntry& e) { return e.Id == id; });
}

bool HiddenExceptionHandlersRegistered() { return !Registry().Copy(TKind::Hidden).empty(); }

bool CallExceptionHandlers(ICDException& exception, int phase, bool handled) {
  return CallPhase(TKind::Exception, exception, phase, handled);
}

// Every hidden handler sees the exception: "handled" is where they start.
bool CallHiddenExceptionHandlers(ICDException& exception, int phase) {
  return CallPhase(TKind::Hidden, exception, phase, true);
}

bool CallActionHandlersFor(ICDException& exception, TCDAction action) {
  bool handled = false;
  for (const TEntry& e : Registry().Copy(TKind::Action)) {
    e.Action(exception, action, handled);
    if (handled) break;
  }
  return handled;
}
