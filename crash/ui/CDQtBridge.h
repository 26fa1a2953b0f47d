// The crash reporter's way to the program's GUI thread, over Qt: jobs are
// queued to an object that lives on the GUI thread; a thread that waits on
// the GUI thread runs nested event loops until its event is set; the
// please-wait box and the clipboard are driven from any thread.
//
// Create it on the GUI thread after the application object, install it with
// SetCDGuiBridge, and uninstall it before the application object goes.
#pragma once

#include <QObject>
#include <QPointer>

#include <vector>

#include "crash/handling/ICDGuiBridge.h"

class QEventLoop;

class TCDQtBridge : public ICDGuiBridge {
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

 private:
  struct TWait {
    const TCDEvent* Event;
    QEventLoop* Loop;
  };
  QPointer<QObject> receiver_;  // lives on the GUI thread
  std::vector<TWait> waits_;    // GUI thread only, innermost last
};
