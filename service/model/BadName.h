// What the account and key changes refuse, and the name rules' refusal
// among them. Here rather than with the core, because the DNS zone refuses
// names the same way and sits beside the core, not above it.
#pragma once

#include "runtime/Exception.h"

// What the account and key changes refuse, each with a message for the
// person who asked: a name or digest that cannot be taken ("the node name is
// empty"), "account NAME exists already", "there is no account NAME", "node
// NODE of NAME has no key".
PINMARK_EXCEPTION_CLASS(EAccountChange, Exception);
// A name, digest or password that cannot be taken; the message says why, in
// words for the answer and the log.
PINMARK_EXCEPTION_CLASS(EBadName, EAccountChange);
