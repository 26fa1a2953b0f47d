// The helper process's side: the exception of a crashed process as the box
// sees it. Its settings are this program's own (the helper is the same
// executable) with what the crashed process changed for this exception; its
// report follows the crashed process's report frame by frame; action
// handlers are asked across the pipe, where the program's handlers live.
//
// TCDHelperSession reads the crashed process's frames on a thread of its own
// and answers the box's ending at the end.
//
// Not for signal handlers.
#pragma once

#include <condition_variable>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>

#include "crash/helper/CDHelperProtocol.h"
#include "crash/handling/ICDException.h"

class TCDRemoteException : public TICDSettings, public ICDException {
 public:
  // askActionHandlers asks the crashed process; true when a handler there
  // took the action over.
  TCDRemoteException(const TCDHelperException& facts, std::function<bool(TCDAction)> askActionHandlers);
  ~TCDRemoteException() override;

  const TCDHelperException& Facts() const { return facts_; }
  // The crashed process cannot save: the helper does it.
  bool FinishHere() const { return facts_.FinishHere; }
  // Takes the lists of a report frame over; a complete one completes the report.
  void UpdateReport(const TCDHelperReport& report);
  // The crashed process is gone: nothing more will come.
  void PeerGone();

  void SetProgressAlert(std::unique_ptr<IProgressAlert> alert) { progress_ = std::move(alert); }

  // ICDException
  const TICDSettings& Settings() const override { return *this; }
  TICDSettings& Settings() override { return *this; }
  TCDExceptionType ExceptionType() const override { return static_cast<TCDExceptionType>(facts_.Type); }
  std::string ExceptionClass() const override { return facts_.ClassName; }
  std::string ExceptionMessage() const override { return facts_.Message; }
  bool CanContinue() const override { return facts_.CanContinue; }
  int32_t ShowMode() const override { return facts_.ShowMode; }
  TCDReport& Report() override { return report_; }
  void CompleteReport() override;
  bool CallActionHandlers(TCDAction action) override { return askActionHandlers_(action); }
  std::string ScreenShotFile() const override { return screenShot_; }
  bool ScreenShotWanted() const override { return facts_.CreateScreenShot; }
  std::string AssistantName() const override { return facts_.Assistant; }
  // The crashed process could not finish the handling itself: it is blocked.
  bool ProcessBlocked() const override { return facts_.FinishHere; }
  bool Sent() const override { return sent_; }
  void SetSent(bool sent) override { sent_ = sent; }
  bool Saved() const override { return saved_; }
  void SetSaved(bool saved) override { saved_ = saved; }
  bool AutoSaved() const override { return autoSaved_; }
  void SetAutoSaved() override { autoSaved_ = true; }
  int32_t ExceptionSource() const override { return facts_.Source; }

 protected:
  bool WillCreateScreenShot() const override { return facts_.CreateScreenShot; }

 private:
  TCDHelperException facts_;
  std::function<bool(TCDAction)> askActionHandlers_;
  TCDReport report_;
  std::unique_ptr<IProgressAlert> progress_;
  std::string screenShot_;
  std::atomic<bool> sent_{false};
  std::atomic<bool> saved_{false};
  std::atomic<bool> autoSaved_{false};
};

class TCDHelperSession {
 public:
  // Takes over the descriptor.
  explicit TCDHelperSession(int fd);
  ~TCDHelperSession();
  TCDHelperSession(const TCDHelperSession&) = delete;
  TCDHelperSession& operator=(const TCDHelperSession&) = delete;

  // Reads the greeting and the exception (waiting at most timeoutMs) and
  // starts following the report. False, with the reason, when the other
  // side sent nothing usable.
  bool Open(std::string& error, int timeoutMs = 10000);
  TCDRemoteException& Exception() { return *exception_; }
  // Sends the box's ending with the exception's sent and saved state.
  bool Answer(TCDEnding ending);
  // The crashed process has gone: its end of the pipe closed.
  bool PeerGone();

 private:
  bool ReadFrame(TCDRawFrame& frame, int timeoutMs);
  void Follow();
  bool AskActionHandlers(TCDAction action);
  bool Send(const std::string& bytes);

  int fd_;
  TCDFrameReader reader_;
  std::unique_ptr<TCDRemoteException> exception_;
  std::thread follower_;
  std::mutex lock_;
  std::condition_variable changed_;
  std::optional<bool> actionResult_;
  bool gone_ = false;
  std::mutex sendLock_;
};
