#include "crash/handling/ICDHelperLink.h"

#include <atomic>

namespace {
// A plain atomic pointer: a faulting thread reads it inside a signal handler.
std::atomic<ICDHelperLink*> installed{nullptr};
}  // namespace

void SetCDHelperLink(ICDHelperLink* link) { installed.store(link); }

ICDHelperLink* CDHelperLink() { return installed.load(); }
