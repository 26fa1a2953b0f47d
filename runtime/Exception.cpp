#include "runtime/Exception.h"

#include "runtime/SysUtils.h"

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
