// Version information of the running executable.
//
// The executable carries a version table as the resource VERSION/
// VS_VERSION_INFO, written as text:
//
//   [StringFileInfo\0C0904E4]
//   FileVersion=1.0.0.2
//   ...
//
// Blank lines and lines starting with ';' are ignored; a value runs from the
// first '=' to the end of its line. The three calls below answer version
// queries from that table the way callers of a version-information API
// expect: ask for the size of the information, read it into a block of
// that size, then query values in the block by path, the path being
// "\StringFileInfo\<language and code page>\<key>" with names compared
// without regard to case.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

inline constexpr std::string_view kVersionResourceType = "VERSION";
inline constexpr std::string_view kVersionResourceName = "VS_VERSION_INFO";

// Bytes needed for the file's version information, or 0 when the file has
// none. Only the running executable carries version information here.
uint32_t GetFileVersionInfoSize(std::string_view fileName);

// Fills data (size bytes) with the file's version information. False when the
// file has none or size is smaller than GetFileVersionInfoSize reported.
bool GetFileVersionInfo(std::string_view fileName, uint32_t size, void* data);

// Looks up subBlock in a block filled by GetFileVersionInfo. On success
// buffer points at the zero-terminated value inside the block and length is
// its size in characters, the terminator included. A block that was not
// filled by GetFileVersionInfo, or is damaged, answers false to every query.
bool VerQueryValue(const void* block, std::string_view subBlock, const char*& buffer, uint32_t& length);

// Builds the block for a version table given as text (the resource's form).
// Exposed for the executable's own lookups and for tests.
std::string CompileVersionTable(std::string_view text);
