#include "crash/capture/CDThrowTrace.h"

#include <dlfcn.h>
#include <unwind.h>

#include <atomic>
#include <cstring>
#include <typeinfo>

#include "runtime/ThreadName.h"

namespace {

std::atomic<bool> traceEnabled{false};

constexpr int kKept = 4;
struct TThrowRecord {
  const void* Object = nullptr;
  TCDPreparedStack Stack;
};
// Initial-exec TLS of the executable: no allocation on first use.
thread_local TThrowRecord records[kKept];
thread_local int nextRecord = 0;

struct TWalk {
  TCDPreparedStack* Stack;
  int Skip;
};

_Unwind_Reason_Code CollectFrame(_Unwind_Context* context, void* data) {
  auto* walk = static_cast<TWalk*>(data);
  if (walk->Skip > 0) {
    --walk->Skip;
    return _URC_NO_REASON;
  }
  if (walk->Stack->Count >= CDMaxPreparedFrames) return _URC_END_OF_STACK;
  const uintptr_t ip = _Unwind_GetIP(context);
  if (ip == 0) return _URC_END_OF_STACK;
  walk->Stack->Frames[walk->Stack->Count++] = ip;
  return _URC_NO_REASON;
}

using TCxaThrow = void (*)(void*, std::type_info*, void (*)(void*));
std::atomic<TCxaThrow> nextThrow{nullptr};

}  // namespace

void EnableThrowTrace(bool enabled) { traceEnabled.store(enabled); }

bool FindThrowTrace(const void* exceptionObject, TCDPreparedStack& stack) {
  if (exceptionObject == nullptr) return false;
  for (const TThrowRecord& r : records)
    if (r.Object == exceptionObject) {
      std::memcpy(&stack, &r.Stack, sizeof stack);
      return true;
    }
  return false;
}

const void* ExceptionObjectAddress(const std::exception_ptr& error) {
  // The library's exception_ptr is one pointer to the thrown object; that is
  // part of its binary interface.
  static_assert(sizeof(std::exception_ptr) == sizeof(void*));
  const void* object = nullptr;
  std::memcpy(&object, static_cast<const void*>(&error), sizeof object);
  return object;
}

extern "C" [[noreturn]] void __cxa_throw(void* object, std::type_info* type, void (*destructor)(void*)) {
  if (traceEnabled.load(std::memory_order_relaxed)) {
    TThrowRecord& r = records[nextRecord];
    nextRecord = (nextRecord + 1) % kKept;
    r.Object = object;
    r.Stack.ThrowAddress = reinterpret_cast<uintptr_t>(__builtin_return_address(0));
    r.Stack.ThreadId = CurrentThreadId();
    r.Stack.Count = 0;
    TWalk walk{&r.Stack, 1};  // not this function itself
    _Unwind_Backtrace(CollectFrame, &walk);
  }
  TCxaThrow next = nextThrow.load(std::memory_order_acquire);
  if (next == nullptr) {
    next = reinterpret_cast<TCxaThrow>(dlsym(RTLD_NEXT, "__cxa_throw"));
    nextThrow.store(next, std::memory_order_release);
  }
  next(object, type, destructor);
  __builtin_unreachable();
}
