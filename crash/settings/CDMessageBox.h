// The crash reporter's message boxes, kept free of any display: the boxes go
// through a replaceable hook so that the settings reader and the start-up
// checksum check can run before (or without) a windowing toolkit. The
// application installs a hook that shows a real box; the default writes the
// box to standard error.
#pragma once

#include <functional>
#include <string>

enum class TCDMsgIcon { None, Information, Warning, Error };

// Shows one box with an OK button and returns when it is closed. Called from
// any thread; the hook must cope with that.
using TCDMessageBoxHook =
    std::function<void(const std::string& caption, const std::string& text, TCDMsgIcon icon)>;

// Installs the hook; an empty function restores the default. Returns the
// previous hook (empty when the default was active).
TCDMessageBoxHook SetCDMessageBoxHook(TCDMessageBoxHook hook);

void CDMessageBox(const std::string& caption, const std::string& text, TCDMsgIcon icon);
