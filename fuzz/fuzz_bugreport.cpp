// The bug report's text from arbitrary header fields and sections, put in
// through the report's lists, and call-stack lines with arbitrary symbol
// texts. Whatever the texts, the rendering keeps its shape: sections are
// separated by exactly one empty line and hold no empty line of their own.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>
#include <vector>

#include "crash/report/CDCallStackText.h"
#include "crash/report/CDReport.h"
#include "crash/report/CDReportFormat.h"

namespace {

// Pieces of the input separated by NUL bytes.
std::vector<std::string> Pieces(const uint8_t* data, size_t size) {
  std::vector<std::string> out(1);
  for (size_t i = 0; i < size; ++i) {
    if (data[i] == 0)
      out.emplace_back();
    else
      out.back() += static_cast<char>(data[i]);
  }
  return out;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 1) return 0;
  const size_t headerCount = data[0] % 8;
  std::vector<std::string> pieces = Pieces(data + 1, size - 1);

  TCDReport report;
  size_t i = 0;
  for (size_t h = 0; h < headerCount && i + 1 < pieces.size(); ++h, i += 2) report.Header.Set(pieces[i], pieces[i + 1]);
  for (; i + 1 < pieces.size(); i += 2) report.Sections.Set(pieces[i], pieces[i + 1]);
  const std::string text = report.Text();

  size_t separators = 0;
  for (size_t at = text.find("\r\n\r\n"); at != std::string::npos; at = text.find("\r\n\r\n", at + 1)) ++separators;
  const size_t sections = report.Sections.Count();
  const bool headerEmpty = report.Header.Count() == 0;
  // Header lines and names never break, and no section line is empty.
  if (separators != sections) std::abort();
  if (headerEmpty && sections > 0 && text.compare(0, 4, "\r\n\r\n") != 0) std::abort();
  if (report.Text() != text) std::abort();  // nothing changed: the same text

  // Call-stack lines from the same texts.
  std::vector<TCDStackLine> lines;
  for (size_t k = 0; k + 2 < pieces.size() && lines.size() < 64; k += 3) {
    TCDStackLine l;
    l.Address = pieces[k].size() * 0x1001;
    l.Symbol.Known = !pieces[k].empty();
    l.Symbol.Module = pieces[k];
    l.Symbol.Unit = pieces[k + 1];
    l.Symbol.Function = pieces[k + 2];
    l.Symbol.HasStart = pieces[k + 1].size() % 2 == 0;
    l.Symbol.FunctionStart = l.Address - pieces[k + 2].size();
    l.Symbol.Line = static_cast<int>(pieces[k + 1].size());
    l.Symbol.FunctionLine = static_cast<int>(pieces[k].size());
    lines.push_back(l);
    (void)SingleLineForm(l.Address, l.Symbol, {true, true});
  }
  (void)FormatCallStack(lines, {true, true}, pieces.back());
  (void)FormatCallStack(lines, {false, false}, "");
  (void)CleanExceptionMessage(pieces.front(), pieces.back());
  return 0;
}
