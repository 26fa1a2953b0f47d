#include "crash/handling/ICDGuiBridge.h"

#include <atomic>

namespace {
std::atomic<ICDGuiBridge*> bridge{nullptr};
}

void SetCDGuiBridge(ICDGuiBridge* b) { bridge.store(b); }
ICDGuiBridge* CDGuiBridge() { return bridge.load(); }
