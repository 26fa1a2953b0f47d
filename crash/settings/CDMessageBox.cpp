#include "crash/settings/CDMessageBox.h"

#include <cstdio>

#include "runtime/ReplaceableHook.h"

namespace {
TReplaceableHook<void(const std::string&, const std::string&, TCDMsgIcon)>& Hook() {
  static TReplaceableHook<void(const std::string&, const std::string&, TCDMsgIcon)> hook;
  return hook;
}

void WriteToStandardError(const std::string& caption, const std::string& text, TCDMsgIcon icon) {
  const char* kind = icon == TCDMsgIcon::Error         ? "error"
                     : icon == TCDMsgIcon::Warning     ? "warning"
                     : icon == TCDMsgIcon::Information ? "information"
                                                       : "message";
  std::fprintf(stderr, "[%s] %s: %s\n", kind, caption.c_str(), text.c_str());
  std::fflush(stderr);
}
}  // namespace

TCDMessageBoxHook SetCDMessageBoxHook(TCDMessageBoxHook hook) { return Hook().Set(std::move(hook)); }

void CDMessageBox(const std::string& caption, const std::string& text, TCDMsgIcon icon) {
  // Called outside the lock: a box may block for as long as the user likes.
  const TCDMessageBoxHook hook = Hook().Get();
  if (hook)
    hook(caption, text, icon);
  else
    WriteToStandardError(caption, text, icon);
}
