// Sending a bug report: subject and body from the settings, the attachments
// (the bug-report file with the current report, the screenshot, the extra
// files) prepared in the temporary folder, then the mail program, then the
// mailto handler. Direct SMTP delivery, the SMTP relay and the HTTP upload
// are switched off in this program and not built.
//
// A send in background runs on a thread of its own that may outlive the box;
// WaitForRunningSends lets whoever ends the process wait for it first. Such a
// thread marks the exception as sent only while the exception is known to be
// alive: the handling calls ForgetSendsOf before it destroys one.
#pragma once

#include <functional>
#include <string>
#include <string_view>

class ICDDeliverable;

enum class TCDSendResult { Failed = 0, Sent = 1, Cancelled = 2 };

struct TCDSendOptions {
  // Run on a thread of its own and answer Sent at once.
  bool Background = false;
  // No failure message and no mailto handler (an automatic send).
  bool Hidden = false;
  // Shows SendFailMsg when every way failed and the send is not hidden; may
  // be called on the sending thread. Empty: the crash reporter's message box.
  std::function<void(const std::string& text)> ShowFailure;
};

// Sends report (with the screenshot file, when not empty) for the exception.
TCDSendResult SendBugReport(ICDDeliverable& exception, const std::string& report, const std::string& screenShot,
                            const TCDSendOptions& options);

// Blocks until every send started in background has ended.
void WaitForRunningSends();
// Sends in background no longer touch this exception (it is about to go).
void ForgetSendsOf(const ICDDeliverable& exception);

// The message a report names: the text after the first ":" of its
// "exception message" line, trimmed.
std::string ReportExceptionMessage(std::string_view report);
