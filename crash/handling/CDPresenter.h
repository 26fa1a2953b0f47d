// The one place where a handled exception is shown: the presenter, a
// replaceable function that shows the exception box (or what the show mode
// asks for) and returns how the user wants it to end. The presenter never
// ends the process itself; the handling carries out the ending.
//
// The presenter is called on a GUI thread: this process's own for an
// exception, or the helper process's for a fatal signal, a freeze, or a GUI
// thread that did not answer.
#pragma once

#include <functional>

#include "crash/handling/ICDException.h"

// showMode: 0 full box, 1 the filter's assistant, 2 small box with
// details, 3 small box.
using TCDPresenter = std::function<TCDEnding(ICDException& exception, int showMode)>;

// Installs the presenter; an empty function removes it. Returns the
// previous one.
TCDPresenter SetCDPresenter(TCDPresenter presenter);
bool CDHasPresenter();
// Calls the presenter; without one the exception continues when it can and
// closes otherwise.
TCDEnding CDPresent(ICDException& exception, int showMode);
