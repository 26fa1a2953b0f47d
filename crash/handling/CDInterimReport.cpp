#include "crash/handling/CDInterimReport.h"

#include <unistd.h>

#include "runtime/SysUtils.h"

std::string ReportMessageLine(const std::string& message, const std::string& className) {
  std::string text;
  for (char c : message)
    if (static_cast<unsigned char>(c) >= 32 || c == '\r' || c == '\n') text += c;
  text = Trim(text);
  if (text.empty()) text = "Unknown";
  if (text == className) return std::string();
  std::size_t end = text.size();
  while (end > 0 && (text[end - 1] == '.' || text[end - 1] == '!')) --end;
  if (end < text.size()) text = text.substr(0, end) + ".";
  return text;
}

void ComposeInterimReport(TICDException& e) {
  TICDFields& h = e.Report().Header;
  h.Set("date/time", e.ExpandVars("%datetime%"));
  h.Set("process id", "$" + LowerCase(IntToHex(static_cast<uint64_t>(getpid()), 1)));
  h.Set("executable", ExtractFileName(ApplicationExeName()));
  h.Set("exception number", IntToStr(static_cast<int64_t>(e.ExceptionNumber())));
  if (e.ExceptionType() == TCDExceptionType::Freeze) {
    h.Set("exception message", e.GetFrozenMsg());
  } else {
    const std::string cls = e.ExceptionClass().empty() ? std::string("Unknown") : e.ExceptionClass();
    h.Set("exception class", cls);
    h.Set("exception message", ReportMessageLine(e.ExceptionMessage(), cls));
  }
  if (e.Facts().Context && e.GetCpuRegs()) {
    const TCDContext& c = *e.Facts().Context;
    const std::pair<const char*, uint64_t> regs[] = {{"rax", c.Rax}, {"rbx", c.Rbx}, {"rcx", c.Rcx},
                                                     {"rdx", c.Rdx}, {"rsi", c.Rsi}, {"rdi", c.Rdi},
                                                     {"rip", c.Rip}, {"rsp", c.Rsp}, {"rbp", c.Rbp}};
    std::string text;
    for (const auto& [name, value] : regs)
      text += std::string(text.empty() ? "" : "\r\n") + name + " = " + LowerCase(IntToHex(value, 16));
    e.Report().Sections.Set("cpu registers", text);
  }
  e.Report().MarkComplete();
}
