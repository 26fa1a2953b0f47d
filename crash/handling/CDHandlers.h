// The program's own say in the handling of an exception: exception handlers
// called in each phase of the handling, hidden-exception handlers that are
// the only ones to see exceptions the program caught itself, and action
// handlers called before each action of the box. A handler that sets
// "handled" ends the built-in processing of that step (or cancels the
// action). This program registers none; the tests do.
//
// Thread-safe. Handlers run on the exception-handling thread (exception and
// hidden handlers) or where the action happens, outside the registry's lock,
// so a handler may register or unregister others.
#pragma once

#include <cstdint>
#include <functional>

// The handlers see the exception only by reference: the exception itself
// calls the action handlers.
class ICDException;
enum class TCDAction : int32_t;

// Phases of a handled exception: 1 created, 2 threads paused and report
// started, 3 ready to be shown, 4 report complete.
using TCDExceptionHandler = std::function<void(ICDException& exception, int phase, bool& handled)>;
using TCDActionHandler = std::function<void(ICDException& exception, TCDAction action, bool& handled)>;

using TCDHandlerId = uint64_t;

TCDHandlerId RegisterExceptionHandler(TCDExceptionHandler handler);
TCDHandlerId RegisterHiddenExceptionHandler(TCDExceptionHandler handler);
TCDHandlerId RegisterActionHandler(TCDActionHandler handler);
// Removes a handler of any kind; unknown ids are ignored.
void UnregisterHandler(TCDHandlerId id);

bool HiddenExceptionHandlersRegistered();

// Calls the handlers of a phase in the order they were registered; stops at
// the first that sets handled. handled starts as given (hidden exceptions
// start handled). Returns the final value.
bool CallExceptionHandlers(ICDException& exception, int phase, bool handled = false);
bool CallHiddenExceptionHandlers(ICDException& exception, int phase);
bool CallActionHandlersFor(ICDException& exception, TCDAction action);
