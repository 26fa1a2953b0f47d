#include "crash/delivery/CDSendReport.h"

#include <unistd.h>

#include <atomic>
#include <filesystem>
#include <fstream>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

#include "crash/capture/CDProcessEnd.h"
#include "crash/capture/CDSafeText.h"
#include "crash/delivery/ICDAttachments.h"
#include "crash/delivery/CDBugRepFile.h"
#include "crash/delivery/CDMailHandOver.h"
#include "crash/delivery/ICDDeliverable.h"
#include "crash/settings/CDMessageBox.h"
#include "crash/settings/CDTextVars.h"
#include "runtime/SysUtils.h"
#include "crash/settings/ICDSettings.h"

namespace {

// Everything one send needs, copied from the exception up front, so that a
// send in background never reads the exception while the handling goes on.
struct TSendJob {
  std::string Report;
  std::string ScreenShot;
  std::string Subject, Body;
  std::vector<TCDMailRecipient> Recipients;
  bool MailViaMapi = false, MailViaMailto = false;
  bool Hidden = false, Blocked = false;
  bool AttachBugRep = false, AttachBugRepFile = false, DelBugRepFile = false, Saved = false;
  std::string BugRepFile;  // absolute
  TCDSaveRules Rules;
  std::string BugRepSendAs, BugRepZip, ScrShotSendAs, ScrShotZip;
  std::vector<TCDAddAttach> AddAttachs;
  std::string FailText, FailCaption;
  std::function<void(const std::string&)> ShowFailure;
};

// A send in background: its thread, and the exception it reports to while
// that is alive.
struct TRunningSend {
  std::thread Thread;
  const ICDDeliverable* Exception = nullptr;
  ICDDeliverable* Target = nullptr;
  std::atomic<bool> Done{false};
};

struct TSendRegistry {
  std::mutex Lock;
  std::vector<std::shared_ptr<TRunningSend>> Sends;
};

TSendRegistry& Registry() {
  static TSendRegistry registry;
  return registry;
}

std::atomic<int> sendCounter{0};

TSendJob MakeJob(ICDDeliverable& e, const std::string& report, const std::string& screenShot,
                 const TCDSendOptions& options) {
  const TICDSettings& s = e.Settings();
  TSendJob job;
  job.Report = report;
  job.ScreenShot = screenShot;
  std::string message = ReportExceptionMessage(report);
  job.Subject = ExpandExceptionVars(s.GetMailSubj(), message, report);
  job.Body = ExpandExceptionVars(s.GetMailBody(), message, report);
  job.Recipients = ParseMailRecipients(s.GetMailAddr());
  job.MailViaMapi = s.GetMailViaMapi();
  job.MailViaMailto = s.GetMailViaMailto();
  job.Hidden = options.Hidden;
  job.Blocked = e.ProcessBlocked();
  job.AttachBugRep = s.GetAttachBugRep();
  job.AttachBugRepFile = s.GetAttachBugRepFile();
  job.DelBugRepFile = s.GetDelBugRepFile();
  job.Saved = e.Saved();
  job.BugRepFile = BugRepPathBesideExecutable(ConfiguredBugRepFile(s));
  job.Rules = BugReportSaveRules(report, s);
  job.BugRepSendAs = s.GetBugRepSendAs();
  job.BugRepZip = s.GetBugRepZip();
  job.ScrShotSendAs = s.GetScrShotSendAs();
  job.ScrShotZip = s.GetScrShotZip();
  job.AddAttachs = s.GetAddAttachList();
  job.FailText = s.GetSendFailMsg();
  job.FailCaption = s.GetTitleBar();
  job.ShowFailure = options.ShowFailure;
  return job;
}

// The bug-report attachment: the file's earlier reports (when wanted) and
// this one, by the same rules as the file itself. `copied` receives the
// earlier content when the copy carried it.
bool PrepareBugReport(const TSendJob& job, const std::string& folder, std::string& path, bool& carried,
                      std::string& copied, std::string& problem) {
  path = folder + ExtractFileName(job.BugRepFile);
  carried = false;
  if (job.AttachBugRepFile && CopyFileContent(job.BugRepFile, path)) {
    carried = true;
    std::ifstream in(path, std::ios::binary);
    copied.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
  } else {
    std::error_code ec;
    std::filesystem::remove(path, ec);
  }
  // The copy already holds a report that was saved into the file.
  if (!(carried && job.Saved) && !SaveBugReportFile(path, job.Report, job.Rules, &problem)) return false;
  std::error_code ec;
  if (std::filesystem::exists(path, ec)) return true;
  problem = ec ? ec.message() : std::string("the file is gone");
  return false;
}

// Sends in the calling thread. Returns the result and whether the mail
// carried the bug-report file's earlier reports.
TCDSendResult SendNow(const TSendJob& job) {
  std::string folder = CDTempFolder() + "/send-" + std::to_string(++sendCounter) + "/";
  std::error_code ec;
  std::filesystem::create_directories(folder, ec);

  TICDAttachments attachments;
  bool carried = false;
  std::string copied;
  // The report could not be attached (a full temporary folder): a mail
  // without it is never handed over as if all were well.
  std::string attachProblem;
  if (job.AttachBugRep) {
    std::string path;
    if (PrepareBugReport(job, folder, path, carried, copied, attachProblem))
      attachments.Add({path, job.BugRepSendAs, "BugReport", job.BugRepZip});
    else if (attachProblem.empty())
      attachProblem = "unknown reason";
  }
  if (!job.ScreenShot.empty()) {
    std::string shot = folder + "screenShot.png";
    if (CopyFileContent(job.ScreenShot, shot)) attachments.Add({shot, job.ScrShotSendAs, "ScreenShot", job.ScrShotZip});
  }
  for (const TCDAddAttach& a : job.AddAttachs) attachments.Add({a.File, a.SendAs, a.Field, a.Zip});
  std::vector<TCDMailAttachment> files;
  for (const std::string& p : attachments.Prepare(folder)) files.push_back({p});

  TCDHandOverResult result = TCDHandOverResult::Failed;
  if (!attachProblem.empty()) {
    const std::string note = "The bug report could not be attached to the mail (" + attachProblem + ")" +
                             (job.MailViaMailto && !job.Hidden ? "; it is offered as the mail's text instead."
                                                               : "; the mail was not sent.");
    if (job.Hidden) {
      const std::string line = note + "\n";
      CDWriteAll(STDERR_FILENO, line.data(), line.size());
    } else if (job.ShowFailure) {
      job.ShowFailure(note);
    } else {
      CDMessageBox(job.FailCaption, note, TCDMsgIcon::Warning);
    }
  }
  if (!job.Blocked) {
    if (job.MailViaMapi && attachProblem.empty())
      result = HandOverToMailProgram(job.Recipients, job.Subject, job.Body, files);
    if (result == TCDHandOverResult::Failed && job.MailViaMailto && !job.Hidden)
      result = OpenMailtoHandler(job.Recipients, job.Subject, job.Report);
  }
  if (result == TCDHandOverResult::Failed && !job.Hidden) {
    if (job.ShowFailure)
      job.ShowFailure(job.FailText);
    else
      CDMessageBox(job.FailCaption, job.FailText, TCDMsgIcon::Error);
  }
  // The mail program may read the attachments after this process has gone.
  if (result == TCDHandOverResult::Sent && !files.empty()) TCDProcessEnd::KeepTempFolder();
  if (result == TCDHandOverResult::Sent && carried && job.DelBugRepFile) RemoveSentBugReports(job.BugRepFile, copied);
  return static_cast<TCDSendResult>(result);
}

void JoinFinished() {
  std::vector<std::shared_ptr<TRunningSend>> finished;
  {
    std::lock_guard<std::mutex> guard(Registry().Lock);
    auto& sends = Registry().Sends;
    for (auto it = sends.begin(); it != sends.end();) {
      if ((*it)->Done) {
        finished.push_back(*it);
        it = sends.erase(it);
      } else {
        ++it;
      }
    }
  }
  for (auto& s : finished)
    if (s->Thread.joinable()) s->Thread.join();
}

}  // namespace

