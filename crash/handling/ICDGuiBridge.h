// The way from the crash reporter, which knows no windowing toolkit, to the
// program's GUI thread: running a job there (from its event loop or from the
// nested loop in which it waits for its own request), waiting on that thread
// while its events keep flowing, the please-wait box, the clipboard, the
// screenshot, and which threads the toolkit runs of its own.
// The toolkit's side installs one bridge when the application object exists;
// without a bridge the process counts as a console program.
//
// Not for signal handlers, nor for a process that a fatal signal may have
// corrupted: the handling never uses the bridge for those.
#pragma once

#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "crash/capture/CDEvent.h"
#include "crash/report/IProgressAlert.h"

class ICDGuiBridge {
 public:
  virtual ~ICDGuiBridge() = default;

  virtual bool IsGuiThread() const = 0;
  // Queues job for the GUI thread and returns at once. Any thread.
  virtual void Post(std::function<void()> job) = 0;
  // On the GUI thread: dispatches its events until the event is set. A quit
  // of the application that arrives meanwhile is passed on afterwards.
  virtual void WaitDispatching(const TCDEvent& event) = 0;
  // Makes a WaitDispatching look at its event again. Any thread.
  virtual void Wake() = 0;
  // On the GUI thread: dispatches the events that are pending now.
  virtual void ProcessEvents() = 0;

  // A please-wait box that may be driven from any thread; its window lives
  // on the GUI thread.
  virtual std::unique_ptr<IProgressAlert> CreateProgressAlert(const std::string& title) = 0;
  // Any thread.
  virtual void CopyToClipboard(const std::string& text) = 0;
  // On the GUI thread: the screenshot the settings ask for (colour depth,
  // the program's own windows only), saved into folder (ending in '/');
  // its path, or empty when none could be taken.
  virtual std::string TakeScreenShot(int depth, bool appOnly, const std::string& folder) = 0;
  // How the names of the toolkit's own threads (and of the desktop libraries
  // under it) begin: the box and the program's windows need them, so the
  // handling never pauses them. Any thread.
  virtual std::vector<std::string> ToolkitThreadPrefixes() const = 0;
};

// The installed bridge, or null. Whoever holds a bridge keeps it alive, so
// that a thread still at work when the program uninstalls it finds it
// harmless (a bridge without its application does nothing) rather than gone.
void SetCDGuiBridge(std::shared_ptr<ICDGuiBridge> bridge);
std::shared_ptr<ICDGuiBridge> CDGuiBridge();
