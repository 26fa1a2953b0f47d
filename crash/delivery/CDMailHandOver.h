// Handing a bug report to the user's mail program: first with xdg-email,
// which opens a new mail with recipients, subject, body and attachments;
// then, without attachments, through the desktop's mailto handler (xdg-open
// with a mailto URL holding the whole report as its body).
//
// The builders are pure; the two hand-overs start the programs with an
// argument vector and wait a limited time for them.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

struct TCDMailRecipient {
  std::string Name;     // display name; the address itself when none is given
  std::string Address;  // the bare address
};

// MailAddr: comma-separated items, each a display name followed by the
// address in angle brackets, or a bare address. Empty items are skipped.
std::vector<TCDMailRecipient> ParseMailRecipients(std::string_view mailAddr);

// The sender when MailFrom is empty: "crashDesk <first address>"; empty
// without recipients.
std::string DefaultMailSender(const std::vector<TCDMailRecipient>& recipients);

// A file as the mail carries it.
struct TCDMailAttachment {
  std::string Path;
};

// xdg-email's argument vector.
std::vector<std::string> XdgEmailArguments(const std::vector<TCDMailRecipient>& recipients,
                                           const std::string& subject, const std::string& body,
                                           const std::vector<TCDMailAttachment>& attachments);

// Subject and body text for a mailto URL: line breaks, blanks, '"', '#',
// '%', '&', '+', '<', '>' and '?' become "%" and two upper-case hex digits.
std::string MailtoEncode(std::string_view text);
// "mailto:" + addresses + "?subject=" + subject + "&body=" + body.
std::string MailtoUrl(const std::vector<TCDMailRecipient>& recipients, std::string_view subject,
                      std::string_view body);

// The longest command line the mailto handler is given.
inline constexpr std::size_t CDMailtoCommandLimit = 32766;
// Cuts text to at most limit characters, one or two fewer where that keeps
// a "%" escape whole.
std::string CutKeepingEscapes(std::string_view text, std::size_t limit);
// The handler's argument vector for a URL: xdg-open and the URL, cut so that
// the command line stays within CDMailtoCommandLimit.
std::vector<std::string> MailtoArguments(std::string_view url);

enum class TCDHandOverResult { Failed = 0, Sent = 1, Cancelled = 2 };

// Runs xdg-email: Sent when it reports that the mail program took the mail.
TCDHandOverResult HandOverToMailProgram(const std::vector<TCDMailRecipient>& recipients, const std::string& subject,
                                        const std::string& body, const std::vector<TCDMailAttachment>& attachments);
// Runs the mailto handler: Sent when it took the URL.
TCDHandOverResult OpenMailtoHandler(const std::vector<TCDMailRecipient>& recipients, const std::string& subject,
                                    const std::string& body);
