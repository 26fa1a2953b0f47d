// Plain INI files read and written key by key. Section and key names are
// compared without case; values are trimmed. Every write replaces the file
// atomically (a temporary file in the same folder, flushed to disk, then
// renamed over the old one), so a crash never leaves a half-written file.
// Writers hold an advisory lock on the file for their read-modify-write, so
// writers in several processes keep each other's keys. A write never
// replaces a file it could not read, nor a read-only one; the new file keeps
// the old one's permissions and, where the system allows, its owner; a
// symbolic link is written through to its target and stays a link.
#pragma once

#include <string>
#include <string_view>

// The value of [section] key, cut to bufferSize - 1 characters, or the
// default (cut the same way) when the file, section or key is absent.
std::string GetPrivateProfileString(std::string_view section, std::string_view key, std::string_view def,
                                    const std::string& fileName, std::size_t bufferSize = 2048);

// Sets [section] key=value, adding the section and the key at their ends when
// absent; a file that does not exist is created. False when the file cannot be
// read or written (errno tells why); the old file is then unchanged. Blocks
// while another writer holds the file.
bool WritePrivateProfileString(std::string_view section, std::string_view key, std::string_view value,
                               const std::string& fileName);
