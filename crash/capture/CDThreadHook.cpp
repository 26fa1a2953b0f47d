#include "crash/capture/CDThreadHook.h"

#include <cxxabi.h>
#include <dlfcn.h>
#include <pthread.h>

#include <atomic>
#include <new>

#include "runtime/ThreadName.h"

namespace {

std::atomic<bool> hookEnabled{false};
std::atomic<TCDThreadExceptionHook> exceptionHook{nullptr};

using TPthreadCreate = int (*)(pthread_t*, const pthread_attr_t*, void* (*)(void*), void*);
using TPthreadSetName = int (*)(pthread_t, const char*);

// The next definition after ours: the C library's, or a sanitizer's that
// leads to it.
template <typename F>
F Next(const char* name, std::atomic<F>& cache) {
  F f = cache.load(std::memory_order_acquire);
  if (f == nullptr) {
    f = reinterpret_cast<F>(dlsym(RTLD_NEXT, name));
    cache.store(f, std::memory_order_release);
  }
  return f;
}
std::atomic<TPthreadCreate> nextCreate{nullptr};
std::atomic<TPthreadSetName> nextSetName{nullptr};

struct TStartRecord {
  void* (*Start)(void*);
  void* Arg;
  uintptr_t CreatorAddress;
  pid_t CreatorThreadId;
};

void* RunWrapped(void* p) {
  const TStartRecord record = *static_cast<TStartRecord*>(p);
  delete static_cast<TStartRecord*>(p);
  TCDThreadScope scope(reinterpret_cast<uintptr_t>(record.Start), record.CreatorAddress, record.CreatorThreadId);
  try {
    return record.Start(record.Arg);
  } catch (abi::__forced_unwind&) {
    // pthread_exit and cancellation unwind as an exception that must go on.
    throw;
  } catch (...) {
    if (TCDThreadExceptionHook hook = exceptionHook.load()) hook(std::current_exception());
    return nullptr;
  }
}

}  // namespace

void SetThreadExceptionHook(TCDThreadExceptionHook hook) { exceptionHook.store(hook); }

void EnableThreadHook(bool enabled) {
  hookEnabled.store(enabled);
  // Names given through the runtime's naming call reach the registry in full.
  SetThreadNameHook(enabled ? [](pid_t id, std::string_view name) { TCDThreadRegistry::Instance().SetName(id, name); }
                            : TThreadNameHook{nullptr});
}
bool ThreadHookEnabled() { return hookEnabled.load(); }

bool CurrentThreadStack(uintptr_t& low, uintptr_t& high) {
  pthread_attr_t attr;
  if (pthread_getattr_np(pthread_self(), &attr) != 0) return false;
  void* address = nullptr;
  size_t size = 0;
  const bool ok = pthread_attr_getstack(&attr, &address, &size) == 0;
  pthread_attr_destroy(&attr);
  if (!ok) return false;
  low = reinterpret_cast<uintptr_t>(address);
  high = low + size;
  return true;
}

TCDThreadScope::TCDThreadScope(uintptr_t startAddress, uintptr_t creatorAddress, pid_t creatorThreadId)
    : threadId_(CurrentThreadId()) {
  altStack_.Install();
  TCDThreadInfo info;
  TCDThreadRegistry::Instance().Find(threadId_, info, -1);  // keeps a name given already
  info.ThreadId = threadId_;
  info.Handle = pthread_self();
  info.StartAddress = startAddress;
  info.CreatorAddress = creatorAddress;
  info.CreatorThreadId = creatorThreadId;
  CurrentThreadStack(info.StackLow, info.StackHigh);
  TCDThreadRegistry::Instance().Register(info);
}

TCDThreadScope::~TCDThreadScope() {
  TCDThreadRegistry::Instance().Unregister(threadId_);
  altStack_.Remove();
}

extern "C" int pthread_create(pthread_t* thread, const pthread_attr_t* attr, void* (*start)(void*), void* arg) {
  const TPthreadCreate next = Next("pthread_create", nextCreate);
  if (!hookEnabled.load(std::memory_order_acquire)) return next(thread, attr, start, arg);
  auto* record = new (std::nothrow)
      TStartRecord{start, arg, reinterpret_cast<uintptr_t>(__builtin_return_address(0)), CurrentThreadId()};
  if (record == nullptr) return next(thread, attr, start, arg);
  const int result = next(thread, attr, RunWrapped, record);
  // The thread never started: nobody else will free the record.
  if (result != 0) delete record;
  return result;
}

extern "C" int pthread_setname_np(pthread_t thread, const char* name) {
  const int result = Next("pthread_setname_np", nextSetName)(thread, name);
  if (result == 0 && hookEnabled.load(std::memory_order_acquire)) {
    const pid_t id = pthread_equal(thread, pthread_self()) ? CurrentThreadId()
                                                            : TCDThreadRegistry::Instance().ThreadIdOf(thread);
    if (id != 0) TCDThreadRegistry::Instance().SetName(id, name);
  }
  return result;
}
