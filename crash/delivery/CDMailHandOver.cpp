#include "crash/delivery/CDMailHandOver.h"

#include "crash/delivery/CDMailProgram.h"
#include "runtime/SysUtils.h"

namespace {

// The helpers return once the mail program has the mail; one that stays in
// the foreground (a terminal mail program) has it too once it is running.
constexpr int kHandOverWaitMs = 60000;

bool KeepInMailto(unsigned char c) {
  switch (c) {
    case '\n':
    case '\r':
    case ' ':
    case '"':
    case '#':
    case '%':
    case '&':
    case '+':
    case '<':
    case '>':
    case '?':
      return false;
    default:
      return true;
  }
}

TCDHandOverResult FromRun(const TCDMailProgramResult& run) {
  if (!run.Started) return TCDHandOverResult::Failed;
  if (run.Running) return TCDHandOverResult::Sent;  // still running: it has the mail
  return run.Exited && run.ExitCode == 0 ? TCDHandOverResult::Sent : TCDHandOverResult::Failed;
}

}  // namespace

std::vector<TCDMailRecipient> ParseMailRecipients(std::string_view mailAddr) {
  std::vector<TCDMailRecipient> list;
  std::size_t start = 0;
  while (start <= mailAddr.size()) {
    std::size_t end = mailAddr.find(',', start);
    if (end == std::string_view::npos) end = mailAddr.size();
    std::string item = Trim(mailAddr.substr(start, end - start));
    start = end + 1;
    if (item.empty()) continue;
    std::size_t open = item.find('<');
    std::size_t close = item.rfind('>');
    if (open != std::string::npos && close != std::string::npos && close > open) {
      std::string address = Trim(std::string_view(item).substr(open + 1, close - open - 1));
      std::string name = Trim(std::string_view(item).substr(0, open));
      if (address.empty()) continue;
      list.push_back({name.empty() ? address : name, address});
    } else {
      list.push_back({item, item});
    }
  }
  return list;
}

std::string DefaultMailSender(const std::vector<TCDMailRecipient>& recipients) {
  if (recipients.empty()) return std::string();
  return "crashDesk <" + recipients.front().Address + ">";
}

std::vector<std::string> XdgEmailArguments(const std::vector<TCDMailRecipient>& recipients,
                                           const std::string& subject, const std::string& body,
                                           const std::vector<TCDMailAttachment>& attachments) {
  std::vector<std::string> args = {"xdg-email", "--subject", subject, "--body", body};
  for (const TCDMailAttachment& a : attachments) {
    args.push_back("--attach");
    args.push_back(a.Path);
  }
  for (const TCDMailRecipient& r : recipients) args.push_back(r.Address);
  return args;
}

std::string MailtoEncode(std::string_view text) { return PercentEncode(text, KeepInMailto); }

std::string MailtoUrl(const std::vector<TCDMailRecipient>& recipients, std::string_view subject,
                      std::string_view body) {
  std::string url = "mailto:";
  for (std::size_t i = 0; i < recipients.size(); ++i) {
    if (i > 0) url += ',';
    url += MailtoEncode(recipients[i].Address);
  }
  url += "?subject=" + MailtoEncode(subject) + "&body=" + MailtoEncode(body);
  return url;
}

std::string CutKeepingEscapes(std::string_view text, std::size_t limit) {
  if (text.size() <= limit) return std::string(text);
  std::size_t n = limit;
  if (n >= 1 && text[n - 1] == '%')
    n -= 1;
  else if (n >= 2 && text[n - 2] == '%')
    n -= 2;
  return std::string(text.substr(0, n));
}

std::vector<std::string> MailtoArguments(std::string_view url) {
  const std::string program = "xdg-open";
  // The command line is the program, a blank and the URL.
  std::string command = CutKeepingEscapes(program + " " + std::string(url), CDMailtoCommandLimit);
  return {program, command.substr(program.size() + 1)};
}

TCDHandOverResult HandOverToMailProgram(const std::vector<TCDMailRecipient>& recipients, const std::string& subject,
                                        const std::string& body, const std::vector<TCDMailAttachment>& attachments) {
  return FromRun(RunMailProgram(XdgEmailArguments(recipients, subject, body, attachments), kHandOverWaitMs));
}

TCDHandOverResult OpenMailtoHandler(const std::vector<TCDMailRecipient>& recipients, const std::string& subject,
                                    const std::string& body) {
  return FromRun(RunMailProgram(MailtoArguments(MailtoUrl(recipients, subject, body)), kHandOverWaitMs));
}
