// The "modules" list of a bug report: every ELF file loaded into the process
// (the executable and each shared object), at the address of its first
// mapping, with its version and folder.
//
// The source (CollectModules over a maps snapshot) is kept apart from the
// layout (FormatModuleList), so both are tested on fixed inputs. Versions
// come from the executable's version resource, and for libraries from a
// versioned file name ("libQt6Core.so.6.4.2" is 6.4.2); anything else has an
// empty version. Failures leave entries or values out; nothing is raised.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

#include "crash/sys/CDAddressSpace.h"

struct TCDModuleEntry {
  uint64_t Base = 0;
  std::string FileName;  // the path after its last '/'
  std::string Folder;    // the path before its last '/', without it
  std::string Version;
};

// Whether the mapping is the start of an ELF image (its first bytes in
// memory are the ELF magic).
using TCDIsElfImage = std::function<bool(const TCDMapping&)>;
// The version of the module file at the path.
using TCDModuleVersion = std::function<std::string(const std::string& path)>;

// One entry per file that has code mapped, at the start of the ELF image
// that holds its code (the nearest image start at or below the code; another
// mapping of the same file, such as a symbol reader's, does not count), in
// address order.
std::vector<TCDModuleEntry> CollectModules(const std::vector<TCDMapping>& mappings, const TCDIsElfImage& isElf,
                                           const TCDModuleVersion& version);

// One line per module: the base as 16 hex digits, a blank, the file name
// padded to the longest name plus one, the version padded to the longest
// version plus one, the folder.
std::string FormatModuleList(const std::vector<TCDModuleEntry>& modules);

// The list of this process, as the report's "modules" section shows it.
std::string ListModules();

// "libQt6Core.so.6.4.2" gives "6.4.2", "libc.so.6" gives "6"; a name without
// numbers after ".so." gives nothing.
std::string VersionFromLibraryName(std::string_view fileName);

// The running executable's file version from its version resource as four
// dot-separated numbers; empty when it has none or it is 0.0.0.0.
std::string ExecutableFileVersion();

// Splits a path at its last '/' into folder (without the '/') and name.
void SplitModulePath(std::string_view path, std::string& folder, std::string& name);

// Lines joined the way every system list is: CR LF between them, none at the end.
std::string JoinListLines(const std::vector<std::string>& lines);
