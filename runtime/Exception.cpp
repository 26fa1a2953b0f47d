#include "runtime/Exception.h"

#include <algorithm>
#include <cstdio>

#include "runtime/ReplaceableHook.h"

namespace {
TReplaceableHook<void(std::exception_ptr)>& ShowHook() {
  static TReplaceableHook<void(std::exception_ptr)> hook;
  return hook;
}
}  // namespace

std::vector<std::string> Exception::ClassAncestry() const {
  std::vector<std::string> names;
  CollectAncestry(names);
  return names;
}

bool Exception::InheritsFrom(std::string_view className) const {
  // Folded here rather than with SameText: SysUtils raises these exceptions
  // and so stands above this unit.
  const auto lower = [](char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c; };
  for (const std::string& name : ClassAncestry())
    if (std::equal(name.begin(), name.end(), className.begin(), className.end(),
                   [&](char a, char b) { return lower(a) == lower(b); }))
      return true;
  return false;
}

void Assert(bool condition, std::string_view message, std::string_view unit, int line) {
  if (condition) return;
  std::string text = message.empty() ? std::string("Assertion failure") : std::string(message);
  throw EAssertionFailed(text + " (" + std::string(unit) + ", line " + std::to_string(line) + ")");
}

void Abort() { throw EAbort(); }

TShowExceptionHook SetShowExceptionHook(TShowExceptionHook hook) { return ShowHook().Set(std::move(hook)); }

void ShowException(std::exception_ptr error) {
  if (!error) return;
  const TShowExceptionHook hook = ShowHook().Get();
  try {
    if (hook) {
      hook(error);
      return;
    }
  } catch (...) {
    // The hook failed: what it was given is still shown below.
  }
  std::fprintf(stderr, "%s\n", ExceptionMessage(error).c_str());
}

std::string ExceptionMessage(std::exception_ptr error) {
  if (!error) return std::string();
  try {
    std::rethrow_exception(error);
  } catch (const Exception& e) {
    return e.Message();
  } catch (const std::exception& e) {
    return e.what();
  } catch (...) {
    return "Exception of unknown type";
  }
}
