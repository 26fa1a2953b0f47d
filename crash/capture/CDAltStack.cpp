#include "crash/capture/CDAltStack.h"

#include <sys/mman.h>
#include <unistd.h>

#include <algorithm>

namespace {
constexpr std::size_t kGuard = 4096;
}

std::size_t TCDAltStack::Size() {
  // Room for our handler's own frames on top of what the system asks for;
  // the handler keeps its larger buffers in static storage.
  const long system = sysconf(_SC_SIGSTKSZ);
  const std::size_t wanted = std::max<std::size_t>(64 * 1024, system > 0 ? static_cast<std::size_t>(system) * 4 : 0);
  return (wanted + kGuard - 1) / kGuard * kGuard;
}

TCDAltStack::~TCDAltStack() { Remove(); }

bool TCDAltStack::Install() {
  if (installed_) return true;
  mappingSize_ = Size() + kGuard;
  mapping_ = mmap(nullptr, mappingSize_, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS | MAP_STACK, -1, 0);
  if (mapping_ == MAP_FAILED) {
    mapping_ = nullptr;
    return false;
  }
  mprotect(mapping_, kGuard, PROT_NONE);  // stacks grow down: the guard goes below
  stack_t ours{};
  ours.ss_sp = static_cast<char*>(mapping_) + kGuard;
  ours.ss_size = Size();
  ours.ss_flags = 0;
  if (sigaltstack(&ours, &previous_) != 0) {
    munmap(mapping_, mappingSize_);
    mapping_ = nullptr;
    return false;
  }
  installed_ = true;
  return true;
}

void TCDAltStack::Remove() {
  if (!installed_) return;
  stack_t current{};
  sigaltstack(nullptr, &current);
  // Never pull the stack from under a handler that runs on it.
  if (current.ss_flags & SS_ONSTACK) return;
  if (previous_.ss_flags & SS_DISABLE) {
    stack_t off{};
    off.ss_flags = SS_DISABLE;
    sigaltstack(&off, nullptr);
  } else {
    sigaltstack(&previous_, nullptr);
  }
  munmap(mapping_, mappingSize_);
  mapping_ = nullptr;
  installed_ = false;
}
