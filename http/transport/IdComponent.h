// The base of every network component: status and progress events, and a
// hold on the process-wide socket stack for as long as the component lives.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "http/transport/IdStackRegistry.h"

enum TIdStatus {
  hsResolving,
  hsConnecting,
  hsConnected,
  hsDisconnecting,
  hsDisconnected,
  hsStatusText,
  ftpTransfer,
  ftpReady,
  ftpAborted
};

enum TWorkMode { wmRead, wmWrite };

namespace IdComponentStrings {
// The status texts, indexed by TIdStatus; "%s" takes the argument of ReportStatus.
inline constexpr const char* RSStatusTexts[] = {
    "Resolving hostname %s.", "Connecting to %s.", "Connected.", "Disconnecting.", "Disconnected.", "%s", "%s", "%s",
    "%s"};
}  // namespace IdComponentStrings

class TIdComponent;

using TIdNotifyEvent = std::function<void(TIdComponent& sender)>;
using TIdStatusEvent = std::function<void(TIdComponent& sender, TIdStatus status, const std::string& text)>;
using TWorkBeginEvent = std::function<void(TIdComponent& sender, TWorkMode mode, int64_t workCountMax)>;
using TWorkEvent = std::function<void(TIdComponent& sender, TWorkMode mode, int64_t workCount)>;
using TWorkEndEvent = std::function<void(TIdComponent& sender, TWorkMode mode)>;

class TIdComponent {
 public:
  TIdComponent();
  virtual ~TIdComponent();
  TIdComponent(const TIdComponent&) = delete;
  TIdComponent& operator=(const TIdComponent&) = delete;

  virtual const char* ClassName() const { return "TIdComponent"; }

  TIdStatusEvent OnStatus;
  TWorkBeginEvent OnWorkBegin;
  TWorkEvent OnWork;
  TWorkEndEvent OnWorkEnd;

  // Another component that reports this one's progress instead (the TCP client
  // is its handler's target); nullptr reports here.
  TIdComponent* ProgressTarget() const { return progressTarget_; }
  void SetProgressTarget(TIdComponent* target) { progressTarget_ = target; }

  // Formats the status text with the argument and calls OnStatus; without
  // OnStatus nothing is formatted.
  void ReportStatus(TIdStatus status, const std::string& argument = std::string());

  void StartWorkCount(TWorkMode mode, int64_t size = 0);
  void AddWorkCount(TWorkMode mode, int64_t count);
  void FinishWorkCount(TWorkMode mode);
  // The current position of a mode's count (0 outside a count).
  int64_t WorkCount(TWorkMode mode) const { return work_[mode].position; }

  // Asks to be told (through Notification) when other is destroyed; the link
  // is dropped from both sides when either is destroyed.
  void FreeNotification(TIdComponent* other);
  void RemoveFreeNotification(TIdComponent* other);

 protected:
  // Called when a component this one asked about is being destroyed.
  virtual void Notification(TIdComponent* /*destroyed*/) {}

 private:
  struct WorkInfo {
    int32_t nesting = 0;
    int64_t size = 0;
    int64_t position = 0;
  };
  TIdStackUser stackUser_;
  TIdComponent* progressTarget_ = nullptr;
  WorkInfo work_[2];
  std::vector<TIdComponent*> observers_;  // told when this one goes
  std::vector<TIdComponent*> observed_;   // this one is told when they go
};
