// Presenting a handled exception to the user, on the GUI thread of the
// program or of the helper process: the box in modes 0, 2 and 3, reopened in
// full mode with the report view after the show or details action; mode 1
// runs the assistant the exception's filter names (the full box when there
// is no such assistant). Returns how the handling is to end; the caller
// carries that out (auto-save, waiting for sends, restart, close).
#pragma once

#include "crash/handling/ICDException.h"

TCDEnding CDPresentException(ICDException& exception, int showMode);
