// The password of the account commands: asked twice on the terminal without
// echo, or read as one line from standard input. Only its MD5 digest (what
// the program sends on a check-in) leaves here; the text is wiped.
#pragma once

#include <string>

#include "runtime/Exception.h"

// No password could be had: none given, the two differ, no terminal to ask on.
PINMARK_EXCEPTION_CLASS(EPasswordPrompt, Exception);

// The MD5 hex digest of the password for account. A signal while echo is off
// gives the terminal its echo back before it ends the program. Throws
// EPasswordPrompt.
std::string ReadPasswordDigest(const std::string& account, bool fromStdin);
