// The way from the handling to a helper process: the program started again
// to show the box of a process that may not run windows any more (a fatal
// signal, a freeze, a GUI thread that does not answer). The helper layer
// installs its link when the crash reporter starts; without one, such an
// exception goes to the console.
#pragma once

#include <cstdint>
#include <span>
#include <string_view>

#include "crash/settings/CDPropertyTable.h"

class TICDException;

// A report line or section as a faulting thread holds it: no allocation.
struct TCDFieldView {
  std::string_view Name, Content;
};

// How the box in the helper ended, and what it did on the way.
struct TCDHelperAnswer {
  int32_t Ending = 4;  // TCDEnding
  bool Sent = false;
  bool Saved = false;
};

struct TCDHelperOutcome {
  bool Answered = false;  // false: the helper could not start or died
  TCDHelperAnswer Answer;
};

// What a process that cannot allocate any more hands to its helper.
struct TCDSafeExceptionView {
  int32_t Type = 0;
  int32_t Source = 0;
  bool CanContinue = false;
  int32_t ShowMode = 0;
  uint64_t ExceptionNumber = 0;
  std::string_view ClassName, Message;
  std::span<const TCDProperty> Settings;  // the settings the helper is to use
};

class ICDHelperLink {
 public:
  // Whether this program can be started as its own helper. Signal-safe.
  virtual bool Available() const = 0;
  // Shows the exception in a helper process and waits for its answer. Runs
  // on the exception-handling thread. Not signal-safe.
  virtual TCDHelperOutcome Present(TICDException& exception, int showMode) = 0;
  // The same without allocating: the report goes over complete, and the
  // helper saves it itself. Signal-safe.
  virtual TCDHelperOutcome PresentSafely(const TCDSafeExceptionView& exception, std::span<const TCDFieldView> header,
                                         std::span<const TCDFieldView> sections) = 0;

 protected:
  ~ICDHelperLink() = default;
};

// Installs the link, which must live as long as the process; null removes
// it. Reading it is signal-safe.
void SetCDHelperLink(ICDHelperLink* link);
ICDHelperLink* CDHelperLink();