std::string ReportExceptionMessage(std::string_view report) {
  std::string_view header = report.substr(0, report.find("\r\n\r\n"));
  for (std::size_t at = 0; at < header.size();) {
    std::size_t end = header.find("\r\n", at);
    std::string_view line = header.substr(at, end == std::string_view::npos ? std::string_view::npos : end - at);
    if (line.starts_with("exception message")) {
      std::size_t colon = line.find(':');
      return colon == std::string_view::npos ? std::string() : Trim(line.substr(colon + 1));
    }
    if (end == std::string_view::npos) break;
    at = end + 2;
  }
  return std::string();
}

TCDSendResult SendBugReport(ICDDeliverable& exception, const std::string& report, const std::string& screenShot,
                            const TCDSendOptions& options) {
  TSendJob job = MakeJob(exception, report, screenShot, options);
  if (!options.Background || job.Blocked) {
    TCDSendResult result = SendNow(job);
    if (result == TCDSendResult::Sent) exception.SetSent(true);
    return result;
  }
  JoinFinished();
  auto running = std::make_shared<TRunningSend>();
  running->Exception = &exception;
  running->Target = &exception;
  std::lock_guard<std::mutex> guard(Registry().Lock);
  running->Thread = std::thread([running, job = std::move(job)] {
    TCDSendResult result = SendNow(job);
    {
      std::lock_guard<std::mutex> inner(Registry().Lock);
      if (result == TCDSendResult::Sent && running->Target) running->Target->SetSent(true);
    }
    running->Done = true;
  });
  Registry().Sends.push_back(running);
  return TCDSendResult::Sent;
}

void WaitForRunningSends() {
  std::vector<std::shared_ptr<TRunningSend>> sends;
  {
    std::lock_guard<std::mutex> guard(Registry().Lock);
    sends.swap(Registry().Sends);
  }
  for (auto& s : sends)
    if (s->Thread.joinable()) s->Thread.join();
}

void ForgetSendsOf(const ICDDeliverable& exception) {
  std::lock_guard<std::mutex> guard(Registry().Lock);
  for (auto& s : Registry().Sends)
    if (s->Exception == &exception) s->Target = nullptr;
}
