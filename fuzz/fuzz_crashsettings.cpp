// The crash reporter's settings stream: the reader and everything that reads
// through the table it builds (variables, lists, assistants, filters).
#include <cstddef>
#include <cstdint>
#include <span>

#include "crash/settings/CDMessageBox.h"
#include "crash/settings/ICDSettings.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static const bool quiet = (SetCDMessageBoxHook([](const std::string&, const std::string&, TCDMsgIcon) {}), true);
  (void)quiet;
  const std::span<const uint8_t> stream(data, size);

  TCDPropertyTable table;
  TCDStreamResult result = table.LoadFromStream(stream);
  (void)InvalidSettingsResourceText(result);

  // A module of its own, so that the executable's settings stay as they are.
  constexpr TCDModuleHandle kModule = 0x1000;
  LoadModuleSettings(kModule, stream);
  TICDSettings s(kModule);
  for (int i = 0; i < table.Count(); ++i) {
    (void)s.GetStr(table[i].Name);
    (void)s.GetInt(table[i].Name);
    (void)s.GetBool(table[i].Name);
  }
  (void)s.GetBugRepFile();
  (void)s.GetAddAttachList();
  (void)s.GetAddFieldList();
  TCDAssistant a;
  (void)s.FindAssistant(s.GetSendAssis(), a);
  (void)s.EvaluateExceptionFilters({"EDBEditError", "Exception"});
  (void)s.GetPlugin("processes");
  s.MakeOwnCopy();
  s.SetPlugin("modules", false);
  s.SetPlugin("threads", true);
  return 0;
}
