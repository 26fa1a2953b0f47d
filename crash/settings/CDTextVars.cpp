#include "crash/settings/CDTextVars.h"

#include "runtime/SysUtils.h"

std::string ExpandTextVars(std::string_view text, const TCDTextVarLookup& lookup) {
  if (text.find('%') == std::string_view::npos) return std::string(text);
  std::string out;
  out.reserve(text.size());
  std::size_t i = 0;
  while (i < text.size()) {
    if (text[i] != '%') {
      out += text[i++];
      continue;
    }
    const std::size_t close = text.find('%', i + 1);
    if (close == std::string_view::npos) {
      out.append(text.substr(i));
      break;
    }
    std::optional<std::string> value = lookup(text.substr(i + 1, close - i - 1));
    if (!value) {
      // Not a variable of the caller's: keep the "%" and look again from the
      // next one.
      out += '%';
      i += 1;
      continue;
    }
    out += *value;
    i = close + 1;
  }
  return out;
}

std::string ExpandExceptionVars(std::string_view text, std::string_view exceptMsg, std::string_view report) {
  return ExpandTextVars(text, [&](std::string_view name) -> std::optional<std::string> {
    if (SameText(name, "exceptMsg")) return std::string(exceptMsg.empty() ? std::string_view("Unknown") : exceptMsg);
    if (SameText(name, "bugReport")) return std::string(report);
    return std::nullopt;
  });
}
