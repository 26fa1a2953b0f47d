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
bool IsDigit(char c) { return c >= '0' && c <= '9'; }

// "HTTP/1.x", blanks, three digits, and a blank or the end after them.
bool IsWellFormed(std::string_view line, std::optional<TIdHTTPProtocolVersion> version) {
  if (!version || line.size() < 8 || !SameText(line.substr(0, 5), "HTTP/")) return false;
  std::size_t at = 8;
  if (at >= line.size() || line[at] != ' ') return false;
  while (at < line.size() && line[at] == ' ') ++at;
  if (line.size() - at < 3 || !IsDigit(line[at]) || !IsDigit(line[at + 1]) || !IsDigit(line[at + 2])) return false;
  return line.size() == at + 3 || line[at + 3] == ' ';
}
}  // namespace

const char* HTTPVersionText(TIdHTTPProtocolVersion version) { return kVersionText[version]; }

TIdHTTPStatusLine TIdHTTPStatusLine::Parse(std::string text) {
  TIdHTTPStatusLine line;
  line.Code = CodeOf(text);
  line.Version = VersionOf(text);
  line.WellFormed = IsWellFormed(text, line.Version);
  line.OtherVersion = !line.WellFormed && text.size() > 5 && SameText(std::string_view(text).substr(0, 5), "HTTP/") &&
                      !(text.size() >= 8 && line.Version);
  line.Text = std::move(text);
  return line;
}
