#include "crash/settings/CDMessageBox.h"

#include <cstdio>
#include <mutex>

namespace {
std::mutex& HookLock() {
  static std::mutex lock;
  return lock;
}
TCDMessageBoxHook& Hook() {
  static TCDMessageBoxHook hook;
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

TCDMessageBoxHook SetCDMessageBoxHook(TCDMessageBoxHook hook) {
  std::lock_guard<std::mutex> guard(HookLock());
  TCDMessageBoxHook previous = std::move(Hook());
  Hook() = std::move(hook);
  return previous;
}

void CDMessageBox(const std::string& caption, const std::string& text, TCDMsgIcon icon) {
  TCDMessageBoxHook hook;
  {
    // Called outside the lock: a box may block for as long as the user likes.
    std::lock_guard<std::mutex> guard(HookLock());
    hook = Hook();
  }
  if (hook)
    hook(caption, text, icon);
  else
    WriteToStandardError(caption, text, icon);
}
