#include "crash/report/CDReportText.h"

#include <algorithm>

namespace {

// Line breaks become blanks and runs of blanks one blank.
std::string OneLine(std::string_view content) {
  std::string out;
  out.reserve(content.size());
  for (char c : content) {
    if (c == '\r' || c == '\n') c = ' ';
    if (c == ' ' && !out.empty() && out.back() == ' ') continue;
    out += c;
  }
  return out;
}

void AppendSection(std::string& out, const TCDField& section) {
  out += "\r\n\r\n";
  // A name is one line, whatever text it was given.
  const std::string name = OneLine(section.Name);
  out += name;
  if (name.find(':') == std::string::npos) out += ':';
  std::string_view rest = section.Content;
  while (true) {
    std::size_t end = rest.find_first_of("\r\n");
    std::string_view line = rest.substr(0, end);
    while (!line.empty() && line.back() == ' ') line.remove_suffix(1);
    out += "\r\n";
    if (line.empty())
      out += '.';
    else
      out += line;
    if (end == std::string_view::npos) break;
    std::size_t next = end + 1;
    if (rest[end] == '\r' && next < rest.size() && rest[next] == '\n') ++next;
    rest.remove_prefix(next);
  }
}

}  // namespace

std::string HeaderValueText(std::string_view content) { return OneLine(content); }

std::string RenderHeaderLine(std::string_view label, std::string_view content, std::size_t width) {
  std::string line = OneLine(label);
  if (line.size() < width) line.append(width - line.size(), ' ');
  line += ": ";
  line += OneLine(content);
  return line;
}

std::string RenderBugReport(const std::vector<TCDField>& header, const std::vector<TCDField>& sections) {
  std::size_t width = 0;
  for (const TCDField& f : header) width = std::max(width, OneLine(f.Name).size());
  ++width;
  std::string out;
  for (std::size_t i = 0; i < header.size(); ++i) {
    if (i > 0) out += "\r\n";
    out += RenderHeaderLine(header[i].Name, header[i].Content, width);
  }
  for (const TCDField& s : sections) AppendSection(out, s);
  return out;
}

std::string RenderBugReport(const TICDFields& header, const TICDFields& sections) {
  return RenderBugReport(header.Items(), sections.Items());
}
