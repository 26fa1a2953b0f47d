// The crash reporter's way to the program's GUI thread, over Qt: jobs are
// queued to an object that lives on the GUI thread; a thread that waits on
// the GUI thread runs nested event loops until its event is set; the
// please-wait box and the clipboard are driven from any thread.
//
// Create it (as a shared object) on the GUI thread after the application
// object and install it with SetCDGuiBridge. Once the application object is
// gone a bridge that someone still holds does nothing.
#pragma once

#include <QObject>
#include <QPointer>

#include <memory>
#include <vector>

#include "crash/handling/ICDGuiBridge.h"

class QEventLoop;

class TCDQtBridge : public ICDGuiBridge, public std::enable_shared_from_this<TCDQtBridge> {
 public:
  TCDQtBridge();
  ~TCDQtBridge() override;

  bool IsGuiThread() const override;
  void Post(std::function<void()> job) override;
  void WaitDispatching(const TCDEvent& event) override;
  void Wake() override;
  void ProcessEvents() override;
  std::unique_ptr<IProgressAlert> CreateProgressAlert(const std::string& title) override;
  void CopyToClipboard(const std::string& text) override;
  std::string TakeScreenShot(int depth, bool appOnly, const std::string& folder) override;
  std::vector<std::string> ToolkitThreadPrefixes() const override;

 private:
  struct TWait {
    const TCDEvent* Event;
    QEventLoop* Loop;
  };
  QPointer<QObject> receiver_;  // lives on the GUI thread
  std::vector<TWait> waits_;    // GUI thread only, innermost last
};
