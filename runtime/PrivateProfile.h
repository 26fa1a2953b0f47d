// Plain INI files read and written key by key. Section and key names are
// compared without case; values are trimmed. Every write replaces the file
// atomically (a temporary file in the same folder, flushed to disk, then
// renamed over the old one), so a crash never leaves a half-written file.
#pragma once

#include <string>
#include <string_view>

// The value of [section] key, cut to bufferSize - 1 characters, or the
// default (cut the same way) when the file, section or key is absent.
std::string GetPrivateProfileString(std::string_view section, std::string_view key, std::string_view def,
                                    const std::string& fileName, std::size_t bufferSize = 2048);

// Sets [section] key=value, adding the section and the key at their ends when
// absent. False when the file cannot be written (errno tells why); the old
// file is then unchanged.
bool WritePrivateProfileString(std::string_view section, std::string_view key, std::string_view value,
                               const std::string& fileName);
