// The one process-wide socket stack and the class it is made from.
//
// Network components count the stack up and down (TIdStackUser: AcquireStack
// when they are made, ReleaseStack when they go); the stack object exists
// exactly while the count is above zero, and the library under it is started
// once per process, by the first stack. The platform's own stack is the
// class registered from the start; SetStackClass puts another in its place.
// Every operation here is safe to call from any thread.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>

#include "http/transport/IdStack.h"

using TIdStackFactory = std::function<std::unique_ptr<TIdStack>()>;

// The class the next stack is made from; an empty factory leaves none registered.
void SetStackClass(TIdStackFactory factory);
// Raises EIdException "Stack Class is undefined." without a class, and
// EIdStackInitializationFailed when the library cannot be started; the count
// is then as before.
void AcquireStack();
void ReleaseStack();
// The one stack while any network component lives, else nullptr.
TIdStack* GStack();
int32_t StackUsageCount();
bool StackStarted();

// Holds the stack for the lifetime of the owner.
class TIdStackUser {
 public:
  TIdStackUser() { AcquireStack(); }
  ~TIdStackUser() { ReleaseStack(); }
  TIdStackUser(const TIdStackUser&) = delete;
  TIdStackUser& operator=(const TIdStackUser&) = delete;
};
