// What the exception box, the assistants and the delivery see of one handled
// exception: its settings (the module's, with this exception's filter
// applied), the facts shown in the box, its report and its delivery state.
//
// The handling creates the object for each exception it processes and keeps
// it alive until the handling of that exception has ended.
#pragma once

#include <cstdint>
#include <string>

#include "crash/report/CDReport.h"
#include "crash/settings/ICDSettings.h"

enum class TCDExceptionType : int32_t { Exception = 0, Freeze = 1, Hidden = 2 };

// Action codes of the box and of the action handlers.
enum class TCDAction : int32_t { Send = 0, Save = 1, Print = 2, Show = 3, Continue = 4, Restart = 5, Close = 6 };

// How the presentation of an exception ends.
enum class TCDEnding : int32_t { Continue = 4, Restart = 5, Close = 6 };

class ICDException {
 public:
  virtual ~ICDException() = default;

  // The settings this exception is handled with. Changes made through the
  // mutable form concern this exception only.
  virtual const TICDSettings& Settings() const = 0;
  virtual TICDSettings& Settings() = 0;

  virtual TCDExceptionType ExceptionType() const = 0;
  // Class name of the exception object; empty when there is none.
  virtual std::string ExceptionClass() const = 0;
  // The message as the box shows it ("%exceptMsg%").
  virtual std::string ExceptionMessage() const = 0;
  virtual bool CanContinue() const = 0;
  // 0 full box, 1 assistant, 2 small box with details, 3 small box.
  virtual int32_t ShowMode() const = 0;

  virtual TCDReport& Report() = 0;
  // Raises the completing thread's priority and waits for the complete
  // report (with the please-wait box where the settings ask for it).
  virtual void CompleteReport() = 0;

  // Calls the program's action handlers; true when one of them took the
  // action over, which cancels the built-in one.
  virtual bool CallActionHandlers(TCDAction action) = 0;

  // Path of the screenshot taken for this exception, empty when none.
  virtual std::string ScreenShotFile() const = 0;

  // Whether a screenshot is wanted for this exception (its filter did not
  // switch it off and ScrShotDepth is above 0).
  virtual bool ScreenShotWanted() const { return Settings().GetScrShotDepth() > 0; }
  // The assistant its filter names for show mode 1; empty when none.
  virtual std::string AssistantName() const { return std::string(); }
  // True when the process is blocked (a thread holds the loader's or the
  // allocator's lock): nothing may then start programs or show dialogs.
  virtual bool ProcessBlocked() const { return false; }

  virtual bool Sent() const = 0;
  virtual void SetSent(bool sent) = 0;
  virtual bool Saved() const = 0;
  virtual void SetSaved(bool saved) = 0;
};
