// Module handles: a module is the executable or a shared object loaded into
// the process, identified by the address its image is loaded at.
#pragma once

#include <cstdint>
#include <string>

using TCDModuleHandle = uintptr_t;

// The executable's handle (never 0).
TCDModuleHandle MainModuleHandle();
// The module whose image contains the address, or 0.
TCDModuleHandle ModuleFromAddress(const void* address);
// Full path of the module's file; the executable's path for the main module,
// empty for an unknown handle.
std::string ModuleFilePath(TCDModuleHandle module);
