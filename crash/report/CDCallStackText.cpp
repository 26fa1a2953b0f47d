#include "crash/report/CDCallStackText.h"

#include <algorithm>

#include "crash/report/CDReportFormat.h"
#include "runtime/SysUtils.h"

namespace {

std::string Offset(const TCDStackLine& l) {
  if (!l.Symbol.HasStart || l.Address < l.Symbol.FunctionStart) return "0";
  return Format("%llx", static_cast<unsigned long long>(l.Address - l.Symbol.FunctionStart));
}

// "+N" for a line with a known first line, the plain line otherwise, empty
// without a line.
std::string RelativeLine(const TCDSymbol& s) {
  if (s.Line <= 0) return std::string();
  if (s.FunctionLine <= 0) return std::to_string(s.Line);
  return "+" + std::to_string(s.Line - s.FunctionLine);
}

std::string Pad(std::string s, std::size_t width, bool right, char fill = ' ') {
  if (s.size() < width) s.insert(right ? 0 : s.size(), width - s.size(), fill);
  return s;
}

}  // namespace

std::string SingleLineForm(uint64_t address, const TCDSymbol& s, const TCDCallStackOptions& options) {
  std::string out = HexAddress(address);
  if (!s.Known) return out + (options.ShowRelAddrs ? " +0 ???" : " ???");
  if (options.ShowRelAddrs) out += " +" + Offset(TCDStackLine{address, s});
  out += ' ' + s.Module;
  if (!s.Unit.empty()) out += ' ' + s.Unit;
  if (s.Line > 0) {
    out += ' ' + std::to_string(s.Line);
    if (options.ShowRelLines) out += s.FunctionLine > 0 ? " +" + std::to_string(s.Line - s.FunctionLine) : " +0";
  }
  if (!s.Function.empty()) out += ' ' + s.Function;
  return out;
}

std::string FormatCallStack(const std::vector<TCDStackLine>& lines, const TCDCallStackOptions& options,
                            std::string_view creatorName) {
  bool relAddrs = false;
  std::size_t offsetWidth = 0, moduleWidth = 0, unitWidth = 0, lineWidth = 0, relWidth = 0;
  for (const TCDStackLine& l : lines) {
    relAddrs = relAddrs || l.Symbol.HasStart;
    offsetWidth = std::max(offsetWidth, Offset(l).size());
    moduleWidth = std::max(moduleWidth, l.Symbol.Module.size());
    unitWidth = std::max(unitWidth, l.Symbol.Unit.size());
    if (l.Symbol.Line > 0) lineWidth = std::max(lineWidth, std::to_string(l.Symbol.Line).size());
    relWidth = std::max(relWidth, RelativeLine(l.Symbol).size());
  }
  relAddrs = relAddrs && options.ShowRelAddrs;
  std::string out;
  for (std::size_t i = 0; i < lines.size(); ++i) {
    const TCDStackLine& l = lines[i];
    if (i > 0) out += "\r\n";
    if (!creatorName.empty() && i + 1 == lines.size())
      out += ">> created by " + std::string(creatorName) + " at:\r\n";
    if (l.LeftOut > 0) out += ">> " + std::to_string(l.LeftOut) + " frames left out\r\n";
    out += HexAddress(l.Address) + ' ';
    if (relAddrs) out += '+' + Pad(Offset(l), offsetWidth, true, '0') + ' ';
    out += Pad(l.Symbol.Module, moduleWidth + 1, false);
    out += Pad(l.Symbol.Unit, unitWidth + 1, false);
    out += Pad(l.Symbol.Line > 0 ? std::to_string(l.Symbol.Line) : std::string(), lineWidth + 1, true) + ' ';
    if (options.ShowRelLines) out += Pad(RelativeLine(l.Symbol), relWidth, true) + ' ';
    out += l.Symbol.Known ? l.Symbol.Function : std::string("???");
    if (l.Symbol.Inlined) out += " [inlined]";
  }
  return out;
}

std::string InternalErrorText(std::string_view step, const std::string& failingLine) {
  std::string out = ">> internal error in " + std::string(step);
  if (!failingLine.empty()) out += ":\r\n" + failingLine;
  return out;
}
