#include "runtime/Exception.h"

#include <cstdio>
#include <mutex>

#include "runtime/SysUtils.h"

namespace {
std::mutex& ShowHookLock() {
  static std::mutex lock;
  return lock;
}
TShowExceptionHook& ShowHook() {
  static TShowExceptionHook hook;
  return hook;
}
}  // namespace

std::vector<std::string> Exception::ClassAncestry() const {
  std::vector<std::string> names;
  CollectAncestry(names);
  return names;
}

bool Exception::InheritsFrom(std::string_view className) const {
  for (const std::string& name : ClassAncestry())
    if (SameText(name, className)) return true;
  return false;
}

void Assert(bool condition, std::string_view message, std::string_view unit, int line) {
  if (condition) return;
  std::string text = message.empty() ? std::string("Assertion failure") : std::string(message);
  throw EAssertionFailed(Format("%s (%s, line %d)", text.c_str(), std::string(unit).c_str(), line));
}

void Abort() { throw EAbort(); }

TShowExceptionHook SetShowExceptionHook(TShowExceptionHook hook) {
  std::lock_guard<std::mutex> guard(ShowHookLock());
  TShowExceptionHook previous = std::move(ShowHook());
  ShowHook() = std::move(hook);
  return previous;
}

void ShowException(std::exception_ptr error) {
  if (!error) return;
  TShowExceptionHook hook;
  {
    std::lock_guard<std::mutex> guard(ShowHookLock());
    hook = ShowHook();
  }
  try {
    if (hook) {
      hook(error);
      return;
    }
    std::rethrow_exception(error);
  } catch (const std::exception& e) {
    std::fprintf(stderr, "%s\n", e.what());
  } catch (...) {
    std::fprintf(stderr, "Exception of unknown type\n");
  }
}
