#include "http/protocol/IdHTTPStatusLine.h"

#include <string_view>

#include "runtime/SysUtils.h"

namespace {
constexpr const char* kVersionText[] = {"1.0", "1.1"};

int32_t CodeOf(std::string_view line) {
  const std::size_t space = line.find(' ');
  if (space == std::string_view::npos) return -1;
  std::string word = Trim(line.substr(space + 1));
  word.resize(std::min(word.find(' '), word.size()));
  return StrToIntDef(word, -1);
}

std::optional<TIdHTTPProtocolVersion> VersionOf(std::string_view line) {
  if (line.size() < 6) return std::nullopt;
  const std::string_view version = line.substr(5, 3);
  for (TIdHTTPProtocolVersion v : {pv1_0, pv1_1})
    if (SameText(version, kVersionText[v])) return v;
  return std::nullopt;
}
}  // namespace

const char* HTTPVersionText(TIdHTTPProtocolVersion version) { return kVersionText[version]; }

TIdHTTPStatusLine TIdHTTPStatusLine::Parse(std::string text) {
  TIdHTTPStatusLine line;
  line.Code = CodeOf(text);
  line.Version = VersionOf(text);
  line.Text = std::move(text);
  return line;
}
