#include "crash/ui/CDPresentException.h"

#include "crash/ui/CDAssistantForm.h"
#include "crash/ui/ExceptionBox.h"

TCDEnding CDPresentException(ICDException& exception, int showMode) {
  if (showMode == 1) {
    TCDAssistant assistant;
    if (exception.Settings().FindAssistant(exception.AssistantName(), assistant)) {
      std::string screenShot = exception.ScreenShotFile();
      RunCDAssistant(exception, assistant.Name, screenShot);
      return exception.CanContinue() ? TCDEnding::Continue : TCDEnding::Close;
    }
    showMode = 0;
  }
  bool first = true;
  while (true) {
    TExceptionBox box(exception, showMode, first);
    TCDEnding ending = box.Execute();
    if (!box.Reshow()) return ending;
    // Again in full, with the report, and nothing pressing itself any more.
    TICDSettings& s = exception.Settings();
    s.SetAutoShowBugRep(true);
    s.SetAutoContinue(false);
    s.SetAutoRestart(0);
    s.SetAutoClose(0);
    showMode = 0;
    first = false;
  }
}
